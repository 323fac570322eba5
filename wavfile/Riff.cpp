// SPDX-License-Identifier: GPL-3.0-or-later
// RIFF chunk handling over POSIX descriptors (opening and replacing files is
// in RiffFiles.cpp). Integers in the file are
// little-endian; they are assembled byte by byte so the host's order does not
// matter. All offsets are computed in 64 bits, so no size field, however
// large, can wrap a position.
#include "wavfile/Riff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace sorvane {
namespace {

void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Moves count bytes from or to p with transfer(at, bytes, done), which
// does what read or write would for the bytes at p + done, until all are
// moved: short and interrupted calls are repeated. Returns the number moved
// (short at the end of the file or on an error).
template <typename Byte, typename Transfer>
int64_t TransferAll(Byte* p, std::size_t count, Transfer transfer) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = transfer(p + done, count - done, done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<int64_t>(done);
}

// Reads or writes count bytes at offset without moving the file position.
int64_t ReadAt(int fd, void* buffer, std::size_t count, int64_t offset) {
  return TransferAll(static_cast<uint8_t*>(buffer), count, [&](uint8_t* at, std::size_t bytes, std::size_t done) {
    return ::pread(fd, at, bytes, static_cast<off_t>(offset) + done);
  });
}

int64_t WriteAt(int fd, const void* data, std::size_t count, int64_t offset) {
  return TransferAll(static_cast<const uint8_t*>(data), count,
                     [&](const uint8_t* at, std::size_t bytes, std::size_t done) {
                       return ::pwrite(fd, at, bytes, static_cast<off_t>(offset) + done);
                     });
}

int64_t CurrentPosition(int fd) { return static_cast<int64_t>(::lseek(fd, 0, SEEK_CUR)); }

RiffStatus StartChunk(RiffFile& file, RiffChunk& chunk, bool withForm) {
  if (file.Fd < 0) return RiffStatus::NotOpen;
  const int64_t position = CurrentPosition(file.Fd);
  if (position < 0) return RiffStatus::CannotSeek;
  uint8_t header[12];
  PutLe32(header, chunk.Id);
  PutLe32(header + 4, chunk.Size);
  PutLe32(header + 8, chunk.FormType);
  const std::size_t headerBytes = withForm ? 12 : 8;
  if (RiffWrite(file, header, headerBytes) != static_cast<int64_t>(headerBytes)) {
    return RiffStatus::CannotWrite;
  }
  chunk.DataOffset = position + kChunkHeaderBytes;
  chunk.Written = true;
  return RiffStatus::Ok;
}

// Whether four characters that can name a chunk (printable ASCII) stand at
// offset.
bool IdAt(int fd, int64_t offset) {
  uint8_t id[4];
  if (ReadAt(fd, id, sizeof id, offset) != 4) return false;
  for (const uint8_t c : id) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// Where the chunk after one with this data offset and size starts. An
// odd-sized chunk is followed by a pad byte that its size leaves out; some
// writers leave the pad byte out, and the next chunk then starts right after
// the data, which is taken when only there a chunk identifier stands.
int64_t NextChunkAt(int fd, int64_t dataOffset, uint32_t size) {
  const int64_t padded = dataOffset + static_cast<int64_t>(size) + static_cast<int64_t>(size & 1u);
  if ((size & 1u) != 0 && !IdAt(fd, padded) && IdAt(fd, padded - 1)) return padded - 1;
  return padded;
}

// Walks the chunks from the current position. A chunk matches when its
// identifier is id and, if matchForm, it carries form type formType.
RiffStatus Search(RiffFile& file, RiffChunk& chunk, const RiffChunk* parent, uint32_t id, bool matchForm,
                  uint32_t formType) {
  if (file.Fd < 0) return RiffStatus::NotOpen;
  const int64_t start = CurrentPosition(file.Fd);
  if (start < 0) return RiffStatus::CannotSeek;
  const int64_t end = parent != nullptr ? parent->DataOffset + static_cast<int64_t>(parent->Size) : INT64_MAX;
  // Every step moves on by at least a header, and reads stop at the end of
  // the (regular) file, so the walk always ends.
  int64_t position = start;
  while (position <= end - kChunkHeaderBytes) {
    uint8_t header[8];
    if (ReadAt(file.Fd, header, sizeof header, position) != 8) break;
    const uint32_t foundId = LoadLe32(header);
    const uint32_t size = LoadLe32(header + 4);
    const int64_t dataOffset = position + kChunkHeaderBytes;

    const bool hasFormField = (foundId == kRiffId || foundId == kListId) && size >= 4;
    uint32_t form = 0;
    bool formRead = false;
    if (hasFormField) {
      uint8_t field[4];
      formRead = ReadAt(file.Fd, field, sizeof field, dataOffset) == 4;
      if (formRead) form = LoadLe32(field);
    }
    if (foundId == id && (!matchForm || (formRead && form == formType))) {
      const int64_t dataStart = dataOffset + (formRead ? 4 : 0);
      if (::lseek(file.Fd, static_cast<off_t>(dataStart), SEEK_SET) < 0) break;
      chunk.Id = foundId;
      chunk.Size = size;
      chunk.FormType = form;
      chunk.DataOffset = dataOffset;
      chunk.Written = false;
      return RiffStatus::Ok;
    }
    position = NextChunkAt(file.Fd, dataOffset, size);
  }
  ::lseek(file.Fd, static_cast<off_t>(start), SEEK_SET);
  return RiffStatus::ChunkNotFound;
}

}  // namespace

RiffStatus RiffClose(RiffFile& file) {
  if (file.Fd < 0) return RiffStatus::NotOpen;
  // Linux releases the descriptor even when close reports an error, so it is
  // never retried.
  const int rc = ::close(file.Fd);
  file.Fd = -1;
  return rc == 0 ? RiffStatus::Ok : RiffStatus::CannotClose;
}

RiffStatus RiffFlush(RiffFile& file) { return file.Fd >= 0 ? RiffStatus::Ok : RiffStatus::NotOpen; }

int64_t RiffSeek(RiffFile& file, int64_t offset, int whence) {
  if (file.Fd < 0) return -1;
  return static_cast<int64_t>(::lseek(file.Fd, static_cast<off_t>(offset), whence));
}

int64_t RiffFileSize(const RiffFile& file) {
  if (file.Fd < 0) return -1;
  struct stat info {};
  if (::fstat(file.Fd, &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

RiffStatus RiffTruncate(RiffFile& file, int64_t length) {
  if (file.Fd < 0) return RiffStatus::NotOpen;
  // The position moves even when the cut fails, so that whatever is written
  // or fixed up next starts at length.
  const bool cut = ::ftruncate(file.Fd, static_cast<off_t>(length)) == 0;
  const bool moved = ::lseek(file.Fd, static_cast<off_t>(length), SEEK_SET) >= 0;
  if (!cut) return RiffStatus::CannotWrite;
  return moved ? RiffStatus::Ok : RiffStatus::CannotSeek;
}

int64_t RiffRead(RiffFile& file, void* buffer, std::size_t count) {
  if (file.Fd < 0) return 0;
  return TransferAll(static_cast<uint8_t*>(buffer), count,
                     [&](uint8_t* at, std::size_t bytes, std::size_t) { return ::read(file.Fd, at, bytes); });
}

int64_t RiffWrite(RiffFile& file, const void* data, std::size_t count) {
  if (file.Fd < 0) return 0;
  return TransferAll(static_cast<const uint8_t*>(data), count,
                     [&](const uint8_t* at, std::size_t bytes, std::size_t) { return ::write(file.Fd, at, bytes); });
}

RiffStatus RiffCreateChunk(RiffFile& file, RiffChunk& chunk) {
  chunk.FormType = 0;
  return StartChunk(file, chunk, false);
}

RiffStatus RiffCreateRiffChunk(RiffFile& file, RiffChunk& chunk) {
  chunk.Id = kRiffId;
  return StartChunk(file, chunk, true);
}

RiffStatus RiffDescend(RiffFile& file, RiffChunk& chunk, const RiffChunk* parent, uint32_t id) {
  return Search(file, chunk, parent, id, false, 0);
}

RiffStatus RiffDescendRiff(RiffFile& file, RiffChunk& chunk, const RiffChunk* parent, uint32_t formType) {
  return Search(file, chunk, parent, kRiffId, true, formType);
}

RiffStatus RiffWriteChunkSize(RiffFile& file, const RiffChunk& chunk, uint32_t size) {
  if (file.Fd < 0) return RiffStatus::NotOpen;
  assert(chunk.Written && "only a chunk this writer started has its size written");
  uint8_t field[4];
  PutLe32(field, size);
  return WriteAt(file.Fd, field, sizeof field, chunk.DataOffset - 4) == 4 ? RiffStatus::Ok : RiffStatus::CannotWrite;
}

RiffStatus RiffAscend(RiffFile& file, RiffChunk& chunk) {
  if (file.Fd < 0) return RiffStatus::NotOpen;
  if (!chunk.Written) {
    const int64_t end = NextChunkAt(file.Fd, chunk.DataOffset, chunk.Size);
    return ::lseek(file.Fd, static_cast<off_t>(end), SEEK_SET) < 0 ? RiffStatus::CannotSeek : RiffStatus::Ok;
  }
  const int64_t end = CurrentPosition(file.Fd);
  if (end < 0) return RiffStatus::CannotSeek;
  const int64_t size = end - chunk.DataOffset;
  if (size < 0) return RiffStatus::CannotSeek;
  if (size > kMaxChunkSize) return RiffStatus::ChunkTooLarge;
  uint8_t field[4];
  PutLe32(field, static_cast<uint32_t>(size));
  if (WriteAt(file.Fd, field, sizeof field, chunk.DataOffset - 4) != 4) {
    return RiffStatus::CannotWrite;
  }
  chunk.Size = static_cast<uint32_t>(size);
  if ((size & 1) != 0) {
    const uint8_t pad = 0;
    if (RiffWrite(file, &pad, 1) != 1) return RiffStatus::CannotWrite;
  }
  return RiffStatus::Ok;
}

}  // namespace sorvane
