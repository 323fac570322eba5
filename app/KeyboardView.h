// SPDX-License-Identifier: GPL-3.0-or-later
// The keyboard under the control panel: the 41 key buttons, placed and
// stacked by the keyboard layout so that black keys lie over their white
// neighbours, coloured red while they sound. It says which key the mouse
// pressed and let go.
#pragma once

#include <QWidget>
#include <array>
#include <cstdint>

#include "keyboard/KeyTable.h"

namespace sorvane {

class TColorButton;

class KeyboardView final : public QWidget {
  Q_OBJECT

 public:
  // Lays the keys out in a strip panelHeight pixels below the window's top,
  // as wide as the last key reaches.
  KeyboardView(QWidget* window, int panelHeight);
  KeyboardView(const KeyboardView&) = delete;
  KeyboardView& operator=(const KeyboardView&) = delete;

  // A key sounding shows red, otherwise its own black or white.
  void ShowKey(int32_t key, bool sounding);
  // Whether the mouse holds the key's button down.
  bool IsPressed(int32_t key) const;
  TColorButton* Button(int32_t key) const { return keys[static_cast<size_t>(key)]; }

 signals:
  void KeyPressed(int32_t key);
  void KeyReleased(int32_t key);

 private:
  std::array<TColorButton*, kKeyCount> keys{};
};

}  // namespace sorvane
