// SPDX-License-Identifier: GPL-3.0-or-later
// The keyboard's key buttons, placed by the keyboard layout.
#include "app/KeyboardView.h"

#include "app/WindowColours.h"
#include "keyboard/KeyboardLayout.h"
#include "keyboard/widgets/ColorButton.h"

namespace sorvane {

KeyboardView::KeyboardView(QWidget* window, int panelHeight) : QWidget(window) {
  setObjectName(QStringLiteral("keyboard"));
  const KeyboardLayout layout = LayoutKeyboard(KeyTable, panelHeight);
  setGeometry(0, panelHeight, layout.Width, kKeyboardHeight);
  for (int i = 0; i < kKeyCount; ++i) {
    const TKeyTable& e = KeyTable[i];
    auto* button = new TColorButton(this);
    keys[i] = button;
    button->setText(QString::fromUtf8(KeyCaption(e).c_str()));
    if (e.IsBlack != 0) {
      button->SetColor(kBlack);
      button->SetFontColor(kWhite);
    } else {
      button->SetColor(kWhite);
      button->SetFontColor(kBlack);
    }
    // The layout places keys in the window; the strip starts under the panel.
    const KeyPlacement& p = layout.Keys[i];
    button->setGeometry(p.Left, p.Top - panelHeight, p.Width, p.Height);
    button->SetKeyNum(i);
    connect(button, &TColorButton::MouseDown, this,
            [this](TColorButton* sender, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
              emit KeyPressed(sender->KeyNum());
            });
    connect(button, &TColorButton::MouseUp, this,
            [this](TColorButton* sender, Qt::MouseButton, Qt::KeyboardModifiers, int, int) {
              emit KeyReleased(sender->KeyNum());
            });
  }
  for (int32_t index : layout.StackOrder) keys[static_cast<size_t>(index)]->raise();
}

void KeyboardView::ShowKey(int32_t key, bool sounding) {
  if (key < 0 || key >= kKeyCount) return;
  const QColor own = KeyTable[key].IsBlack != 0 ? kBlack : kWhite;
  keys[static_cast<size_t>(key)]->SetColor(sounding ? kSounding : own);
}

bool KeyboardView::IsPressed(int32_t key) const { return keys[static_cast<size_t>(key)]->IsPressed(); }

}  // namespace sorvane
