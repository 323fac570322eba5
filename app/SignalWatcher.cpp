// SPDX-License-Identifier: GPL-3.0-or-later
// Termination signals routed through a pipe to the event thread, and the
// file size signal ignored.
#include "app/SignalWatcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <iterator>

#include <QSocketNotifier>

namespace sorvane {
namespace {

constexpr int kWatchedSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The pipe's write end for the handler; -1 while no watcher lives. A
// lock-free atomic is safe to read in a signal handler.
std::atomic<int> WatcherWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// Async-signal-safe: one write() of one byte, errno left as it was. A full
// pipe (thousands of signals not yet handled) drops the byte, which loses
// nothing: a close request is already pending.
extern "C" void OnTerminationSignal(int signal) {
  const int savedErrno = errno;
  const int fd = WatcherWriteFd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(fd, &number, 1);
  }
  errno = savedErrno;
}

}  // namespace

void IgnoreFileSizeSignal() { ::signal(SIGXFSZ, SIG_IGN); }

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent) {
  static_assert(std::size(kWatchedSignals) == kSignalCount);
  assert(WatcherWriteFd.load() < 0 && "only one signal watcher at a time");
  int fds[2];
  // Non-blocking both ways: the handler must never wait, and the event
  // thread reads until the pipe is empty.
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  ReadFd = fds[0];
  WriteFd = fds[1];
  WatcherWriteFd.store(WriteFd);
  Notifier = new QSocketNotifier(ReadFd, QSocketNotifier::Read, this);
  connect(Notifier, &QSocketNotifier::activated, this, &SignalWatcher::PipeReadable);

  struct sigaction action {};
  action.sa_handler = &OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls resume, so no code of ours sees EINTR for it.
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < kSignalCount; ++i) {
    // A signal ignored from the start stays ignored: nohup ignores SIGHUP,
    // and a shell ignores SIGINT for what it starts in the background.
    if (::sigaction(kWatchedSignals[i], nullptr, &Previous[i]) != 0 || Previous[i].sa_handler == SIG_IGN) {
      continue;
    }
    ::sigaction(kWatchedSignals[i], &action, nullptr);
  }
}

SignalWatcher::~SignalWatcher() {
  if (ReadFd < 0) return;
  for (int i = 0; i < kSignalCount; ++i) ::sigaction(kWatchedSignals[i], &Previous[i], nullptr);
  WatcherWriteFd.store(-1);
  delete Notifier;
  ::close(ReadFd);
  ::close(WriteFd);
}

void SignalWatcher::PipeReadable() {
  if (ReadFd < 0) return;
  unsigned char numbers[64];
  for (;;) {
    const ssize_t n = ::read(ReadFd, numbers, sizeof numbers);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) emit TerminationRequested(numbers[i]);
  }
}

}  // namespace sorvane
