// SPDX-License-Identifier: GPL-3.0-or-later
// Whole files read back by the tests, and the little-endian fields of WAV
// files read with the program's own reader.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "wavfile/Riff.h"

namespace sorvane::test {

// The whole file, as bytes or (ReadFileText) as text; empty when it cannot
// be read.
template <typename Container = std::vector<uint8_t>>
Container ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Container(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline std::string ReadFileText(const std::filesystem::path& path) { return ReadFileBytes<std::string>(path); }

// The little-endian 32-bit value at offset at.
inline uint32_t Le32At(const std::vector<uint8_t>& bytes, size_t at) { return LoadLe32(bytes.data() + at); }

}  // namespace sorvane::test
