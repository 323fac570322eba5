// SPDX-License-Identifier: GPL-3.0-or-later
// The WAV routines' error box.
#include "wavfile/ErrorBox.h"

namespace sorvane {

void ShowWaveError(const char* message) { ShowErrorBox("エラー", message); }

}  // namespace sorvane
