// SPDX-License-Identifier: GPL-3.0-or-later
// A small RIFF file layer over POSIX file descriptors: open or create a
// file, start and close chunks (closing fixes up the size field and pads an
// odd chunk), read, write, find a chunk by its identifier, seek and flush.
// Every operation returns a status the caller tests. Nothing here allocates
// or throws; the records are plain data.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace sorvane {

// Four-character code, first character in the lowest byte, padded with blanks.
constexpr uint32_t FourCC(const char* s) {
  uint32_t v = 0;
  bool ended = false;
  for (int i = 0; i < 4; ++i) {
    char c = ended ? '\0' : s[i];
    if (c == '\0') ended = true;
    const uint8_t b = ended ? static_cast<uint8_t>(' ') : static_cast<uint8_t>(c);
    v |= static_cast<uint32_t>(b) << (8 * i);
  }
  return v;
}

// Little-endian integers of a file, assembled byte by byte so that the
// host's order does not matter.
constexpr uint16_t LoadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
constexpr uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

inline constexpr uint32_t kRiffId = FourCC("RIFF");
inline constexpr uint32_t kListId = FourCC("LIST");
// Identifier and size field in front of every chunk's data.
inline constexpr int64_t kChunkHeaderBytes = 8;
// A chunk's size field is 32 bits wide.
inline constexpr int64_t kMaxChunkSize = 0xFFFFFFFFll;

struct RiffFile {
  int Fd = -1;
};

struct RiffChunk {
  uint32_t Id = 0;
  uint32_t Size = 0;       // of the data, as read or as provisionally written
  uint32_t FormType = 0;   // "RIFF" and "LIST" chunks only
  int64_t DataOffset = 0;  // file offset of the chunk's data (a form type is part of it)
  bool Written = false;    // created by this writer: its size is fixed up on ascend
};

// A whole file written under a temporary name beside the file it is to
// replace, and renamed over it only once it is complete, so that a write
// that fails (a full disk, a file size limit) leaves the old file as it was.
struct RiffReplacement {
  char Target[PATH_MAX] = {};     // the file replaced, symbolic links followed
  char Temporary[PATH_MAX] = {};  // ".NAME.XXXXXX" in the target's folder
  bool Replaces = false;          // the target exists: its mode and owner are kept
  uint32_t Mode = 0;
  uint32_t Owner = 0;
  uint32_t Group = 0;
};

static_assert(std::is_trivially_copyable_v<RiffFile>);
static_assert(std::is_trivially_copyable_v<RiffChunk>);
static_assert(std::is_trivially_copyable_v<RiffReplacement>);

enum class RiffStatus : uint8_t {
  Ok,
  CannotOpen,     // missing, not a regular file (reading), or not creatable
  AlreadyExists,  // a new file was asked for and the name is taken
  NotOpen,        // the file record holds no open descriptor
  CannotRead,
  CannotWrite,
  CannotSeek,
  ChunkNotFound,  // no matching chunk before the end of the parent or the file
  ChunkTooLarge,  // a written chunk outgrew its 32-bit size field
  CannotClose,
};

// Opens an existing regular file for reading. Directories, devices and pipes
// are refused, so a search can never run on without end.
RiffStatus RiffOpenRead(RiffFile& file, const char* path);

// Creates a file for writing only, replacing an existing one. Only a
// regular file is opened (without waiting: a pipe or a device is refused
// with CannotOpen, never written to).
RiffStatus RiffCreate(RiffFile& file, const char* path);

// Starts writing a file that will take the place of path: path (a symbolic
// link is followed to the file it names, also a link to nothing yet) must be
// a regular file this process may write, or name nothing yet; its folder
// then gets a new hidden file ".NAME.XXXXXX", open for writing. CannotOpen
// otherwise (a folder, a pipe, a device, a read-only file, a folder in
// which nothing can be made); nothing ever waits on the path.
RiffStatus RiffCreateReplacement(RiffFile& file, RiffReplacement& replacement, const char* path);

// Finishes a replacement: the temporary file takes the replaced file's
// permission bits (and owner, where allowed), is flushed to the disk,
// closed and renamed to the target. On failure (CannotWrite, CannotClose)
// the temporary file is removed and the target is as it was. The file
// record is closed in every case.
RiffStatus RiffCommitReplacement(RiffFile& file, RiffReplacement& replacement);

// Gives a replacement up: closes and removes the temporary file.
void RiffAbandonReplacement(RiffFile& file, RiffReplacement& replacement);

// Creates a new file for writing only; never opens or replaces an existing
// one (AlreadyExists when the name is taken, also by a dangling link).
RiffStatus RiffCreateNew(RiffFile& file, const char* path);

// Closes the descriptor (if any) and leaves the record closed.
RiffStatus RiffClose(RiffFile& file);

// Hands written data to the operating system. Writes are not buffered in
// this layer, so this only checks that the file is open.
RiffStatus RiffFlush(RiffFile& file);

// Moves the file position (whence: SEEK_SET, SEEK_CUR or SEEK_END).
// Returns the new position, or -1 on failure.
int64_t RiffSeek(RiffFile& file, int64_t offset, int whence);

// Length of the file in bytes, or -1 on failure.
int64_t RiffFileSize(const RiffFile& file);

// Cuts the file to length bytes and moves the position there (the position
// moves even if the cut fails).
RiffStatus RiffTruncate(RiffFile& file, int64_t length);

// Read or write up to count bytes at the current position, retrying after
// interruptions and partial transfers. Return the number of bytes moved:
// fewer than count at the end of the file or after an error.
int64_t RiffRead(RiffFile& file, void* buffer, std::size_t count);
int64_t RiffWrite(RiffFile& file, const void* data, std::size_t count);

// Starts a chunk at the current position with chunk.Id and the provisional
// chunk.Size, and leaves the position at its data.
RiffStatus RiffCreateChunk(RiffFile& file, RiffChunk& chunk);

// As RiffCreateChunk for a "RIFF" chunk with form type chunk.FormType; the
// position is left after the form type.
RiffStatus RiffCreateRiffChunk(RiffFile& file, RiffChunk& chunk);

// Searches forward from the current position for a chunk with identifier id,
// skipping other chunks (and the pad byte after an odd-sized one, unless its
// writer left it out and the next chunk's identifier follows the data). With a
// parent, only chunks whose header lies inside the parent's data are
// considered. On success chunk describes the chunk found and the position is
// at its data (after the form type for "RIFF" and "LIST" chunks). On failure
// the position is where the search started.
RiffStatus RiffDescend(RiffFile& file, RiffChunk& chunk, const RiffChunk* parent, uint32_t id);

// As RiffDescend, for a "RIFF" chunk whose form type is formType.
RiffStatus RiffDescendRiff(RiffFile& file, RiffChunk& chunk, const RiffChunk* parent, uint32_t formType);

// Writes size into the size field of chunk (a chunk created by this writer)
// in place, without moving the file position or changing chunk.Size: it
// lets a file that is still growing describe its data so far. One positioned
// write of four bytes; nothing is allocated.
RiffStatus RiffWriteChunkSize(RiffFile& file, const RiffChunk& chunk, uint32_t size);

// Moves past the end of chunk. A chunk created by this writer ends at the
// current position: its size field is fixed up to the bytes written and an
// odd chunk gets a zero pad byte. A chunk found by a descent ends where its
// size field says, plus the pad byte (unless left out, as for a descent).
RiffStatus RiffAscend(RiffFile& file, RiffChunk& chunk);

}  // namespace sorvane
