// SPDX-License-Identifier: GPL-3.0-or-later
// Strict reader for the renderer's input: RIFF WAVE, linear PCM. A 22050 Hz
// mono 16-bit file is taken as it is; another PCM sound of 1 to 8 channels,
// 8000 to 192000 Hz and 8, 16, 24 or 32 bits is converted to that (and
// stderr says so). Anything else is refused with a message that says what
// is wrong with the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sorvane {

bool ReadInputWave(const std::string& fileName, std::vector<int16_t>& samples, std::string& error);

}  // namespace sorvane
