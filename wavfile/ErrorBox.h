// The one way the engine reports a failure to the user: a modal box with a
// caption and a text. The desktop program installs a handler that shows a
// real message box; command-line tools print "caption: text" to stderr;
// tests record the calls. The handler is called on the engine's event thread
// and may run a nested event loop before it returns.
#pragma once



namespace sorvane {

using ErrorBoxHandler = void (*)(void* context, const char* caption, const char* text);

// Installs a handler; nullptr restores the default (stderr).
void SetErrorBoxHandler(ErrorBoxHandler handler, void* context);

void ShowErrorBox(const char* caption, const char* text);

// The WAV routines' box, captioned "エラー" in both languages.
void ShowWaveError(const char* message);

}  // namespace sorvane
