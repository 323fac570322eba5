// SPDX-License-Identifier: GPL-3.0-or-later
// The process-wide hooks every part shares, in one place: the caption
// language (`LanguageMode`) and the error box. Nothing here knows Qt or a
// sound library, so every layer can use it.
//
// The error box is the one way a failure is reported to the user: a modal
// box with a caption and a text. The desktop program installs a handler that
// shows a real message box; command-line tools print "caption: text" to
// stderr; tests record the calls. The handler may run a nested event loop
// before it returns.
#pragma once

namespace sorvane {

// `LanguageMode`: false for English, true for Japanese. Decided once at
// start-up, read by every part that sets a caption.
void SetLanguageJapanese(bool japanese);
bool LanguageJapanese();

using ErrorBoxHandler = void (*)(void* context, const char* caption, const char* text);

// Installs a handler; nullptr restores the default (stderr).
void SetErrorBoxHandler(ErrorBoxHandler handler, void* context);

// Shows one box: through the installed router when there is one and it
// takes the box, else through the installed handler.
void ShowErrorBox(const char* caption, const char* text);

// The desktop program runs the engine on a thread of its own, where no box
// can be shown: a router sees every box first and either takes it (true:
// it is shown later, on the window's thread, in order with the engine's
// other notices) or leaves it to the handler. Installed before the engine's
// thread starts and removed after it ends; nullptr removes it.
using ErrorBoxRouter = bool (*)(void* context, const char* caption, const char* text);
void SetErrorBoxRouter(ErrorBoxRouter router, void* context);
// Shows one box through the handler, past the router.
void ShowErrorBoxNow(const char* caption, const char* text);

}  // namespace sorvane
