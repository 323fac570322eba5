// SPDX-License-Identifier: GPL-3.0-or-later
// The files under the RIFF writer and reader: opened for reading, created,
// or written as a replacement under a temporary name beside the target and
// renamed over it once complete, so that a failed write never harms an
// existing file.
#include "wavfile/Riff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace sorvane {
namespace {

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
  timespec now{};
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
    const int length =
        std::snprintf(temporary, PATH_MAX, "%.*s.%.*s%.*s", folder, target, nameBytes, name, kSuffix, suffix);
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

}  // namespace sorvane
