// SPDX-License-Identifier: GPL-3.0-or-later
// Per-user single instance by a kernel file lock and a local socket.
#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHashFunctions>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QWidget>

namespace sorvane {

namespace {

constexpr int kConnectTimeoutMs = 500;
// A local socket's address holds at most 107 bytes of path.
constexpr int kMaxSocketPathBytes = 100;
// A first instance may hold the lock for a moment before it listens.
constexpr int kNotifyPatienceMs = 3000;

}  // namespace

SingleInstance::SingleInstance(const QString& directory, QObject* parent)
    : QObject(parent),
      LockPath(QDir(directory).filePath(QStringLiteral("sorvane.lock"))),
      SocketPath(QDir(directory).filePath(QStringLiteral("sorvane.socket"))) {
  if (QFile::encodeName(SocketPath).size() > kMaxSocketPathBytes) {
    // Too deep for a socket address: a short per-user name in the temporary
    // folder, tied to the lock's folder so separate folders stay separate.
    const QByteArray key = QFile::encodeName(QDir(directory).absolutePath());
    SocketPath = QDir(QDir::tempPath())
                     .filePath(QStringLiteral("sorvane-%1-%2.socket")
                                   .arg(::getuid())
                                   .arg(qHash(key), 8, 16, QLatin1Char('0')));
  }
}

SingleInstance::~SingleInstance() {
  if (Server) {
    Server->close();
    QFile::remove(SocketPath);
  }
  if (LockFd >= 0) ::close(LockFd);  // also releases the lock
}

QString SingleInstance::DefaultDirectory() {
  QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (dir.isEmpty()) dir = QDir::tempPath();
  QDir().mkpath(dir);
  return dir;
}

bool SingleInstance::Acquire() {
  const QByteArray lockName = QFile::encodeName(LockPath);
  LockFd = ::open(lockName.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (LockFd < 0) return true;  // no place for a lock: run rather than refuse
  if (::flock(LockFd, LOCK_EX | LOCK_NB) != 0) {
    ::close(LockFd);
    LockFd = -1;
    NotifyRunningInstance();
    return false;
  }
  // A socket left by a crashed instance is stale: the lock is ours now.
  QLocalServer::removeServer(SocketPath);
  Server = new QLocalServer(this);
  Server->setSocketOptions(QLocalServer::UserAccessOption);
  connect(Server, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
  Server->listen(SocketPath);
  return true;
}

bool SingleInstance::NotifyRunningInstance() {
  QDeadlineTimer deadline(kNotifyPatienceMs);
  while (!deadline.hasExpired()) {
    QLocalSocket socket;
    socket.connectToServer(SocketPath);
    if (socket.waitForConnected(kConnectTimeoutMs)) {
      socket.write("raise\n");
      socket.waitForBytesWritten(kConnectTimeoutMs);
      socket.disconnectFromServer();
      return true;
    }
    QThread::msleep(50);
  }
  return false;
}

void SingleInstance::OnNewConnection() {
  while (QLocalSocket* socket = Server->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromServer();
  }
  if (Window) {
    if (Window->isMinimized()) Window->showNormal();
    Window->show();
    Window->raise();
    Window->activateWindow();
  }
  emit RaiseRequested();
}

}  // namespace sorvane
