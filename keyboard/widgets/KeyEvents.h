// SPDX-License-Identifier: GPL-3.0-or-later
// The toolkit side of PC-keyboard input: a Qt key event turned into the
// key table's virtual-key code, and the display server's own answer to
// "is this key physically down" where the display system has one (X11).
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "keyboard/KeyInput.h"

class QKeyEvent;

namespace sorvane {

// How key events name their keys on this platform.
enum class KeyCodeSource {
  ScanCode,  // the native scan code is an X11/xkb keycode (evdev code + 8)
  QtKey,     // only the Qt key is known (offscreen, tests, other systems)
};

KeyCodeSource KeyCodeSourceFor(const QString& platformName);

// The virtual-key code of the key of this event: by physical position when
// the scan code is known, else by the Qt key as a Japanese keyboard
// labels it. 0 when the key has no code.
int32_t VirtualKeyFromEvent(const QKeyEvent& event, KeyCodeSource source);

// The virtual-key code for a Qt key alone.
int32_t VirtualKeyFromQtKey(int qtKey);

// The X server's key state (a keymap query per refresh), or null when the
// application does not run on X11.
std::unique_ptr<KeyStateSource> MakeX11KeyState();

}  // namespace sorvane
