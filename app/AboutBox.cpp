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

  Panel1 = new QFrame(this);
  // A lowered outer bevel around a raised inner one: the sunken shade
  // rectangle of one pixel draws exactly those two rings.
  Panel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Panel1->setLineWidth(1);
  Panel1->setMidLineWidth(0);
  Panel1->setGeometry(8, 8, 297, 225);

  ProgramIcon = new QLabel(Panel1);
  ProgramIcon->setGeometry(24, 16, 33, 33);
  ProgramIcon->setScaledContents(true);
  ProgramIcon->setPixmap(QApplication::windowIcon().pixmap(33, 33));

  ProductName = MakeLabel(Panel1, 64, 24, U("Sorvane V0.9"));
  LabelWarning1 = MakeLabel(Panel1, 24, 136, CaptionText(Caption::AboutWarning1, japanese));
  LabelWarning2 = MakeLabel(Panel1, 24, 156, CaptionText(Caption::AboutWarning2, japanese));
  LabelWarning3 = MakeLabel(Panel1, 24, 172, CaptionText(Caption::AboutWarning3, japanese));
  LabelWarning4 = MakeLabel(Panel1, 24, 188, CaptionText(Caption::AboutWarning4, japanese));

  OKButton = new QPushButton(U("OK"), this);
  OKButton->setGeometry(119, 244, 75, 25);
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &TAboutBox::OKButtonClick);

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->geometry();
    move(area.center() - QPoint(kAboutWidth / 2, kAboutHeight / 2));
  }
}

void TAboutBox::OKButtonClick() {
  // Ends a modal run as well as hiding the free-standing dialog.
  accept();
}

}  // namespace sorvane
