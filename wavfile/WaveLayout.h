// SPDX-License-Identifier: GPL-3.0-or-later
// Where a WAV file keeps its sound and what that sound is: the one chunk
// walk and the one check of the format behind every WAV reader (phrase load
// and the renderer's input), so that they accept and refuse the same files.
// Each reader words the faults in its own language.
#pragma once

#include <cstdint>

#include "wavfile/PcmConvert.h"
#include "wavfile/Riff.h"

namespace sorvane {

enum class WaveFault : uint8_t {
  None,
  NotRiffWave,       // no "RIFF" chunk of form "WAVE"
  NoFormat,          // no "fmt " chunk inside the RIFF chunk
  FormatTooShort,    // a format chunk of fewer than 2 bytes: not even a format tag
  FormatPastEnd,     // the format chunk runs past the end of the file
  BadFormat,         // the format is refused: WaveLayout::FormatFault says why
  CannotSeek,        // the end of the format chunk cannot be reached
  DataBeforeFormat,  // the only "data" chunk comes before the format chunk
  NoData,            // no "data" chunk after the format chunk
};

// How much of the format is checked.
enum class WaveCheck : uint8_t {
  TagOnly,     // format tag 1; the bytes are taken as they are
  Convertible  // a sound that can be converted to the engine's (PcmConvert.h)
};

struct WaveLayout {
  PcmFormat Format{};  // as far as the format chunk goes
  PcmFormatFault FormatFault = PcmFormatFault::None;
  uint32_t FormatSize = 0;  // the format chunk's size field
  int64_t DataOffset = 0;   // file offset of the sample data
  uint32_t DataSize = 0;    // the data chunk's size field, which may claim more than the file holds
  int64_t FileSize = 0;     // the file's length when the layout was read
};

// Walks an open file's chunks: the first RIFF chunk of form WAVE, the first
// format chunk inside it, the first data chunk after that one. Chunks after
// the RIFF chunk (its size field may be smaller than the file) are not
// looked at; an odd chunk's missing pad byte is tolerated. Reads only the
// chunk headers and the format chunk; leaves the position at the sample data.
WaveFault ReadWaveLayout(RiffFile& file, WaveCheck check, WaveLayout& layout);

}  // namespace sorvane
