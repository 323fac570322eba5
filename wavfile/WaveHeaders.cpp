// SPDX-License-Identifier: GPL-3.0-or-later
// WAV headers through the RIFF writer, one chunk step at a time.
#include "wavfile/WaveHeaders.h"

#include "wavfile/WaveFile.h"

namespace sorvane {

WaveHeaderFault WriteWaveHeaders(RiffFile& file, RiffChunk& riff, RiffChunk& data, uint32_t formatBytes) {
  riff.FormType = FourCC("WAVE");
  if (RiffCreateRiffChunk(file, riff) != RiffStatus::Ok) return WaveHeaderFault::RiffCreate;
  RiffChunk fmt{};
  fmt.Id = FourCC("fmt");
  fmt.Size = kWaveFormatBytes;  // provisional for the longer record: the ascent records what was written
  if (RiffCreateChunk(file, fmt) != RiffStatus::Ok) return WaveHeaderFault::FormatCreate;
  if (RiffWrite(file, kWaveFormatRecord.Bytes, formatBytes) != formatBytes) return WaveHeaderFault::FormatWrite;
  if (RiffAscend(file, fmt) != RiffStatus::Ok) return WaveHeaderFault::FormatAscend;
  data.Id = FourCC("data");
  if (RiffCreateChunk(file, data) != RiffStatus::Ok) return WaveHeaderFault::DataCreate;
  return WaveHeaderFault::None;
}

const char* WaveHeaderMessage(WaveHeaderFault fault) {
  switch (fault) {
    case WaveHeaderFault::None: return nullptr;
    case WaveHeaderFault::RiffCreate: return "RIFFチャンク作成エラー (mmioCreateChunk)";
    case WaveHeaderFault::FormatCreate: return "fmtチャンク作成エラー (mmioCreateChunk)";
    case WaveHeaderFault::FormatWrite: return "fmtチャンク書き込みエラー (mmioWrite)";
    case WaveHeaderFault::FormatAscend: return "fmtチャンク書き込みエラー (mmioAscend)";
    case WaveHeaderFault::DataCreate: return "dataチャンク作成エラー (mmioCreateChunk)";
  }
  return nullptr;
}

}  // namespace sorvane
