// SPDX-License-Identifier: GPL-3.0-or-later
// The chunk walk and format check shared by the WAV readers.
#include "wavfile/WaveLayout.h"

#include <algorithm>
#include <cstdio>

#include "wavfile/WaveFile.h"

namespace sorvane {
namespace {

constexpr uint32_t kWaveForm = FourCC("WAVE");
constexpr uint32_t kFmtId = FourCC("fmt");
constexpr uint32_t kDataId = FourCC("data");

}  // namespace

WaveFault ReadWaveLayout(RiffFile& file, WaveCheck check, WaveLayout& layout) {
  layout = WaveLayout{};
  layout.FileSize = RiffFileSize(file);
  if (layout.FileSize < 0 || RiffSeek(file, 0, SEEK_SET) != 0) return WaveFault::NotRiffWave;
  RiffChunk riff{};
  if (RiffDescendRiff(file, riff, nullptr, kWaveForm) != RiffStatus::Ok) return WaveFault::NotRiffWave;
  const int64_t riffData = RiffSeek(file, 0, SEEK_CUR);
  RiffChunk fmt{};
  if (RiffDescend(file, fmt, &riff, kFmtId) != RiffStatus::Ok) return WaveFault::NoFormat;
  layout.FormatSize = fmt.Size;
  // Only the first bytes of the format chunk, up to those of the extensible
  // format, are looked at, so only they are read; but the whole chunk must
  // be there.
  if (fmt.Size < 2) return WaveFault::FormatTooShort;
  if (fmt.DataOffset + static_cast<int64_t>(fmt.Size) > layout.FileSize) return WaveFault::FormatPastEnd;
  uint8_t record[kWaveFormatReadBytes];
  const std::size_t recordBytes = std::min<std::size_t>(fmt.Size, sizeof record);
  if (RiffRead(file, record, recordBytes) != static_cast<int64_t>(recordBytes)) return WaveFault::FormatPastEnd;
  if (check == WaveCheck::Convertible) {
    layout.FormatFault = ParsePcmFormat(record, recordBytes, layout.Format);
  } else {
    layout.Format.Tag = LoadLe16(record);
    if (layout.Format.Tag != kWaveFormatPcm) layout.FormatFault = PcmFormatFault::NotPcm;
  }
  if (layout.FormatFault != PcmFormatFault::None) return WaveFault::BadFormat;
  if (RiffAscend(file, fmt) != RiffStatus::Ok) return WaveFault::CannotSeek;
  RiffChunk data{};
  if (RiffDescend(file, data, &riff, kDataId) != RiffStatus::Ok) {
    // A data chunk before the format chunk is not taken, but named.
    RiffChunk early{};
    if (RiffSeek(file, riffData, SEEK_SET) == riffData && RiffDescend(file, early, &riff, kDataId) == RiffStatus::Ok &&
        early.DataOffset < fmt.DataOffset) {
      return WaveFault::DataBeforeFormat;
    }
    return WaveFault::NoData;
  }
  layout.DataOffset = data.DataOffset;
  layout.DataSize = data.Size;
  return WaveFault::None;
}

}  // namespace sorvane
