// SPDX-License-Identifier: GPL-3.0-or-later
// The WAV routines' error box. It goes through the process-wide error box
// of core/Reporter.h, which also installs and replaces the handler.
#pragma once

#include "core/Reporter.h"

namespace sorvane {

// The WAV routines' box, captioned "エラー" in both languages.
void ShowWaveError(const char* message);

}  // namespace sorvane
