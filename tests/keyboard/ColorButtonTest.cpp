// SPDX-License-Identifier: GPL-3.0-or-later
// The key button's drawing (fill, bevels, pressed outline, caption place,
// no focus frame), its Pressed state, and its mouse reports.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalSpy>

#include "keyboard/widgets/ColorButton.h"

namespace sorvane {
namespace {

const QColor kSilver(192, 192, 192);
const QColor kGray(128, 128, 128);
const QColor kBlack(0, 0, 0);
const QColor kWhite(255, 255, 255);

struct Key {
  QWidget parent;
  TColorButton* button;
  Key(int w, int h, const QString& caption) {
    button = new TColorButton(&parent);
    button->setGeometry(0, 0, w, h);
    button->setText(caption);
  }
  QImage Draw(int itemState) {
    QImage image(button->size(), QImage::Format_RGB32);
    image.fill(Qt::magenta);
    QPainter painter(&image);
    painter.setFont(button->font());
    button->DrawButton(painter, itemState);
    return image;
  }
};

QColor At(const QImage& image, int x, int y) { return image.pixelColor(x, y); }

// Bounding box of the pixels of one colour inside the bevels.
QRect InkBox(const QImage& image, const QColor& ink) {
  QRect box;
  for (int y = 3; y < image.height() - 3; ++y)
    for (int x = 3; x < image.width() - 3; ++x)
      if (image.pixelColor(x, y) == ink) box = box.united(QRect(x, y, 1, 1));
  return box;
}

TEST(ColorButtonDrawing, RaisedKeyHasLightLeftAndDarkRightAndBottomBevels) {
  Key key(30, 80, QString());
  const QImage img = key.Draw(0);
  const int w1 = 29, h1 = 79;
  for (int i = 0; i <= 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(At(img, i, 0), kSilver);
    EXPECT_EQ(At(img, i, 40), kSilver);
    EXPECT_EQ(At(img, w1 - i, 0), kGray);
    EXPECT_EQ(At(img, w1 - i, 40), kGray);
    EXPECT_EQ(At(img, 15, h1 - i), kGray);
  }
  // No top bevel: the key hangs from the panel.
  EXPECT_EQ(At(img, 15, 0), kWhite);
  EXPECT_EQ(At(img, 15, 40), kWhite);
  EXPECT_EQ(At(img, 3, 40), kWhite);
  // Lines leave out their end points: the corner pixel keeps the fill, the
  // left bevel stops one pixel above the bottom bevel that starts under it.
  EXPECT_EQ(At(img, w1, h1), kWhite);
  EXPECT_EQ(At(img, 0, h1), kGray);
  EXPECT_EQ(At(img, 0, h1 - 1), kSilver);
  EXPECT_EQ(At(img, 2, h1 - 2), kGray);
  EXPECT_EQ(At(img, 2, h1 - 3), kSilver);
  EXPECT_EQ(At(img, w1 - 2, h1 - 2), kWhite);
  EXPECT_FALSE(key.button->IsPressed());
}

TEST(ColorButtonDrawing, PressedKeyIsSunkAndOutlinedInBlack) {
  Key key(30, 80, QString());
  const QImage img = key.Draw(kItemStateSelected);
  const int w1 = 29, h1 = 79;
  EXPECT_TRUE(key.button->IsPressed());
  for (int y : {0, 40, h1 - 1}) {
    EXPECT_EQ(At(img, 0, y), kBlack) << y;
    EXPECT_EQ(At(img, w1, y), kBlack) << y;
  }
  for (int x : {0, 15, w1 - 1}) EXPECT_EQ(At(img, x, h1), kBlack) << x;
  // Under the outline the bevels swap: dark left, light right and bottom.
  EXPECT_EQ(At(img, 1, 40), kGray);
  EXPECT_EQ(At(img, 2, 40), kGray);
  EXPECT_EQ(At(img, w1 - 1, 40), kSilver);
  EXPECT_EQ(At(img, 15, h1 - 1), kSilver);
  // The outline's lines leave the far corner alone too.
  EXPECT_EQ(At(img, w1, h1), kWhite);
}

TEST(ColorButtonDrawing, PressedStateFollowsTheLastPaint) {
  Key key(30, 80, QStringLiteral("Z"));
  key.Draw(kItemStateSelected);
  EXPECT_TRUE(key.button->IsPressed());
  key.Draw(0);
  EXPECT_FALSE(key.button->IsPressed());
}

TEST(ColorButtonDrawing, DrawHandlerReplacesTheLookAndLeavesPressedAlone) {
  Key key(30, 80, QStringLiteral("Z"));
  key.Draw(kItemStateSelected);
  int calls = 0;
  int seenState = -1;
  key.button->SetOnDraw([&](TColorButton* sender, QPainter&, int itemState) {
    EXPECT_EQ(sender, key.button);
    ++calls;
    seenState = itemState;
  });
  const QImage img = key.Draw(0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seenState, 0);
  EXPECT_TRUE(key.button->IsPressed());
  EXPECT_EQ(At(img, 15, 40), QColor(Qt::magenta));  // nothing of its own drawn
}

TEST(ColorButtonDrawing, CaptionSitsCentredFiveAboveTheBottomAndMovesWhenPressed) {
  Key key(30, 80, QStringLiteral("W"));
  const QFontMetrics metrics(key.button->font());
  const int tw = metrics.horizontalAdvance(QStringLiteral("W"));
  const int th = metrics.height();
  const QRect textBox((30 - tw) / 2, 80 - th - 5, tw, th);

  const QRect up = InkBox(key.Draw(0), kBlack);
  ASSERT_FALSE(up.isEmpty());
  EXPECT_TRUE(textBox.adjusted(-1, -1, 1, 1).contains(up)) << up.x() << "," << up.y();
  const QRect down = InkBox(key.Draw(kItemStateSelected), kBlack);
  EXPECT_EQ(down.topLeft(), up.topLeft() + QPoint(1, 1));
  EXPECT_EQ(down.size(), up.size());
}

TEST(ColorButtonDrawing, CaptionUsesTheFontColour) {
  Key key(26, 45, QStringLiteral("S"));
  key.button->SetColor(kBlack);
  key.button->SetFontColor(kWhite);
  EXPECT_FALSE(InkBox(key.Draw(0), kWhite).isEmpty());
}

TEST(ColorButtonDrawing, FocusDrawsNoFrame) {
  QWidget window;
  window.resize(100, 100);
  auto* button = new TColorButton(&window);
  button->setGeometry(10, 10, 30, 80);
  button->setText(QStringLiteral("Q"));
  window.show();
  const QImage unfocused = button->grab().toImage();
  button->setFocus();
  ASSERT_TRUE(button->hasFocus() || !window.isActiveWindow());
  const QImage focused = button->grab().toImage();
  EXPECT_EQ(unfocused, focused);
}

QMouseEvent Mouse(QEvent::Type type, Qt::MouseButton button) {
  const QPointF pos(10, 10);
  const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
  return QMouseEvent(type, pos, pos, button, held, Qt::NoModifier);
}

TEST(ColorButtonMouse, EveryMouseButtonReportsDownAndUp) {
  Key key(30, 80, QStringLiteral("Z"));
  QSignalSpy downs(key.button, &TColorButton::MouseDown);
  QSignalSpy ups(key.button, &TColorButton::MouseUp);
  for (Qt::MouseButton b : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton}) {
    QMouseEvent press = Mouse(QEvent::MouseButtonPress, b);
    QApplication::sendEvent(key.button, &press);
    QMouseEvent release = Mouse(QEvent::MouseButtonRelease, b);
    QApplication::sendEvent(key.button, &release);
  }
  ASSERT_EQ(downs.count(), 3);
  EXPECT_EQ(ups.count(), 3);
  EXPECT_EQ(downs.at(1).at(1).value<Qt::MouseButton>(), Qt::RightButton);
  EXPECT_EQ(downs.at(0).at(0).value<TColorButton*>(), key.button);
}

TEST(ColorButtonMouse, QuickSecondClickIsAnotherPress) {
  Key key(30, 80, QStringLiteral("Z"));
  QSignalSpy downs(key.button, &TColorButton::MouseDown);
  // The event sequence of a double click: the second press comes as a
  // double-click event.
  for (QEvent::Type t : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                         QEvent::MouseButtonRelease}) {
    QMouseEvent e = Mouse(t, Qt::LeftButton);
    QApplication::sendEvent(key.button, &e);
  }
  EXPECT_EQ(downs.count(), 2);
}

TEST(ColorButtonMouse, LeftPressShowsTheKeyPressed) {
  Key key(30, 80, QStringLiteral("Z"));
  QMouseEvent press = Mouse(QEvent::MouseButtonPress, Qt::LeftButton);
  QApplication::sendEvent(key.button, &press);
  key.button->grab();  // paint
  EXPECT_TRUE(key.button->IsPressed());
  QMouseEvent release = Mouse(QEvent::MouseButtonRelease, Qt::LeftButton);
  QApplication::sendEvent(key.button, &release);
  key.button->grab();
  EXPECT_FALSE(key.button->IsPressed());
}

}  // namespace
}  // namespace sorvane
