// SPDX-License-Identifier: GPL-3.0-or-later
// Where the 41 key buttons go: the placement rule that walks the key table
// row by row, the order in which the buttons are stacked so that black keys
// lie over their white neighbours, and the caption each key shows.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "keyboard/KeyTable.h"

namespace sorvane {

inline constexpr int kRowHeight = 80;  // one row of keys
inline constexpr int kWhiteKeyWidth = 30;
inline constexpr int kWhiteKeyHeight = 80;
inline constexpr int kBlackKeyWidth = 26;
inline constexpr int kBlackKeyHeight = 45;
inline constexpr int kBlackKeyInset = 2;  // black keys sit 2 px right of the running x
inline constexpr int kHalfStep = 15;      // x advance next to a black key
inline constexpr int kKeyboardHeight = 2 * kRowHeight;

struct KeyPlacement {
  int Left;  // pixels from the window's left edge
  int Top;   // pixels from the window's top edge
  int Width;
  int Height;
};

struct KeyboardLayout {
  std::array<KeyPlacement, kKeyCount> Keys;
  // Key indices in the order they are brought to the front: row 0 white,
  // row 0 black, row 1 white, row 1 black, each in table order.
  std::array<int32_t, kKeyCount> StackOrder;
  int Width;  // right edge of the last key: the window's client width
};

// Places the keys below a control panel panelHeight pixels high: the upper
// row (Row 1) right under the panel, the lower row 80 pixels further down.
KeyboardLayout LayoutKeyboard(const std::array<TKeyTable, kKeyCount>& table, int panelHeight);

// The caption of a key, UTF-8: its own label, or else the character of its
// key code (a letter or a digit).
std::string KeyCaption(const TKeyTable& entry);

}  // namespace sorvane
