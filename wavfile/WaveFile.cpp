// SPDX-License-Identifier: GPL-3.0-or-later
// Writing and reading whole WAV files. Each operation runs a fixed sequence
// of steps; the first step that fails names the message shown to the user,
// and the file is closed whatever happened.
#include "wavfile/WaveFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "wavfile/ErrorBox.h"
#include "wavfile/PcmConvert.h"
#include "wavfile/Riff.h"
#include "wavfile/WaveHeaders.h"
#include "wavfile/WaveLayout.h"

namespace sorvane {
namespace {

// Runs the writing steps on a freshly created file. Returns the message of
// the first failing step, or nullptr when everything was written.
const char* WriteSteps(RiffFile& file, const void* samples, uint32_t byteCount) {
  RiffChunk riff{};
  RiffChunk data{};
  data.Size = byteCount;
  if (const char* message = WaveHeaderMessage(WriteWaveHeaders(file, riff, data, kWaveFormatBytes))) {
    return message;
  }
  if (RiffWrite(file, samples, byteCount) != static_cast<int64_t>(byteCount)) {
    return "dataチャンク書き込みエラー (mmioWrite)";
  }
  if (RiffAscend(file, data) != RiffStatus::Ok) return "dataチャンク書き込みエラー (mmioAscend)";
  if (RiffAscend(file, riff) != RiffStatus::Ok) return "RIFFチャンク書き込みエラー (mmioAscend)";
  return nullptr;
}

// The message of a fault of the chunk walk or the format check.
const char* LayoutMessage(WaveFault fault) {
  switch (fault) {
    case WaveFault::None: return nullptr;
    case WaveFault::NotRiffWave: return "ファイルシークエラー (mmioSeek)";
    case WaveFault::NoFormat: return "fmtチャンクエラー (mmioDescend)";
    case WaveFault::FormatTooShort:
    case WaveFault::FormatPastEnd: return "fmtチャンクリードエラー (mmioRead)";
    case WaveFault::CannotSeek: return "dataチャンクエラー(mmioAscend)";
    case WaveFault::DataBeforeFormat:
    case WaveFault::NoData: return "dataチャンクエラー";
    case WaveFault::BadFormat: break;
  }
  return "PCMフォーマットではありません。";
}

// Runs the reading steps on an open file. Every size taken from the file is
// checked against the file's real length before anything is read, so a
// hostile size field can never ask for a huge buffer. The data is read into
// a buffer of its own and reaches destination only once all of it has come,
// so a file cut short while it is read leaves destination as it was.
// convert: accept any convertible linear PCM sound and store it as the
// engine's; otherwise any format tag 1 file's bytes are copied as they are.
// On success sets copied (bytes stored in destination) and returns nullptr.
const char* ReadSteps(RiffFile& file, void* destination, int seconds, bool convert, uint32_t& copied) {
  WaveLayout layout;
  const WaveFault fault = ReadWaveLayout(file, convert ? WaveCheck::Convertible : WaveCheck::TagOnly, layout);
  if (fault != WaveFault::None) {
    // A tag-1 format chunk too short to describe its sound is unreadable
    // rather than of another format.
    if (fault == WaveFault::BadFormat && layout.FormatFault == PcmFormatFault::ShortChunk) {
      return "fmtチャンクリードエラー (mmioRead)";
    }
    return LayoutMessage(fault);
  }
  const PcmFormat& format = layout.Format;
  const int64_t fileSize = layout.FileSize;
  struct {
    int64_t DataOffset;
    uint32_t Size;
  } data{layout.DataOffset, layout.DataSize};

  const bool asIs = !convert || IsEngineFormat(format);
  const int64_t limit = seconds > 0 ? static_cast<int64_t>(seconds) * kWaveBytesPerSecond : 0;
  // As is: the bytes to copy. Converted: the frames that yield the samples
  // to copy, whole frames only.
  int64_t wanted = limit;
  if (!asIs) {
    const uint64_t frames = PcmFramesFor(static_cast<uint64_t>(limit / 2), format.SampleRate);
    wanted = static_cast<int64_t>(std::min<uint64_t>(frames, kMaxChunkSize) * PcmFrameBytes(format));
  }
  const int64_t count = std::min(static_cast<int64_t>(data.Size), wanted);
  // Only the bytes to be read must exist: a data chunk that claims more
  // than the file holds still yields its first seconds.
  if (data.DataOffset + count > fileSize) return "dataチャンクリードエラー";
  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[static_cast<std::size_t>(count)]);
  if (bytes == nullptr) return "dataチャンクリードエラー";
  // The file may still have been cut short since its size was taken.
  if (RiffRead(file, bytes.get(), static_cast<std::size_t>(count)) != count) {
    return "dataチャンクリードエラー";
  }
  if (asIs) {
    if (count > 0) std::memcpy(destination, bytes.get(), static_cast<std::size_t>(count));
    copied = static_cast<uint32_t>(count);
    return nullptr;
  }
  std::vector<int16_t> samples;
  if (!ConvertPcm(bytes.get(), static_cast<std::size_t>(count), format, samples)) {
    return "dataチャンクリードエラー";
  }
  const std::size_t kept = std::min(samples.size(), static_cast<std::size_t>(limit / 2));
  std::copy_n(samples.begin(), kept, static_cast<int16_t*>(destination));
  copied = static_cast<uint32_t>(kept * sizeof(int16_t));
  return nullptr;
}

// Opens fileName, runs the reading steps and reports their outcome.
bool ReadWave(void* destination, const char* fileName, int seconds, bool convert, uint32_t* bytesCopied) {
  RiffFile file;
  if (RiffOpenRead(file, fileName) != RiffStatus::Ok) {
    ShowWaveError("ファイルオープンエラー (mmioOpen)");
    return false;
  }
  uint32_t copied = 0;
  const char* message = ReadSteps(file, destination, seconds, convert, copied);
  RiffClose(file);
  if (message != nullptr) {
    ShowWaveError(message);
    return false;
  }
  if (bytesCopied != nullptr) *bytesCopied = copied;
  return true;
}

}  // namespace

bool WriteWaveFile(const char* fileName, const void* samples, uint32_t byteCount) {
  // The file is written beside the one it replaces and renamed over it only
  // when complete: a save that fails half-way leaves the old file as it was.
  RiffFile file;
  RiffReplacement replacement;
  if (RiffCreateReplacement(file, replacement, fileName) != RiffStatus::Ok) {
    ShowWaveError("ファイルオープンエラー (mmioOpen)");
    return false;
  }
  const char* message = WriteSteps(file, samples, byteCount);
  if (message != nullptr) {
    RiffAbandonReplacement(file, replacement);
  } else if (RiffCommitReplacement(file, replacement) != RiffStatus::Ok) {
    // Data the system had accepted that never reached the disk, or a name
    // that could not be put in place: nothing counts as written.
    message = "dataチャンク書き込みエラー (mmioWrite)";
  }
  // The box runs a nested event loop; the temporary file is gone before it.
  if (message != nullptr) {
    ShowWaveError(message);
    return false;
  }
  return true;
}

bool ReadWaveFile(void* destination, const char* fileName, int seconds, uint32_t* bytesCopied) {
  return ReadWave(destination, fileName, seconds, false, bytesCopied);
}

bool ReadWaveSamples(int16_t* destination, const char* fileName, int seconds, uint32_t* bytesCopied) {
  return ReadWave(destination, fileName, seconds, true, bytesCopied);
}

}  // namespace sorvane
