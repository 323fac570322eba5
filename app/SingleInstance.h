// SPDX-License-Identifier: GPL-3.0-or-later
// Only one instance per user: the first start holds an exclusive lock on a
// file in the user's runtime directory and listens on a local socket there;
// a second start finds the lock taken, tells the first through the socket
// to bring its window forward, and ends. The lock is the kernel's, so it
// goes with the process, also when the process crashes.
//
// Once the first has begun to close it stops listening and never shows its
// window again; a second start then waits for it to end and takes its place.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QWidget;

namespace sorvane {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // directory: where the lock file and the socket live (per user).
  explicit SingleInstance(const QString& directory, QObject* parent = nullptr);
  ~SingleInstance() override;

  // The user's runtime directory.
  static QString DefaultDirectory();

  // True when this is the only instance, also after waiting for one that
  // was closing to end. Otherwise the running instance has been asked to
  // come forward and the caller ends without a word, or GaveUp() tells
  // that the one holding the lock neither answered nor ended in time (a
  // line on stderr says so).
  bool Acquire();
  bool GaveUp() const { return GaveUpWaiting; }

  // The window brought forward when another start asks for it.
  void SetWindow(QWidget* window) { Window = window; }

  // The program is closing: no window is brought forward from now on, and
  // a second start waits for this one to end instead.
  void SetClosing();

 signals:
  void RaiseRequested();

 private:
  enum class Answer { Raised, NoWindow };
  void OnNewConnection();
  Answer AskRunningInstance();
  void Listen();

  QString LockPath;
  QString SocketPath;
  int LockFd = -1;
  QLocalServer* Server = nullptr;
  QWidget* Window = nullptr;
  bool Closing = false;
  bool GaveUpWaiting = false;
};

}  // namespace sorvane
