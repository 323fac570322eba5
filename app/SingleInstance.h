// SPDX-License-Identifier: GPL-3.0-or-later
// Only one instance per user: the first start holds an exclusive lock on a
// file in the user's runtime directory and listens on a local socket there;
// a second start finds the lock taken, tells the first through the socket
// to bring its window forward, and ends. The lock is the kernel's, so it
// goes with the process, also when the process crashes.
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

  // True when this is the only instance. Otherwise the running instance
  // has been asked to come forward, and the caller ends without a word.
  bool Acquire();

  // The window brought forward when another start asks for it.
  void SetWindow(QWidget* window) { Window = window; }

 signals:
  void RaiseRequested();

 private:
  void OnNewConnection();
  bool NotifyRunningInstance();

  QString LockPath;
  QString SocketPath;
  int LockFd = -1;
  QLocalServer* Server = nullptr;
  QWidget* Window = nullptr;
};

}  // namespace sorvane
