// SPDX-License-Identifier: GPL-3.0-or-later
// PC-keyboard input for the on-screen keyboard, free of any toolkit: the
// physical key position (Linux evdev code) translated to the Windows
// virtual-key numbering of the key table, the search of the table, the
// sources that tell whether a key is physically down, and the stuck-key
// watchdog that releases voices whose keys are no longer held.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>

#include "core/Interface.h"
#include "keyboard/KeyTable.h"

namespace sorvane {

inline constexpr int32_t kVkControl = 0x11;
inline constexpr int32_t kVkShift = 0x10;
inline constexpr int32_t kVkNone = 0;
inline constexpr int32_t kEvdevCodeCount = 256;
// X11 keycodes are evdev codes moved up by 8 (the xkb "evdev" keycodes).
inline constexpr uint32_t kX11KeycodeOffset = 8;

// The virtual-key code of the key at this physical position, as a Japanese
// 106/109 keyboard numbers it: the keys right of P, L and the number row and
// the two "\" keys carry the codes of their Japanese legends, so the table's
// piano rows sit at the same places whatever layout is active. The extra
// key left of Z (ISO) plays like the Japanese "ろ" key. 0 for an unknown code.
int32_t VirtualKeyFromEvdev(uint32_t evdevCode);

// Index of the first table entry whose KeyCode equals code, -1 when none.
// passedOver receives the number of entries compared without a match.
int32_t FindKeyIndex(int32_t code, int32_t* passedOver = nullptr);

// Whether a key is physically down at this moment.
class KeyStateSource : public Interface {
 public:
  // Called once before a series of IsKeyDown questions, so that a source
  // that asks the display server can ask once.
  virtual void Refresh() {}
  virtual bool IsKeyDown(int32_t virtualKey) = 0;
};

// The key state as the window's own key events report it. Used where the
// display system cannot be asked; every key counts as released once the
// window has lost the keyboard focus, because its key-ups go elsewhere.
class EventKeyState final : public KeyStateSource {
 public:
  void KeyDown(int32_t virtualKey);
  void KeyUp(int32_t virtualKey);
  void FocusLost() { Down.reset(); }
  bool IsKeyDown(int32_t virtualKey) override;

 private:
  std::bitset<256> Down;
};

// The key state as a bitmap of X11 keycodes (32 bytes, bit k of byte k / 8
// for keycode k), as the X server's keymap query returns it.
class KeymapKeyState : public KeyStateSource {
 public:
  void SetKeymap(const std::array<uint8_t, 32>& keymap) { Keymap = keymap; }
  bool IsKeyDown(int32_t virtualKey) override;

 private:
  std::array<uint8_t, 32> Keymap{};
};

// Voice slots the watchdog looks at: one per voice of the engine.
inline constexpr int kWatchdogSlots = 8;

// What the watchdog found to undo in one run.
struct WatchdogRelease {
  bool ClearCtrl = false;
  std::array<int32_t, kWatchdogSlots> Keys{};  // keys to release, in slot order
  int32_t KeyCount = 0;
};

inline constexpr int32_t kWatchdogEvery = 4;  // 4 ticks of 250 ms: once a second

// Counts one timer tick; true on every fourth, when the watchdog runs.
bool WatchdogTick(int32_t& watchdogTicks);

// The watchdog's scan: Ctrl is cleared when CtrlHeld is set but Ctrl is up;
// a slot's key is released when it has a PC key, that key is up, and its
// on-screen button is not shown pressed.
// table is the key table (KeyTable in the program).
WatchdogRelease WatchdogScan(const std::array<TKeyTable, kKeyCount>& table, bool ctrlHeld,
                             const std::array<int32_t, kWatchdogSlots>& voiceKeys, KeyStateSource& keys,
                             const std::function<bool(int32_t)>& isPressed);

}  // namespace sorvane
