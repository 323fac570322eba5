// SPDX-License-Identifier: GPL-3.0-or-later
// Qt key events to virtual-key codes, and the X11 key-state query.
#include "keyboard/widgets/KeyEvents.h"

#include <QtGui/qguiapplication_platform.h>
#include <QGuiApplication>
#include <QKeyEvent>

#ifdef SORVANE_HAVE_XCB
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#endif

namespace sorvane {

KeyCodeSource KeyCodeSourceFor(const QString& platformName) {
  // Both the X11 and the Wayland plugins report xkb keycodes.
  if (platformName == QLatin1String("xcb") || platformName.startsWith(QLatin1String("wayland")))
    return KeyCodeSource::ScanCode;
  return KeyCodeSource::QtKey;
}

int32_t VirtualKeyFromQtKey(int qtKey) {
  if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) return 0x41 + (qtKey - Qt::Key_A);
  if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9) return 0x30 + (qtKey - Qt::Key_0);
  if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F24) return 0x70 + (qtKey - Qt::Key_F1);
  switch (qtKey) {
    // Shifted legends of a Japanese keyboard stay on their key.
    case Qt::Key_Exclam: return 0x31;
    case Qt::Key_QuoteDbl: return 0x32;
    case Qt::Key_NumberSign: return 0x33;
    case Qt::Key_Dollar: return 0x34;
    case Qt::Key_Percent: return 0x35;
    case Qt::Key_Ampersand: return 0x36;
    case Qt::Key_Apostrophe: return 0x37;
    case Qt::Key_ParenLeft: return 0x38;
    case Qt::Key_ParenRight: return 0x39;
    case Qt::Key_Minus:
    case Qt::Key_Equal: return 0xBD;
    case Qt::Key_AsciiCircum:
    case Qt::Key_AsciiTilde: return 0xDE;
    case Qt::Key_yen:
    case Qt::Key_Bar: return 0xDC;
    case Qt::Key_At:
    case Qt::Key_QuoteLeft: return 0xC0;
    case Qt::Key_BracketLeft:
    case Qt::Key_BraceLeft: return 0xDB;
    case Qt::Key_Semicolon:
    case Qt::Key_Plus: return 0xBB;
    case Qt::Key_Colon:
    case Qt::Key_Asterisk: return 0xBA;
    case Qt::Key_BracketRight:
    case Qt::Key_BraceRight: return 0xDD;
    case Qt::Key_Comma:
    case Qt::Key_Less: return 0xBC;
    case Qt::Key_Period:
    case Qt::Key_Greater: return 0xBE;
    case Qt::Key_Slash:
    case Qt::Key_Question: return 0xBF;
    case Qt::Key_Backslash:
    case Qt::Key_Underscore: return 0xE2;
    case Qt::Key_Control: return kVkControl;
    case Qt::Key_Shift: return kVkShift;
    case Qt::Key_Alt:
    case Qt::Key_AltGr: return 0x12;
    case Qt::Key_Escape: return 0x1B;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return 0x09;
    case Qt::Key_Backspace: return 0x08;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 0x0D;
    case Qt::Key_Space: return 0x20;
    case Qt::Key_CapsLock: return 0x14;
    case Qt::Key_NumLock: return 0x90;
    case Qt::Key_ScrollLock: return 0x91;
    case Qt::Key_Pause: return 0x13;
    case Qt::Key_Print: return 0x2C;
    case Qt::Key_Insert: return 0x2D;
    case Qt::Key_Delete: return 0x2E;
    case Qt::Key_Home: return 0x24;
    case Qt::Key_End: return 0x23;
    case Qt::Key_PageUp: return 0x21;
    case Qt::Key_PageDown: return 0x22;
    case Qt::Key_Left: return 0x25;
    case Qt::Key_Up: return 0x26;
    case Qt::Key_Right: return 0x27;
    case Qt::Key_Down: return 0x28;
    case Qt::Key_Meta: return 0x5B;
    case Qt::Key_Menu: return 0x5D;
    case Qt::Key_Henkan: return 0x1C;
    case Qt::Key_Muhenkan: return 0x1D;
    case Qt::Key_Zenkaku_Hankaku:
    case Qt::Key_Zenkaku:
    case Qt::Key_Hankaku: return 0xF3;
    case Qt::Key_Hiragana_Katakana:
    case Qt::Key_Hiragana:
    case Qt::Key_Katakana: return 0xF2;
    default: return kVkNone;
  }
}

int32_t VirtualKeyFromEvent(const QKeyEvent& event, KeyCodeSource source) {
  if (source == KeyCodeSource::ScanCode) {
    const quint32 scan = event.nativeScanCode();
    if (scan >= kX11KeycodeOffset) {
      const int32_t vk = VirtualKeyFromEvdev(scan - kX11KeycodeOffset);
      if (vk != kVkNone) return vk;
    }
  }
  return VirtualKeyFromQtKey(event.key());
}

#ifdef SORVANE_HAVE_XCB
namespace {

// Asks the X server for the keymap on every refresh; a round trip of well
// under a millisecond, once a second.
class X11KeyState final : public KeymapKeyState {
 public:
  explicit X11KeyState(xcb_connection_t* connection) : Connection(connection) {}

  void Refresh() override {
    std::array<uint8_t, 32> keymap{};
    xcb_query_keymap_reply_t* reply = xcb_query_keymap_reply(Connection, xcb_query_keymap(Connection), nullptr);
    if (reply) {
      std::memcpy(keymap.data(), reply->keys, keymap.size());
      std::free(reply);
    }
    SetKeymap(keymap);
  }

 private:
  xcb_connection_t* Connection;
};

}  // namespace
#endif

std::unique_ptr<KeyStateSource> MakeX11KeyState() {
#ifdef SORVANE_HAVE_XCB
  if (auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
    if (xcb_connection_t* connection = x11->connection()) return std::make_unique<X11KeyState>(connection);
  }
#endif
  return nullptr;
}

}  // namespace sorvane
