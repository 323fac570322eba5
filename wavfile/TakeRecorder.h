// The take recorder: every output block queued for playback is appended to
// a WAV file (18-byte format chunk) named after the local start time; chunk
// sizes are fixed up when the take ends.
#pragma once

#include <cstdint>
#include <ctime>

#include "wavfile/Riff.h"

namespace sorvane {

inline constexpr int32_t kTakeBlockLimit = 60000;

struct TakeRecorder {
  bool Recording;
  RiffFile TakeFile;
  RiffChunk RiffChunk;  // "RIFF" / "WAVE"
  RiffChunk DataChunk;  // "data"
  int32_t TakeBlocks;
};

// "yyyymmdd-hhnnss.wav" for the given local time, into buffer (at least 20 bytes).
void TakeFileName(const std::tm& localTime, char* buffer, std::size_t size);

void ResetTakeRecorder(TakeRecorder& take);

// Creates directory/yyyymmdd-hhnnss.wav (replacing a file of that name) and
// writes its headers. On failure shows "ファイルオープンエラー (mmioOpen)",
// stays idle and returns false.
bool StartTake(TakeRecorder& take, const char* directory, const std::tm& localTime);

enum class TakeWriteResult {
  Idle,          // no take running; nothing written
  Written,
  LimitReached,  // this block was the 60000th: the take has been ended
  Failed,        // the write failed: the take has been ended, what was written kept
};

// Appends one output block. Never allocates.
TakeWriteResult WriteTakeBlock(TakeRecorder& take, const void* data, uint32_t byteCount);

// Ends a running take: fixes up the chunk sizes, flushes and closes.
void StopTake(TakeRecorder& take);

}  // namespace sorvane
