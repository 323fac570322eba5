// Strict reader for the renderer's input: RIFF WAVE, linear PCM, mono,
// 22050 Hz, 16-bit. Anything else is refused with a message that says what
// is wrong with the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sorvane {

bool ReadInputWave(const std::string& fileName, std::vector<int16_t>& samples, std::string& error);

}  // namespace sorvane
