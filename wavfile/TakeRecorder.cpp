// SPDX-License-Identifier: GPL-3.0-or-later
// The take recorder: a WAV file that grows by one output block at a time
// while a take runs, with its chunk sizes kept nearly up to date as it grows
// and fixed up when the take ends. The per-block write is a plain system
// call on an already open descriptor.
#include "wavfile/TakeRecorder.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cassert>
#include <climits>
#include <cstdio>
#include <cstring>

#include "core/Reporter.h"
#include "wavfile/ErrorBox.h"
#include "wavfile/WaveFile.h"
#include "wavfile/WaveHeaders.h"

namespace sorvane {
namespace {

constexpr const char* kOpenError = "ファイルオープンエラー (mmioOpen)";
constexpr const char* kWriteError = "dataチャンク書き込みエラー (mmioWrite)";

// Bytes of the RIFF chunk's data ahead of the samples: the form type, the
// format chunk with its 18-byte record and the data chunk's header.
constexpr int64_t kTakeHeaderBytes = 4 + kChunkHeaderBytes + kWaveFormatExBytes + kChunkHeaderBytes;
static_assert(kTakeHeaderBytes == 38);
// Most sample bytes a take can hold while the RIFF size, with a pad byte,
// still fits its 32-bit field.
constexpr int64_t kMaxTakeDataBytes = kMaxChunkSize - kTakeHeaderBytes - 1;

// Writes the RIFF, format and data chunk headers of a new take.
bool WriteTakeHeaders(TakeRecorder& take) {
  // The sizes of an empty take from the start (the data chunk's is 0), so
  // that the file is a valid WAV file before the first size update too.
  take.RiffChunk = {};
  take.RiffChunk.Size = static_cast<uint32_t>(kTakeHeaderBytes);
  take.DataChunk = {};
  return WriteWaveHeaders(take.TakeFile, take.RiffChunk, take.DataChunk, kWaveFormatExBytes) == WaveHeaderFault::None;
}

// Whether the take's open file has lost its last name: a file deleted
// while it is open lives on, unseen, until it is closed, and then is gone.
bool TakeFileDeleted(const TakeRecorder& take) {
  struct stat status {};
  return ::fstat(take.TakeFile.Fd, &status) == 0 && status.st_nlink == 0;
}

}  // namespace

void TakeFileName(const std::tm& localTime, int32_t number, char* buffer, std::size_t size) {
  // The year is widened so that no field value can overflow the addition.
  const long long year = static_cast<long long>(localTime.tm_year) + 1900;
  if (number <= 1) {
    std::snprintf(buffer, size, "%04lld%02d%02d-%02d%02d%02d.wav", year, localTime.tm_mon + 1, localTime.tm_mday,
                  localTime.tm_hour, localTime.tm_min, localTime.tm_sec);
  } else {
    std::snprintf(buffer, size, "%04lld%02d%02d-%02d%02d%02d-%d.wav", year, localTime.tm_mon + 1, localTime.tm_mday,
                  localTime.tm_hour, localTime.tm_min, localTime.tm_sec, static_cast<int>(number));
  }
}

void ResetTakeRecorder(TakeRecorder& take) { take = {}; }

bool StartTake(TakeRecorder& take, const char* directory, const std::tm& localTime) {
  assert(directory != nullptr);
  if (take.Recording) StopTake(take);
  take = {};

  // An empty directory means the current one; a trailing separator is not doubled.
  const std::size_t directoryLength = std::strlen(directory);
  const char* separator = directoryLength == 0 || directory[directoryLength - 1] == '/' ? "" : "/";
  char path[PATH_MAX];
  // The first free name of the second: the plain one, then -2, -3 and so on.
  RiffStatus created = RiffStatus::AlreadyExists;
  for (int32_t number = 1; number <= kTakeNameNumbers && created == RiffStatus::AlreadyExists; ++number) {
    char name[128];  // room for any field values, not only those of a real date
    TakeFileName(localTime, number, name, sizeof name);
    const int length = std::snprintf(path, sizeof path, "%s%s%s", directory, separator, name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) break;
    created = RiffCreateNew(take.TakeFile, path);
    std::snprintf(take.FileName, sizeof take.FileName, "%s", name);
  }
  if (created != RiffStatus::Ok) {
    take = {};
    ShowWaveError(kOpenError);
    return false;
  }
  if (!WriteTakeHeaders(take)) {
    // Without its headers the file is no WAV file at all; it goes.
    RiffClose(take.TakeFile);
    ::unlink(path);
    take = {};
    ShowWaveError(kOpenError);
    return false;
  }
  take.TakeBlocks = 0;
  take.DataBytes = 0;
  take.Recording = true;
  return true;
}

TakeWriteResult WriteTakeBlock(TakeRecorder& take, const void* data, uint32_t byteCount) {
  if (!take.Recording) return TakeWriteResult::Idle;
  assert((data != nullptr || byteCount == 0) && "a block needs its samples");

  const int64_t blockStart = take.DataChunk.DataOffset + static_cast<int64_t>(take.DataBytes);
  const bool fits = static_cast<int64_t>(take.DataBytes) + byteCount <= kMaxTakeDataBytes;
  if (!fits || RiffWrite(take.TakeFile, data, byteCount) != static_cast<int64_t>(byteCount)) {
    // A block that was only partly written (a full disk, a file size limit)
    // is cut off again, so the data chunk holds whole blocks only and its
    // size stays even; the take then ends like a stopped one and the file
    // is a valid WAV file of every block before this one.
    RiffTruncate(take.TakeFile, blockStart);
    StopTake(take);
    return TakeWriteResult::Failed;
  }
  take.DataBytes += byteCount;
  ++take.TakeBlocks;
  if (take.TakeBlocks % kTakeSizeUpdateBlocks == 0) {
    // The sizes of the data so far, in place, so that a take cut off by a
    // crash or a kill is a valid file of all but its last blocks. The end
    // of the take writes the same fields again, so a take that ends
    // normally is the same file as without these writes. A failure here
    // costs only that safety and does not end the take.
    const uint32_t riffSize = static_cast<uint32_t>(kTakeHeaderBytes + take.DataBytes);
    RiffWriteChunkSize(take.TakeFile, take.DataChunk, take.DataBytes);
    RiffWriteChunkSize(take.TakeFile, take.RiffChunk, riffSize);
    // One fstat a second: whether what is written still goes anywhere.
    if (TakeFileDeleted(take)) {
      StopTake(take);
      return TakeWriteResult::Deleted;
    }
  }
  if (take.TakeBlocks >= kTakeBlockLimit) {
    return StopTake(take) ? TakeWriteResult::LimitReached : TakeWriteResult::Deleted;
  }
  return TakeWriteResult::Written;
}

void ShowTakeWriteError() { ShowWaveError(kWriteError); }

void ShowTakeDeletedError(const TakeRecorder& take) {
  std::fprintf(stderr, "sorvane: the take %s is lost: its file was deleted while it was recorded\n", take.FileName);
  char text[256];
  if (LanguageJapanese()) {
    std::snprintf(text, sizeof text,
                  "録音中にファイル %s が削除されたため、録音は失われました。(フォルダが削除されましたか?)",
                  take.FileName);
  } else {
    std::snprintf(text, sizeof text,
                  "The take %s is lost: its file was deleted while it was recorded (was its folder removed?).",
                  take.FileName);
  }
  ShowWaveError(text);
}

bool StopTake(TakeRecorder& take) {
  if (!take.Recording) return true;
  take.Recording = false;
  const bool deleted = TakeFileDeleted(take);
  // Each step runs even when one before it failed, so the descriptor is
  // always released; a take's end reports nothing but a lost file.
  RiffAscend(take.TakeFile, take.DataChunk);
  RiffAscend(take.TakeFile, take.RiffChunk);
  RiffFlush(take.TakeFile);
  RiffClose(take.TakeFile);
  return !deleted;
}

}  // namespace sorvane
