// SPDX-License-Identifier: GPL-3.0-or-later
// The end of the program by a signal: SIGTERM (a plain kill, the session's
// logout), SIGINT (Ctrl+C in a terminal) and SIGHUP (the terminal gone) end
// the program as the close request does, so that a running take is completed
// before the process ends. The handler only writes the signal's number to a
// pipe; the event thread watches the pipe, as it watches the audio events,
// and reports the signal there. SIGXFSZ (a file size limit) is ignored, so
// that a take that outgrows the limit fails its write and ends with a
// message, as on a full disk, instead of killing the program.
#pragma once

#include <signal.h>
#include <QObject>

class QSocketNotifier;

namespace sorvane {

// Ignores SIGXFSZ for the whole process; a write past the limit then fails
// with EFBIG. Call once at start-up.
void IgnoreFileSizeSignal();

// Catches SIGTERM, SIGINT and SIGHUP while it lives (those not ignored when
// it starts) and restores the handlers that were there before when it goes.
// One at a time per process.
class SignalWatcher : public QObject {
  Q_OBJECT

 public:
  explicit SignalWatcher(QObject* parent = nullptr);
  ~SignalWatcher() override;
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  // False when the pipe could not be made; the signals then keep their
  // default effect.
  bool IsActive() const { return Notifier != nullptr; }

  // Reports now the signals caught and not yet reported, without waiting
  // for the event loop to notice them.
  void ReadPending() { PipeReadable(); }

  // A descriptor that is readable while a signal waits to be reported
  // (-1 when inactive): for a wait that must end when the program is asked
  // to end, such as one for a sound server at start-up. Only polled, never
  // read, by others.
  int PendingFd() const { return ReadFd; }

 signals:
  // On the event thread, once per signal caught.
  void TerminationRequested(int signal);

 private:
  void PipeReadable();

  static constexpr int kSignalCount = 3;
  int ReadFd = -1;
  int WriteFd = -1;
  QSocketNotifier* Notifier = nullptr;
  struct sigaction Previous[kSignalCount] {};
};

}  // namespace sorvane
