// SPDX-License-Identifier: GPL-3.0-or-later
// RIFF chunk handling over POSIX descriptors. Integers in the file are
// little-endian; they are assembled byte by byte so the host's order does not
// matter. All offsets are computed in 64 bits, so no size field, however
// large, can wrap a position.
#include "wavfile/Riff.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

int64_t CurrentPosition(int fd) {
  return static_cast<int64_t>(::lseek(fd, 0, SEEK_CUR));
}

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
RiffStatus Search(RiffFile& file, RiffChunk& chunk, const RiffChunk* parent, uint32_t id,
                  bool matchForm, uint32_t formType) {
  if (file.Fd < 0) return RiffStatus::NotOpen;
  const int64_t start = CurrentPosition(file.Fd);
  if (start < 0) return RiffStatus::CannotSeek;
  const int64_t end = parent != nullptr ? parent->DataOffset + static_cast<int64_t>(parent->Size)
                                        : INT64_MAX;
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

// Follows symbolic links from path to the name of what they lead to (which
// need not exist yet), into target. False when a link cannot be read, the
// chain is too long or loops, or a name does not fit.
bool ResolveLinks(const char* path, char (&target)[PATH_MAX]) {
  if (std::strlen(path) >= PATH_MAX) return false;
  std::strcpy(target, path);
  constexpr int kMaxLinks = 40;  // as the kernel allows when it resolves a path
  for (int hop = 0; hop <= kMaxLinks; ++hop) {
    struct stat info {};
    if (::lstat(target, &info) != 0) return errno == ENOENT;
    if (!S_ISLNK(info.st_mode)) return true;
    char link[PATH_MAX];
    const ssize_t n = ::readlink(target, link, sizeof link - 1);
    if (n < 0) return false;
    link[n] = '\0';
    if (link[0] == '/') {
      std::strcpy(target, link);
      continue;
    }
    // A relative link is read from the folder the link lies in.
    char* slash = std::strrchr(target, '/');
    const std::size_t folder = slash == nullptr ? 0 : static_cast<std::size_t>(slash - target) + 1;
    if (folder + static_cast<std::size_t>(n) >= PATH_MAX) return false;
    std::memcpy(target + folder, link, static_cast<std::size_t>(n) + 1);
  }
  return false;
}

// Creates a new hidden file ".NAME.XXXXXX" beside target (NAME cut to keep
// the name within the file system's limit), for writing only, and puts its
// path in temporary. O_EXCL: an existing file is never opened. The usual
// permissions of a new file (0666 less the umask) apply. Returns the
// descriptor, or -1.
int CreateTemporaryBeside(const char* target, char (&temporary)[PATH_MAX]) {
  const char* slash = std::strrchr(target, '/');
  const int folder = slash == nullptr ? 0 : static_cast<int>(slash - target) + 1;
  const char* name = target + folder;
  constexpr int kSuffix = 7;  // ".XXXXXX"
  const int nameBytes = static_cast<int>(std::min<std::size_t>(std::strlen(name), NAME_MAX - 1 - kSuffix));
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  uint64_t seed = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 20) ^
                  (static_cast<uint64_t>(::getpid()) << 40);
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[kSuffix];
    suffix[0] = '.';
    for (int i = 1; i < kSuffix; ++i) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      suffix[i] = kLetters[(seed >> 33) % (sizeof kLetters - 1)];
    }
    const int length = std::snprintf(temporary, PATH_MAX, "%.*s.%.*s%.*s", folder, target, nameBytes,
                                     name, kSuffix, suffix);
    if (length < 0 || length >= PATH_MAX) break;
    const int fd = ::open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  temporary[0] = '\0';
  return -1;
}

// Asks for the folder entry of a renamed file to reach the disk too; a
// folder that cannot be synced costs only that safety.
void SyncFolderOf(const char* path) {
  const char* slash = std::strrchr(path, '/');
  char folder[PATH_MAX];
  if (slash == nullptr) {
    std::strcpy(folder, ".");
  } else if (slash == path) {
    std::strcpy(folder, "/");
  } else {
    std::snprintf(folder, sizeof folder, "%.*s", static_cast<int>(slash - path), path);
  }
  const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

RiffStatus RiffOpenRead(RiffFile& file, const char* path) {
  assert(file.Fd < 0 && "the record already holds an open file");
  // Non-blocking so that naming a pipe cannot hang the open; the mode has no
  // effect on the regular files that are accepted.
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return RiffStatus::CannotOpen;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return RiffStatus::CannotOpen;
  }
  file.Fd = fd;
  return RiffStatus::Ok;
}

RiffStatus RiffCreate(RiffFile& file, const char* path) {
  assert(file.Fd < 0 && "the record already holds an open file");
  // There is no exclusive-access open on Linux: another process may still
  // open the file while it is written. Non-blocking and without O_TRUNC, so
  // that a pipe or a device is neither waited on nor touched: only a regular
  // file is cut to nothing and kept.
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return RiffStatus::CannotOpen;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return RiffStatus::CannotOpen;
  }
  file.Fd = fd;
  return RiffStatus::Ok;
}

RiffStatus RiffCreateReplacement(RiffFile& file, RiffReplacement& replacement, const char* path) {
  assert(file.Fd < 0 && "the record already holds an open file");
  replacement = {};
  if (!ResolveLinks(path, replacement.Target)) return RiffStatus::CannotOpen;
  // An empty name (or one ending in a separator) names no file to make.
  const char* slash = std::strrchr(replacement.Target, '/');
  if ((slash == nullptr ? replacement.Target : slash + 1)[0] == '\0') return RiffStatus::CannotOpen;
  struct stat info {};
  if (::stat(replacement.Target, &info) == 0) {
    // A file this process may not write is not replaced either, although
    // its folder would allow the rename.
    if (!S_ISREG(info.st_mode) || ::access(replacement.Target, W_OK) != 0) {
      return RiffStatus::CannotOpen;
    }
    replacement.Replaces = true;
    replacement.Mode = info.st_mode & 07777;
    replacement.Owner = info.st_uid;
    replacement.Group = info.st_gid;
  } else if (errno != ENOENT) {
    return RiffStatus::CannotOpen;
  }
  const int fd = CreateTemporaryBeside(replacement.Target, replacement.Temporary);
  if (fd < 0) return RiffStatus::CannotOpen;
  file.Fd = fd;
  return RiffStatus::Ok;
}

RiffStatus RiffCommitReplacement(RiffFile& file, RiffReplacement& replacement) {
  if (file.Fd < 0) return RiffStatus::NotOpen;
  bool written = true;
  if (replacement.Replaces) {
    // The owner is kept where the system allows it (the superuser, or a
    // group of one's own); otherwise the writer owns the new file, as with
    // any file one saves over. The mode comes after, as a change of owner
    // clears the set-ID bits.
    const bool ownerKept = ::fchown(file.Fd, replacement.Owner, replacement.Group) == 0;
    static_cast<void>(ownerKept);
    written = ::fchmod(file.Fd, replacement.Mode) == 0;
  }
  // The data reaches the disk before the name does, so that a crash cannot
  // leave the name on a file that is empty or cut short.
  written = written && ::fsync(file.Fd) == 0;
  const bool closed = RiffClose(file) == RiffStatus::Ok;
  if (!written || !closed || ::rename(replacement.Temporary, replacement.Target) != 0) {
    ::unlink(replacement.Temporary);
    return written ? RiffStatus::CannotClose : RiffStatus::CannotWrite;
  }
  SyncFolderOf(replacement.Target);
  return RiffStatus::Ok;
}

void RiffAbandonReplacement(RiffFile& file, RiffReplacement& replacement) {
  RiffClose(file);
  if (replacement.Temporary[0] != '\0') ::unlink(replacement.Temporary);
}

RiffStatus RiffCreateNew(RiffFile& file, const char* path) {
  assert(file.Fd < 0 && "the record already holds an open file");
  // O_EXCL makes the check and the creation one step, so a file that
  // appears meanwhile is never overwritten.
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return errno == EEXIST ? RiffStatus::AlreadyExists : RiffStatus::CannotOpen;
  file.Fd = fd;
  return RiffStatus::Ok;
}

RiffStatus RiffClose(RiffFile& file) {
  if (file.Fd < 0) return RiffStatus::NotOpen;
  // Linux releases the descriptor even when close reports an error, so it is
  // never retried.
  const int rc = ::close(file.Fd);
  file.Fd = -1;
  return rc == 0 ? RiffStatus::Ok : RiffStatus::CannotClose;
}

RiffStatus RiffFlush(RiffFile& file) {
  return file.Fd >= 0 ? RiffStatus::Ok : RiffStatus::NotOpen;
}

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

RiffStatus RiffDescendRiff(RiffFile& file, RiffChunk& chunk, const RiffChunk* parent,
                           uint32_t formType) {
  return Search(file, chunk, parent, kRiffId, true, formType);
}

RiffStatus RiffWriteChunkSize(RiffFile& file, const RiffChunk& chunk, uint32_t size) {
  if (file.Fd < 0) return RiffStatus::NotOpen;
  assert(chunk.Written && "only a chunk this writer started has its size written");
  uint8_t field[4];
  PutLe32(field, size);
  return WriteAt(file.Fd, field, sizeof field, chunk.DataOffset - 4) == 4 ? RiffStatus::Ok
                                                                          : RiffStatus::CannotWrite;
}

RiffStatus RiffAscend(RiffFile& file, RiffChunk& chunk) {
  if (file.Fd < 0) return RiffStatus::NotOpen;
  if (!chunk.Written) {
    const int64_t end = NextChunkAt(file.Fd, chunk.DataOffset, chunk.Size);
    return ::lseek(file.Fd, static_cast<off_t>(end), SEEK_SET) < 0 ? RiffStatus::CannotSeek
                                                                    : RiffStatus::Ok;
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
