// SPDX-License-Identifier: GPL-3.0-or-later
// Input file reader for the offline renderer.
#include "tools/render/InputWave.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/render/RenderFiles.h"

#include "wavfile/PcmConvert.h"

namespace sorvane {
namespace {

uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

bool ReadInputWave(const std::string& fileName, std::vector<int16_t>& samples, std::string& error) {
  auto fail = [&](const std::string& message) {
    error = "input: " + message + " (" + fileName + ")";
    return false;
  };
  // Only a regular file: a folder, device or pipe is refused before reading.
  std::vector<unsigned char> bytes;
  std::string reason;
  if (!ReadRegularFile(fileName, bytes, reason)) return fail(reason);
  const uint64_t size = bytes.size();
  if (size < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    return fail("not a RIFF WAVE file");
  }

  bool haveFormat = false;
  PcmFormat format{};
  uint64_t pos = 12;
  while (pos + 8 <= size) {
    const unsigned char* header = bytes.data() + pos;
    const uint64_t chunkSize = Le32(header + 4);
    const uint64_t data = pos + 8;
    if (std::memcmp(header, "fmt ", 4) == 0) {
      if (chunkSize < 16) return fail("format chunk of " + std::to_string(chunkSize) + " bytes, expected at least 16");
      if (data + chunkSize > size) return fail("format chunk runs past the end of the file");
      switch (ParsePcmFormat(bytes.data() + data, std::min<uint64_t>(chunkSize, kWaveFormatReadBytes), format)) {
        case PcmFormatFault::None:
        case PcmFormatFault::ShortChunk:  // ruled out above
          break;
        case PcmFormatFault::NotPcm:  // also the extensible format with another sub-format
          return fail("expected linear PCM (format tag 1), got format tag " + std::to_string(format.Tag));
        case PcmFormatFault::Channels:
          return fail("expected 1 to 8 channels, got " + std::to_string(format.Channels));
        case PcmFormatFault::SampleRate:
          return fail("expected 8000 to 192000 Hz, got " + std::to_string(format.SampleRate) + " Hz");
        case PcmFormatFault::BitsPerSample:
          return fail("expected 8, 16, 24 or 32-bit samples, got " + std::to_string(format.BitsPerSample) + "-bit");
      }
      haveFormat = true;
    } else if (std::memcmp(header, "data", 4) == 0) {
      if (!haveFormat) return fail("data chunk comes before the format chunk");
      if (data + chunkSize > size) return fail("data chunk runs past the end of the file");
      if (IsEngineFormat(format)) {
        const uint64_t count = chunkSize / 2;  // an odd trailing byte is ignored
        samples.resize(count);
        for (uint64_t i = 0; i < count; ++i) {
          samples[i] = static_cast<int16_t>(Le16(bytes.data() + data + 2 * i));
        }
        return true;
      }
      if (!ConvertPcm(bytes.data() + data, chunkSize, format, samples)) return fail("cannot resample the sound");
      std::fprintf(stderr, "sorvane-render: %s: converted %u Hz, %u channel%s, %u-bit to 22050 Hz mono 16-bit\n",
                   fileName.c_str(), static_cast<unsigned>(format.SampleRate), static_cast<unsigned>(format.Channels),
                   format.Channels == 1 ? "" : "s", static_cast<unsigned>(format.BitsPerSample));
      return true;
    }
    pos = data + chunkSize + (chunkSize & 1);
  }
  return fail(haveFormat ? "no data chunk" : "no format chunk");
}

}  // namespace sorvane
