// SPDX-License-Identifier: GPL-3.0-or-later
// The About dialog.
#include "app/AboutBox.h"

#include <QApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "app/Captions.h"
#include "app/Platform.h"
#include "engine/Engine.h"

namespace sorvane {

namespace {

QLabel* MakeLabel(QWidget* parent, int left, int top, const QString& text) {
  auto* label = new QLabel(text, parent);
  label->move(left, top);
  label->adjustSize();
  return label;
}

}  // namespace

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
  const bool japanese = LanguageJapanese();
  setFont(WindowFont(japanese));
  setWindowTitle(CaptionText(Caption::AboutTitle, japanese));
  setFixedSize(kAboutWidth, kAboutHeight);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Button));
  setPalette(pal);
  setAutoFillBackground(true);

  Frame = new QFrame(this);
  // A lowered outer bevel around a raised inner one: the sunken shade
  // rectangle of one pixel draws exactly those two rings.
  Frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Frame->setLineWidth(1);
  Frame->setMidLineWidth(0);
  Frame->setGeometry(8, 8, 297, 225);

  ProgramIcon = new QLabel(Frame);
  ProgramIcon->setGeometry(24, 16, 33, 33);
  ProgramIcon->setScaledContents(true);
  ProgramIcon->setPixmap(QApplication::windowIcon().pixmap(33, 33));

  ProductName = MakeLabel(Frame, 64, 24, U("Sorvane V0.9"));
  Warning1 = MakeLabel(Frame, 24, 136, CaptionText(Caption::AboutWarning1, japanese));
  Warning2 = MakeLabel(Frame, 24, 156, CaptionText(Caption::AboutWarning2, japanese));
  Warning3 = MakeLabel(Frame, 24, 172, CaptionText(Caption::AboutWarning3, japanese));
  Warning4 = MakeLabel(Frame, 24, 188, CaptionText(Caption::AboutWarning4, japanese));

  OkButton = new QPushButton(U("OK"), this);
  OkButton->setGeometry(119, 244, 75, 25);
  OkButton->setDefault(true);
  connect(OkButton, &QPushButton::clicked, this, &TAboutBox::onOkClicked);

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->geometry();
    move(area.center() - QPoint(kAboutWidth / 2, kAboutHeight / 2));
  }
}

void TAboutBox::onOkClicked() {
  // Ends a modal run as well as hiding the free-standing dialog.
  accept();
}

}  // namespace sorvane
