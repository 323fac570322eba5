// SPDX-License-Identifier: GPL-3.0-or-later
// The renderer's input and output files and its error box.
#include "tools/render/RenderFiles.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Reporter.h"

namespace sorvane {
namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

std::string KindReason(const struct stat& info) {
  return S_ISDIR(info.st_mode) ? "is a folder, not a file" : "is not a regular file (a device, pipe or socket)";
}

// --- error box ---------------------------------------------------------

const std::string* boxFile = nullptr;

void PrintBox(void*, const char* caption, const char* text) {
  if (boxFile != nullptr) {
    std::fprintf(stderr, "sorvane-render: %s: %s: %s\n", boxFile->c_str(), caption, text);
  } else {
    std::fprintf(stderr, "%s: %s\n", caption, text);
  }
}

// --- temporary files removed on a signal ---------------------------------

// The signal handler reads these, so they are plain arrays written before
// their flag is raised.
constexpr int kPendingSlots = 4;
char pendingNames[kPendingSlots][PATH_MAX];
volatile sig_atomic_t pendingUsed[kPendingSlots];

int TakeSlot(const std::string& name) {
  if (name.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kPendingSlots; ++i) {
    if (pendingUsed[i] == 0) {
      std::memcpy(pendingNames[i], name.c_str(), name.size() + 1);
      pendingUsed[i] = 1;
      return i;
    }
  }
  return -1;
}

void ReleaseSlot(int slot) {
  if (slot >= 0) pendingUsed[slot] = 0;
}

void RemovePendingAndRaise(int signal) {
  for (int i = 0; i < kPendingSlots; ++i) {
    if (pendingUsed[i] != 0) ::unlink(pendingNames[i]);
  }
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

int OpenRegularFile(const std::string& fileName, std::string& reason) {
  // Non-blocking, so that naming a pipe cannot hang the open; it is refused
  // below like every file that is not a regular one.
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    reason = "cannot open the file: " + ErrnoText(errno);
    return -1;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    reason = KindReason(info);
    ::close(fd);
    return -1;
  }
  return fd;
}

bool ReadRegularFile(const std::string& fileName, std::vector<unsigned char>& bytes, std::string& reason,
                     uint64_t maxBytes, const std::string& tooLarge) {
  const int fd = OpenRegularFile(fileName, reason);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    reason = "cannot read the file: " + ErrnoText(errno);
    ::close(fd);
    return false;
  }
  const auto size = static_cast<uint64_t>(info.st_size);
  if (size > maxBytes) {
    reason = tooLarge;
    ::close(fd);
    return false;
  }
  // As long as it was when opened: a file that another program is still
  // writing cannot make the read go on without end.
  bytes.resize(static_cast<size_t>(size));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      reason = "cannot read the file: " + ErrnoText(errno);
      ::close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  ::close(fd);
  return true;
}

void InstallRenderErrorBox() { SetErrorBoxHandler(&PrintBox, nullptr); }

FileBoxScope::FileBoxScope(const std::string& fileName) : Previous(boxFile) { boxFile = &fileName; }
FileBoxScope::~FileBoxScope() { boxFile = Previous; }

void RemovePendingOutputsOnSignal() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal the caller chose to ignore (nohup, a background job) stays
    // ignored.
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = &RemovePendingAndRaise;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(signal, &action, nullptr);
  }
}

PendingOutput::~PendingOutput() {
  if (FileFd >= 0) ::close(FileFd);
  if (!TempPath.empty()) {
    ReleaseSlot(SignalSlot);
    ::unlink(TempPath.c_str());
  }
}

bool PendingOutput::Create(const std::string& fileName, std::string& reason, bool& openFailed) {
  openFailed = false;
  FinalPath = fileName;
  // A link to an existing file is written through: the file it names is
  // replaced, not the link.
  struct stat info {};
  if (::lstat(fileName.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    if (char* resolved = ::realpath(fileName.c_str(), nullptr)) {
      FinalPath = resolved;
      std::free(resolved);
    }
  }
  // A new file gets the usual permissions; a replaced one keeps its own.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  FileMode = 0666 & ~mask;
  if (::stat(FinalPath.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) {
      reason = KindReason(info);
      return false;
    }
    FileMode = info.st_mode & 07777;
  }
  std::string pattern = FolderOf(FinalPath) + "/.sorvane-render-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    reason = "cannot create a file in its folder: " + ErrnoText(errno);
    openFailed = true;
    return false;
  }
  FileFd = fd;
  TempPath = pattern;
  SignalSlot = TakeSlot(TempPath);
  return true;
}

bool PendingOutput::Sync(std::string& reason) {
  // The data reaches the disk before the name does, so that a crash cannot
  // leave the final name on an empty file.
  if (FileFd < 0 || ::fchmod(FileFd, FileMode) != 0 || ::fsync(FileFd) != 0) {
    reason = "cannot write the file: " + ErrnoText(FileFd < 0 ? EBADF : errno);
    return false;
  }
  return true;
}

bool PendingOutput::TargetFits(std::string& reason) const {
  struct stat info {};
  if (::stat(FinalPath.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    reason = KindReason(info);
    return false;
  }
  return true;
}

bool PendingOutput::Rename(std::string& reason) {
  if (::rename(TempPath.c_str(), FinalPath.c_str()) != 0) {
    reason = "cannot put the file in place: " + ErrnoText(errno);
    return false;
  }
  ReleaseSlot(SignalSlot);
  TempPath.clear();
  if (FileFd >= 0) ::close(FileFd);
  FileFd = -1;
  const int folder = ::open(FolderOf(FinalPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}

}  // namespace sorvane
