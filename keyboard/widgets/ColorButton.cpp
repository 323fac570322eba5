// SPDX-License-Identifier: GPL-3.0-or-later
// Drawing and mouse handling of the key buttons.
#include "keyboard/widgets/ColorButton.h"

#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>

namespace sorvane {

namespace {

const QColor kBevelLight(192, 192, 192);  // silver
const QColor kBevelDark(128, 128, 128);   // gray

// A line from (x0, y0) to (x1, y1) without its end point, for lines that
// are vertical or horizontal.
void LineWithoutEnd(QPainter& p, int x0, int y0, int x1, int y1, const QColor& colour) {
  if (x0 == x1) {
    if (y1 > y0) p.fillRect(x0, y0, 1, y1 - y0, colour);
  } else if (y0 == y1) {
    if (x1 > x0) p.fillRect(x0, y0, x1 - x0, 1, colour);
  }
}

}  // namespace

TColorButton::TColorButton(QWidget* owner) : QPushButton(owner) {
  // The look is all owner-drawn: no focus frame, no default-button frame.
  setAutoDefault(false);
  setDefault(false);
  setAttribute(Qt::WA_OpaquePaintEvent);
  Pressed = false;
}

void TColorButton::SetColor(const QColor& color) {
  if (FillColor == color) return;
  FillColor = color;
  update();
}

void TColorButton::SetFontColor(const QColor& color) {
  if (CaptionColor == color) return;
  CaptionColor = color;
  update();
}

void TColorButton::DrawButton(QPainter& Canvas, int itemState) {
  if (OnDraw) {
    OnDraw(this, Canvas, itemState);
    return;
  }
  const QFontMetrics metrics(Canvas.font());
  const QString caption = text();
  const int tw = metrics.horizontalAdvance(caption);
  const int th = metrics.height();
  int tx = (width() - tw) / 2;
  int ty = height() - th - 5;

  QColor leftBevel;
  QColor rightBottomBevel;
  if (itemState & kItemStateSelected) {
    Pressed = true;
    leftBevel = kBevelDark;
    rightBottomBevel = kBevelLight;
    ++tx;
    ++ty;
  } else {
    Pressed = false;
    leftBevel = kBevelLight;
    rightBottomBevel = kBevelDark;
  }

  Canvas.fillRect(rect(), FillColor);

  const int w1 = width() - 1;
  const int h1 = height() - 1;
  for (int i = 0; i <= 2; ++i) LineWithoutEnd(Canvas, i, 0, i, h1 - i, leftBevel);
  for (int i = 0; i <= 2; ++i) {
    LineWithoutEnd(Canvas, w1 - i, 0, w1 - i, h1 - i, rightBottomBevel);
    LineWithoutEnd(Canvas, i, h1 - i, w1 - i, h1 - i, rightBottomBevel);
  }
  if (Pressed) {
    const QColor black(0, 0, 0);
    LineWithoutEnd(Canvas, 0, 0, 0, h1, black);
    LineWithoutEnd(Canvas, w1, 0, w1, h1, black);
    LineWithoutEnd(Canvas, 0, h1, w1, h1, black);
  }

  // The caption over a background of the key's own colour.
  Canvas.fillRect(tx, ty, tw, th, FillColor);
  Canvas.setPen(CaptionColor);
  Canvas.drawText(tx, ty + metrics.ascent(), caption);
}

void TColorButton::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font());
  DrawButton(painter, isDown() ? kItemStateSelected : 0);
}

void TColorButton::mousePressEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  emit MouseDown(this, event->button(), event->modifiers(), pos.x(), pos.y());
  QPushButton::mousePressEvent(event);
  // Every mouse button plays the key; none goes on to the window.
  event->accept();
}

void TColorButton::mouseDoubleClickEvent(QMouseEvent* event) {
  // A second click in quick succession is another press, never swallowed.
  mousePressEvent(event);
}

void TColorButton::mouseReleaseEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  emit MouseUp(this, event->button(), event->modifiers(), pos.x(), pos.y());
  QPushButton::mouseReleaseEvent(event);
  event->accept();
}

}  // namespace sorvane
