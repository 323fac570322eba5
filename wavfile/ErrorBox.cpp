// Replaceable error box.
#include "wavfile/ErrorBox.h"

#include <cstdio>

namespace sorvane {
namespace {

void PrintToStderr(void*, const char* caption, const char* text) {
  std::fprintf(stderr, "%s: %s\n", caption, text);
}

ErrorBoxHandler currentHandler = &PrintToStderr;
void* currentContext = nullptr;

}  // namespace

void SetErrorBoxHandler(ErrorBoxHandler handler, void* context) {
  currentHandler = handler != nullptr ? handler : &PrintToStderr;
  currentContext = handler != nullptr ? context : nullptr;
}

void ShowErrorBox(const char* caption, const char* text) {
  currentHandler(currentContext, caption, text);
}

void ShowWaveError(const char* message) {
  ShowErrorBox("エラー", message);
}

}  // namespace sorvane
