// SPDX-License-Identifier: GPL-3.0-or-later
// The keyboard placement rule and the stacking order.
#include "keyboard/KeyboardLayout.h"

namespace sorvane {

KeyboardLayout LayoutKeyboard(const std::array<TKeyTable, kKeyCount>& table, int panelHeight) {
  KeyboardLayout layout{};
  int x = 0;
  int top = panelHeight + kRowHeight;
  for (int i = 0; i < kKeyCount; ++i) {
    const TKeyTable& e = table[i];
    if (i > 0 && e.Row != table[i - 1].Row) {
      x = 0;
      top -= kRowHeight;
    }
    if (e.IsBlack != 0) {
      layout.Keys[i] = {x + kBlackKeyInset, top, kBlackKeyWidth, kBlackKeyHeight};
    } else {
      layout.Keys[i] = {x, top, kWhiteKeyWidth, kWhiteKeyHeight};
    }
    if (i < kKeyCount - 1) {
      // A black key on either side: the next key starts half a white key on.
      x += (e.IsBlack != 0 || table[i + 1].IsBlack != 0) ? kHalfStep : kWhiteKeyWidth;
    }
  }
  layout.Width = x + kWhiteKeyWidth;

  int n = 0;
  for (int row = 0; row <= 1; ++row) {
    for (int black = 0; black <= 1; ++black) {
      for (int i = 0; i < kKeyCount; ++i) {
        if (table[i].Row == row && (table[i].IsBlack != 0) == (black != 0)) layout.StackOrder[n++] = i;
      }
    }
  }
  return layout;
}

std::string KeyCaption(const TKeyTable& entry) {
  if (entry.Label != nullptr && entry.Label[0] != '\0') return entry.Label;
  return std::string(1, static_cast<char>(entry.KeyCode & 0xFF));
}

}  // namespace sorvane
