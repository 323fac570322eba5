// SPDX-License-Identifier: GPL-3.0-or-later
// The take recorder: every output block queued for playback is appended to
// a WAV file (18-byte format chunk) named after the local start time. The
// file is created with the sizes of an empty take, and while the take runs
// its chunk sizes are brought up to date about once a second, so that a take
// cut short by a crash or a kill is still a valid WAV file at any moment;
// they are fixed up for good when the take ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <type_traits>

#include "wavfile/Riff.h"

namespace sorvane {

inline constexpr int32_t kTakeBlockLimit = 60000;
// The chunk sizes in the file are brought up to date after every this many
// blocks. Blocks come every 10 ms, so that is more than once a second; and
// since even the longest blocks (242 samples) of one interval make less
// than a second of sound (90 x 242 < 22050), a take that is cut off loses
// less than a second of its sound.
inline constexpr int32_t kTakeSizeUpdateBlocks = 90;
static_assert((kTakeSizeUpdateBlocks - 1) * 242 < 22050);
// Numbered names tried for the takes of one second ("-2" up to this).
inline constexpr int32_t kTakeNameNumbers = 999;

// The field named RiffChunk hides the type inside the record, so the chunk
// fields spell the type with its namespace.
struct TakeRecorder {
  bool Recording = false;
  RiffFile TakeFile;
  sorvane::RiffChunk RiffChunk;  // "RIFF" / "WAVE"
  sorvane::RiffChunk DataChunk;  // "data"
  int32_t TakeBlocks = 0;
  uint32_t DataBytes = 0;   // sample bytes in the data chunk so far
  char FileName[128] = {};  // the take's file in its folder, kept after the take ends
};
static_assert(std::is_trivially_copyable_v<TakeRecorder>);

// "yyyymmdd-hhnnss.wav" for the given local time and number 1, or
// "yyyymmdd-hhnnss-N.wav" for a number N of 2 or more, into buffer (20
// bytes hold the first form, 32 any of them).
void TakeFileName(const std::tm& localTime, int32_t number, char* buffer, std::size_t size);

// Puts the recorder in its start-up state (idle, no file). It does not touch
// a running take's file: a record that may hold an open take is ended with
// StopTake instead.
void ResetTakeRecorder(TakeRecorder& take);

// Creates directory/yyyymmdd-hhnnss.wav and writes its headers. A take never
// replaces a file: when the name is taken (a take started in the same
// second), the take goes to yyyymmdd-hhnnss-2.wav, -3 and so on. On failure shows "ファイルオープンエラー (mmioOpen)",
// stays idle and returns false; a file whose headers could not be written is
// removed. A take that is already running is ended first.
bool StartTake(TakeRecorder& take, const char* directory, const std::tm& localTime);

enum class TakeWriteResult {
  Idle,  // no take running; nothing written
  Written,
  LimitReached,  // this block was the 60000th: the take has been ended
  Failed,        // the write failed: the take has been ended, what was written kept
  Deleted,       // the file no longer has a name (its folder was removed): the take has been ended
};

// Appends one output block. Never allocates and takes no lock. A failed
// write ends the take (the file keeps every whole block written before and
// is closed) and returns Failed; the caller then reports it with
// ShowTakeWriteError once it has finished the block, since the error box
// runs a nested event loop in which further blocks are handled. With each
// update of the chunk sizes the file is checked to still have a name: one
// deleted (with its folder, say) ends the take and returns Deleted, for
// ShowTakeDeletedError, since nothing written to it could be kept.
TakeWriteResult WriteTakeBlock(TakeRecorder& take, const void* data, uint32_t byteCount);

// Shows "dataチャンク書き込みエラー (mmioWrite)".
void ShowTakeWriteError();

// Says on stderr and in an error box, in the caption language, that the
// take in take.FileName was lost because its file was deleted.
void ShowTakeDeletedError(const TakeRecorder& take);

// Ends a running take: fixes up the chunk sizes, flushes and closes. False
// when the file had been deleted meanwhile: the take is lost.
bool StopTake(TakeRecorder& take);

}  // namespace sorvane
