// SPDX-License-Identifier: GPL-3.0-or-later
// Caption language and replaceable error box.
#include "core/Reporter.h"

#include <cstdio>

namespace sorvane {
namespace {

bool languageJapanese = false;

void PrintToStderr(void*, const char* caption, const char* text) { std::fprintf(stderr, "%s: %s\n", caption, text); }

ErrorBoxHandler currentHandler = &PrintToStderr;
void* currentContext = nullptr;
ErrorBoxRouter currentRouter = nullptr;
void* currentRouterContext = nullptr;

}  // namespace

void SetLanguageJapanese(bool japanese) { languageJapanese = japanese; }
bool LanguageJapanese() { return languageJapanese; }

void SetErrorBoxHandler(ErrorBoxHandler handler, void* context) {
  currentHandler = handler != nullptr ? handler : &PrintToStderr;
  currentContext = handler != nullptr ? context : nullptr;
}

void ShowErrorBox(const char* caption, const char* text) {
  if (currentRouter != nullptr && currentRouter(currentRouterContext, caption, text)) return;
  currentHandler(currentContext, caption, text);
}

void SetErrorBoxRouter(ErrorBoxRouter router, void* context) {
  currentRouter = router;
  currentRouterContext = router != nullptr ? context : nullptr;
}

void ShowErrorBoxNow(const char* caption, const char* text) { currentHandler(currentContext, caption, text); }

}  // namespace sorvane
