// SPDX-License-Identifier: GPL-3.0-or-later
// Physical key positions to virtual-key codes, the table search, the key
// state sources and the watchdog scan.
#include "keyboard/KeyInput.h"

namespace sorvane {

namespace {

// evdev code -> virtual-key code, by the legends of a Japanese keyboard.
constexpr std::array<int32_t, kEvdevCodeCount> BuildEvdevTable() {
  std::array<int32_t, kEvdevCodeCount> t{};
  t[1] = 0x1B;                                      // Escape
  for (int i = 0; i < 9; ++i) t[2 + i] = 0x31 + i;  // 1..9
  t[11] = 0x30;                                     // 0
  t[12] = 0xBD;                                     // - =
  t[13] = 0xDE;                                     // ^ ~ (US =)
  t[14] = 0x08;                                     // Backspace
  t[15] = 0x09;                                     // Tab
  const char top[] = "QWERTYUIOP";
  for (int i = 0; i < 10; ++i) t[16 + i] = top[i];
  t[26] = 0xC0;        // @ ` (US [)
  t[27] = 0xDB;        // [ { (US ])
  t[28] = 0x0D;        // Enter
  t[29] = kVkControl;  // left Ctrl
  const char home[] = "ASDFGHJKL";
  for (int i = 0; i < 9; ++i) t[30 + i] = home[i];
  t[39] = 0xBB;      // ; +
  t[40] = 0xBA;      // : * (US ')
  t[41] = 0xF3;      // Hankaku/Zenkaku (US `)
  t[42] = kVkShift;  // left Shift
  t[43] = 0xDD;      // ] } (US \)
  const char bottom[] = "ZXCVBNM";
  for (int i = 0; i < 7; ++i) t[44 + i] = bottom[i];
  t[51] = 0xBC;                                       // ,
  t[52] = 0xBE;                                       // .
  t[53] = 0xBF;                                       // /
  t[54] = kVkShift;                                   // right Shift
  t[55] = 0x6A;                                       // keypad *
  t[56] = 0x12;                                       // left Alt
  t[57] = 0x20;                                       // Space
  t[58] = 0x14;                                       // Caps Lock
  for (int i = 0; i < 10; ++i) t[59 + i] = 0x70 + i;  // F1..F10
  t[69] = 0x90;                                       // Num Lock
  t[70] = 0x91;                                       // Scroll Lock
  t[71] = 0x67;
  t[72] = 0x68;
  t[73] = 0x69;  // keypad 7 8 9
  t[74] = 0x6D;  // keypad -
  t[75] = 0x64;
  t[76] = 0x65;
  t[77] = 0x66;  // keypad 4 5 6
  t[78] = 0x6B;  // keypad +
  t[79] = 0x61;
  t[80] = 0x62;
  t[81] = 0x63;        // keypad 1 2 3
  t[82] = 0x60;        // keypad 0
  t[83] = 0x6E;        // keypad .
  t[85] = 0xF3;        // Zenkaku/Hankaku
  t[86] = 0xE2;        // ISO key left of Z
  t[87] = 0x7A;        // F11
  t[88] = 0x7B;        // F12
  t[89] = 0xE2;        // \ _ (ro)
  t[90] = 0xF1;        // Katakana
  t[91] = 0xF2;        // Hiragana
  t[92] = 0x1C;        // Henkan
  t[93] = 0xF2;        // Katakana/Hiragana
  t[94] = 0x1D;        // Muhenkan
  t[96] = 0x0D;        // keypad Enter
  t[97] = kVkControl;  // right Ctrl
  t[98] = 0x6F;        // keypad /
  t[99] = 0x2C;        // Print Screen
  t[100] = 0x12;       // right Alt
  t[102] = 0x24;       // Home
  t[103] = 0x26;       // Up
  t[104] = 0x21;       // Page Up
  t[105] = 0x25;       // Left
  t[106] = 0x27;       // Right
  t[107] = 0x23;       // End
  t[108] = 0x28;       // Down
  t[109] = 0x22;       // Page Down
  t[110] = 0x2D;       // Insert
  t[111] = 0x2E;       // Delete
  t[119] = 0x13;       // Pause
  t[124] = 0xDC;       // Yen
  t[125] = 0x5B;       // left Windows
  t[126] = 0x5C;       // right Windows
  t[127] = 0x5D;       // Menu
  return t;
}

constexpr std::array<int32_t, kEvdevCodeCount> kEvdevToVirtualKey = BuildEvdevTable();

}  // namespace

int32_t VirtualKeyFromEvdev(uint32_t evdevCode) {
  if (evdevCode >= kEvdevToVirtualKey.size()) return kVkNone;
  return kEvdevToVirtualKey[evdevCode];
}

int32_t FindKeyIndex(int32_t code, int32_t* passedOver) {
  int32_t passed = 0;
  int32_t found = -1;
  for (int32_t i = 0; i < kKeyCount; ++i) {
    if (KeyTable[i].KeyCode == code) {
      found = i;
      break;
    }
    ++passed;
  }
  if (passedOver) *passedOver = passed;
  return found;
}

void EventKeyState::KeyDown(int32_t virtualKey) {
  if (virtualKey > 0 && virtualKey < static_cast<int32_t>(Down.size())) Down.set(virtualKey);
}

void EventKeyState::KeyUp(int32_t virtualKey) {
  if (virtualKey > 0 && virtualKey < static_cast<int32_t>(Down.size())) Down.reset(virtualKey);
}

bool EventKeyState::IsKeyDown(int32_t virtualKey) {
  if (virtualKey <= 0 || virtualKey >= static_cast<int32_t>(Down.size())) return false;
  return Down.test(virtualKey);
}

bool KeymapKeyState::IsKeyDown(int32_t virtualKey) {
  if (virtualKey <= 0) return false;
  // Several positions may carry one code (both Ctrl keys, both "\" keys).
  for (uint32_t code = 0; code < kEvdevToVirtualKey.size(); ++code) {
    if (kEvdevToVirtualKey[code] != virtualKey) continue;
    const uint32_t x11 = code + kX11KeycodeOffset;
    if (x11 >= Keymap.size() * 8) continue;
    if (Keymap[x11 / 8] & (1u << (x11 % 8))) return true;
  }
  return false;
}

bool WatchdogTick(int32_t& watchdogTicks) {
  ++watchdogTicks;
  if (watchdogTicks < kWatchdogEvery) return false;
  watchdogTicks = 0;
  return true;
}

WatchdogRelease WatchdogScan(const std::array<TKeyTable, kKeyCount>& table, bool ctrlHeld,
                             const std::array<int32_t, kWatchdogSlots>& voiceKeys, KeyStateSource& keys,
                             const std::function<bool(int32_t)>& isPressed) {
  WatchdogRelease result;
  keys.Refresh();
  if (ctrlHeld && !keys.IsKeyDown(kVkControl)) result.ClearCtrl = true;
  for (int slot = 0; slot < kWatchdogSlots; ++slot) {
    const int32_t key = voiceKeys[slot];
    if (key < 0 || key >= kKeyCount) continue;
    const int32_t code = table[key].KeyCode;
    if (code == -1) continue;
    if (keys.IsKeyDown(code)) continue;
    if (isPressed && isPressed(key)) continue;
    result.Keys[result.KeyCount++] = key;
  }
  return result;
}

}  // namespace sorvane
