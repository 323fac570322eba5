// The take recorder: every output block queued for playback is appended to
// a WAV file (18-byte format chunk) named after the local start time; chunk
// sizes are fixed up when the take ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <type_traits>

#include "wavfile/Riff.h"

namespace sorvane {

inline constexpr int32_t kTakeBlockLimit = 60000;

// The field named RiffChunk hides the type inside the record, so the chunk
// fields spell the type with its namespace.
struct TakeRecorder {
  bool Recording = false;
  RiffFile TakeFile;
  sorvane::RiffChunk RiffChunk;  // "RIFF" / "WAVE"
  sorvane::RiffChunk DataChunk;  // "data"
  int32_t TakeBlocks = 0;
  uint32_t DataBytes = 0;  // sample bytes in the data chunk so far
};
static_assert(std::is_trivially_copyable_v<TakeRecorder>);

// "yyyymmdd-hhnnss.wav" for the given local time, into buffer (at least 20 bytes).
void TakeFileName(const std::tm& localTime, char* buffer, std::size_t size);

// Puts the recorder in its start-up state (idle, no file). It does not touch
// a running take's file: a record that may hold an open take is ended with
// StopTake instead.
void ResetTakeRecorder(TakeRecorder& take);

// Creates directory/yyyymmdd-hhnnss.wav (replacing a file of that name) and
// writes its headers. On failure shows "ファイルオープンエラー (mmioOpen)",
// stays idle and returns false; a file whose headers could not be written is
// removed. A take that is already running is ended first.
bool StartTake(TakeRecorder& take, const char* directory, const std::tm& localTime);

enum class TakeWriteResult {
  Idle,          // no take running; nothing written
  Written,
  LimitReached,  // this block was the 60000th: the take has been ended
  Failed,        // the write failed: the take has been ended, what was written kept
};

// Appends one output block. Never allocates and takes no lock. A failed
// write ends the take (the file keeps every whole block written before) and
// shows "dataチャンク書き込みエラー (mmioWrite)" after the file is closed.
TakeWriteResult WriteTakeBlock(TakeRecorder& take, const void* data, uint32_t byteCount);

// Ends a running take: fixes up the chunk sizes, flushes and closes.
void StopTake(TakeRecorder& take);

}  // namespace sorvane
