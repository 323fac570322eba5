// Writing and reading whole WAV files. Each operation runs a fixed sequence
// of steps; the first step that fails names the message shown to the user,
// and the file is closed whatever happened.
#include "wavfile/WaveFile.h"

#include <algorithm>
#include <cstdio>

#include "wavfile/ErrorBox.h"
#include "wavfile/Riff.h"

namespace sorvane {
namespace {

constexpr uint32_t kWaveForm = FourCC("WAVE");
constexpr uint32_t kFmtId = FourCC("fmt");
constexpr uint32_t kDataId = FourCC("data");

// Runs the writing steps on a freshly created file. Returns the message of
// the first failing step, or nullptr when everything was written.
const char* WriteSteps(RiffFile& file, const void* samples, uint32_t byteCount) {
  RiffChunk riff{};
  riff.FormType = kWaveForm;
  if (RiffCreateRiffChunk(file, riff) != RiffStatus::Ok) {
    return "RIFFチャンク作成エラー (mmioCreateChunk)";
  }
  RiffChunk fmt{};
  fmt.Id = kFmtId;
  fmt.Size = kWaveFormatBytes;
  if (RiffCreateChunk(file, fmt) != RiffStatus::Ok) {
    return "fmtチャンク作成エラー (mmioCreateChunk)";
  }
  if (RiffWrite(file, kWaveFormatRecord.Bytes, kWaveFormatBytes) != kWaveFormatBytes) {
    return "fmtチャンク書き込みエラー (mmioWrite)";
  }
  if (RiffAscend(file, fmt) != RiffStatus::Ok) return "fmtチャンク書き込みエラー (mmioAscend)";
  RiffChunk data{};
  data.Id = kDataId;
  data.Size = byteCount;
  if (RiffCreateChunk(file, data) != RiffStatus::Ok) {
    return "dataチャンク作成エラー (mmioCreateChunk)";
  }
  if (RiffWrite(file, samples, byteCount) != static_cast<int64_t>(byteCount)) {
    return "dataチャンク書き込みエラー (mmioWrite)";
  }
  if (RiffAscend(file, data) != RiffStatus::Ok) return "dataチャンク書き込みエラー (mmioAscend)";
  if (RiffAscend(file, riff) != RiffStatus::Ok) return "RIFFチャンク書き込みエラー (mmioAscend)";
  return nullptr;
}

// Runs the reading steps on an open file. Every size taken from the file is
// checked against the file's real length before anything is read, so a
// hostile size field can neither ask for a huge buffer nor leave a partial
// copy in destination. On success sets copied and returns nullptr.
const char* ReadSteps(RiffFile& file, void* destination, int seconds, uint32_t& copied) {
  if (RiffSeek(file, 0, SEEK_SET) != 0) return "ファイルシークエラー (mmioSeek)";
  RiffChunk riff{};
  if (RiffDescendRiff(file, riff, nullptr, kWaveForm) != RiffStatus::Ok) {
    return "ファイルシークエラー (mmioSeek)";
  }
  RiffChunk fmt{};
  if (RiffDescend(file, fmt, &riff, kFmtId) != RiffStatus::Ok) {
    return "fmtチャンクエラー (mmioDescend)";
  }
  const int64_t fileSize = RiffFileSize(file);
  // The whole format chunk must be present, and hold at least its format
  // tag; only the tag is needed, so only the tag is read.
  if (fileSize < 0 || fmt.Size < 2 ||
      fmt.DataOffset + static_cast<int64_t>(fmt.Size) > fileSize) {
    return "fmtチャンクリードエラー (mmioRead)";
  }
  uint8_t tag[2];
  if (RiffRead(file, tag, sizeof tag) != 2) return "fmtチャンクリードエラー (mmioRead)";
  if ((tag[0] | tag[1] << 8) != kWaveFormatPcm) return "PCMフォーマットではありません。";
  if (RiffAscend(file, fmt) != RiffStatus::Ok) return "dataチャンクエラー(mmioAscend)";
  RiffChunk data{};
  if (RiffDescend(file, data, &riff, kDataId) != RiffStatus::Ok) return "dataチャンクエラー";

  const int64_t limit = seconds > 0 ? static_cast<int64_t>(seconds) * kWaveBytesPerSecond : 0;
  const int64_t count = std::min(static_cast<int64_t>(data.Size), limit);
  // Only the bytes to be copied must exist: a data chunk that claims more
  // than the file holds still yields its first seconds.
  if (data.DataOffset + count > fileSize) return "dataチャンクリードエラー";
  // The bytes are known to be there, so they are read straight into
  // destination; only an I/O error of the disk itself could still cut the
  // read short, and that is reported like a short file.
  if (RiffRead(file, destination, static_cast<std::size_t>(count)) != count) {
    return "dataチャンクリードエラー";
  }
  copied = static_cast<uint32_t>(count);
  return nullptr;
}

}  // namespace

bool WriteWaveFile(const char* fileName, const void* samples, uint32_t byteCount) {
  RiffFile file;
  if (RiffCreate(file, fileName) != RiffStatus::Ok) {
    ShowWaveError("ファイルオープンエラー (mmioOpen)");
    return false;
  }
  const char* message = WriteSteps(file, samples, byteCount);
  // A close that fails can mean data the system had accepted never reached
  // the file, so it does not count as written.
  const bool closed = RiffClose(file) == RiffStatus::Ok;
  if (message == nullptr && !closed) message = "dataチャンク書き込みエラー (mmioWrite)";
  if (message != nullptr) {
    ShowWaveError(message);
    return false;
  }
  return true;
}

bool ReadWaveFile(void* destination, const char* fileName, int seconds, uint32_t* bytesCopied) {
  RiffFile file;
  if (RiffOpenRead(file, fileName) != RiffStatus::Ok) {
    ShowWaveError("ファイルオープンエラー (mmioOpen)");
    return false;
  }
  uint32_t copied = 0;
  const char* message = ReadSteps(file, destination, seconds, copied);
  RiffClose(file);
  if (message != nullptr) {
    ShowWaveError(message);
    return false;
  }
  if (bytesCopied != nullptr) *bytesCopied = copied;
  return true;
}

}  // namespace sorvane
