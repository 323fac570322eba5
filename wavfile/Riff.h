// A small RIFF file layer over POSIX file descriptors: open or create a
// file, start and close chunks (closing fixes up the size field and pads an
// odd chunk), read, write, find a chunk by its identifier, seek and flush.
// Every operation returns a status the caller tests.
#pragma once

#include <cstdint>

namespace sorvane {

// Four-character code, first character in the lowest byte, padded with blanks.
constexpr uint32_t FourCC(const char* s) {
  uint32_t v = 0;
  bool ended = false;
  for (int i = 0; i < 4; ++i) {
    char c = ended ? '\0' : s[i];
    if (c == '\0') ended = true;
    const uint8_t b = ended ? static_cast<uint8_t>(' ') : static_cast<uint8_t>(c);
    v |= static_cast<uint32_t>(b) << (8 * i);
  }
  return v;
}

struct RiffFile {
  int Fd = -1;
};

struct RiffChunk {
  uint32_t Id;
  uint32_t Size;      // of the data, as read or as provisionally written
  uint32_t FormType;  // "RIFF" and "LIST" chunks only
  int64_t DataOffset; // file offset of the chunk's data
  bool Written;       // created by this writer: its size is fixed up on ascend
};

}  // namespace sorvane
