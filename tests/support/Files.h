// SPDX-License-Identifier: GPL-3.0-or-later
// Whole files read back by the tests, and the little-endian fields of WAV
// files read with the reader the program itself uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "wavfile/Riff.h"

namespace sorvane::test {

// The whole file as bytes; empty when it cannot be read.
inline std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The whole file as text; empty when it cannot be read.
inline std::string ReadFileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The little-endian 32-bit value at offset at of a file's bytes (char or
// uint8_t).
template <typename Byte>
uint32_t Le32At(const std::vector<Byte>& bytes, std::size_t at) {
  return LoadLe32(reinterpret_cast<const uint8_t*>(bytes.data() + at));
}

}  // namespace sorvane::test
