// SPDX-License-Identifier: GPL-3.0-or-later
// TColorButton: a push button that paints itself as a flat coloured piano
// key with a three-pixel bevel on the left, right and bottom edges and its
// PC-key letter as caption. It reports mouse-button down and up for every
// mouse button, and a quick second click arrives as another button-down.
#pragma once

#include <QColor>
#include <QPushButton>
#include <functional>

class QPainter;

namespace sorvane {

class TColorButton;

// The drawing handler that replaces the built-in look: the button, the
// surface and the item-state bits (bit 0 set while the button is pressed).
using TDrawByIndexEvent = std::function<void(TColorButton* Sender, QPainter& Canvas, int itemState)>;

inline constexpr int kItemStateSelected = 0x0001;

class TColorButton : public QPushButton {
  Q_OBJECT
  Q_PROPERTY(QColor Color READ Color WRITE SetColor)
  Q_PROPERTY(int KeyNum READ KeyNum WRITE SetKeyNum)

 public:
  explicit TColorButton(QWidget* owner);

  QColor Color() const { return FillColor; }
  void SetColor(const QColor& color);
  QColor FontColor() const { return CaptionColor; }
  void SetFontColor(const QColor& color);
  int KeyNum() const { return KeyIndex; }
  void SetKeyNum(int keyNum) { KeyIndex = keyNum; }
  void SetOnDraw(TDrawByIndexEvent handler) { OnDraw = std::move(handler); }

  // Whether the button was last painted in the pressed state.
  bool IsPressed() const { return Pressed; }

  // Paints the whole button on canvas for the given item-state bits.
  void DrawButton(QPainter& Canvas, int itemState);

  QSize sizeHint() const override { return size(); }

 signals:
  void MouseDown(TColorButton* sender, Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
  void MouseUp(TColorButton* sender, Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QColor FillColor{255, 255, 255};
  QColor CaptionColor{0, 0, 0};
  int KeyIndex = 0;
  bool Pressed = false;
  TDrawByIndexEvent OnDraw;
};

}  // namespace sorvane
