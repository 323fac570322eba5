// SPDX-License-Identifier: GPL-3.0-or-later
// The 41 keys of the two-row keyboard: row, colour, note and the PC key that
// plays each. The index of an entry is the key's identity everywhere.
#pragma once

#include <array>
#include <cstdint>

namespace sorvane {

inline constexpr int kKeyCount = 41;

struct TKeyTable {
  int32_t Row;         // 0 lower row on screen, 1 upper row
  int32_t IsBlack;     // 1 black key, 0 white key
  int32_t NoteOffset;  // semitone number of the key's note
  int32_t KeyCode;     // Windows virtual-key code of its PC key, -1 for none
  const char* Label;   // caption when it differs from the KeyCode character; "" otherwise
};

extern const std::array<TKeyTable, kKeyCount> KeyTable;

}  // namespace sorvane
