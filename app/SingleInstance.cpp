// SPDX-License-Identifier: GPL-3.0-or-later
// Per-user single instance by a kernel file lock and a local socket.
#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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
// A first instance that has taken the request but not answered within this
// is busy, not closing: it brings its window forward when it gets to it.
constexpr int kReplyTimeoutMs = 1000;
// How long a second start waits for a first that holds the lock but does
// not listen: one that is starting (a moment) or closing (its sound drains
// and its take is completed, normally well under a second).
constexpr int kTakeOverPatienceMs = 10000;
constexpr int kRetryMs = 50;
// A local socket's address holds at most 107 bytes of path.
constexpr int kMaxSocketPathBytes = 100;

constexpr char kRaiseRequest[] = "raise\n";
constexpr char kRaisedAnswer[] = "raised\n";

}  // namespace

SingleInstance::SingleInstance(const QString& directory, QObject* parent)
    : QObject(parent),
      LockPath(QDir(directory).filePath(QStringLiteral("sorvane.lock"))),
      SocketPath(QDir(directory).filePath(QStringLiteral("sorvane.socket"))) {
  if (QFile::encodeName(SocketPath).size() > kMaxSocketPathBytes) {
    // Too deep for a socket address: a short per-user name in the temporary
    // folder, tied to the lock's folder so separate folders stay separate.
    const QByteArray key = QFile::encodeName(QDir(directory).absolutePath());
    SocketPath =
        QDir(QDir::tempPath())
            .filePath(QStringLiteral("sorvane-%1-%2.socket").arg(::getuid()).arg(qHash(key), 8, 16, QLatin1Char('0')));
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
  QDeadlineTimer deadline(kTakeOverPatienceMs);
  for (;;) {
    if (::flock(LockFd, LOCK_EX | LOCK_NB) == 0) {
      Listen();
      return true;
    }
    if (errno != EWOULDBLOCK) {  // a folder without locks: run rather than refuse
      ::close(LockFd);
      LockFd = -1;
      return true;
    }
    if (AskRunningInstance() == Answer::Raised) break;
    if (deadline.hasExpired()) {
      GaveUpWaiting = true;
      std::fprintf(stderr, "sorvane: another instance holds %s but neither answers nor ends; not started\n",
                   lockName.constData());
      break;
    }
    QThread::msleep(kRetryMs);
  }
  ::close(LockFd);
  LockFd = -1;
  return false;
}

void SingleInstance::Listen() {
  // A socket left by a crashed instance is stale: the lock is ours now.
  QLocalServer::removeServer(SocketPath);
  Server = new QLocalServer(this);
  Server->setSocketOptions(QLocalServer::UserAccessOption);
  connect(Server, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
  Server->listen(SocketPath);
}

void SingleInstance::SetClosing() {
  Closing = true;
  Window = nullptr;
  if (Server) {
    // Requests not yet taken are refused, and new ones find no socket.
    Server->close();
    QFile::remove(SocketPath);
  }
}

SingleInstance::Answer SingleInstance::AskRunningInstance() {
  QLocalSocket socket;
  socket.connectToServer(SocketPath);
  if (!socket.waitForConnected(kConnectTimeoutMs)) return Answer::NoWindow;
  socket.write(kRaiseRequest);
  socket.waitForBytesWritten(kConnectTimeoutMs);
  QDeadlineTimer reply(kReplyTimeoutMs);
  for (;;) {
    if (socket.canReadLine()) return socket.readLine() == kRaisedAnswer ? Answer::Raised : Answer::NoWindow;
    if (socket.waitForReadyRead(static_cast<int>(reply.remainingTime()))) continue;
    if (socket.canReadLine()) continue;
    // Hung up without an answer: it is closing.
    return socket.error() == QLocalSocket::SocketTimeoutError ? Answer::Raised : Answer::NoWindow;
  }
}

void SingleInstance::OnNewConnection() {
  while (QLocalSocket* socket = Server->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    if (!Closing) socket->write(kRaisedAnswer);
    socket->disconnectFromServer();
  }
  if (Closing) return;
  if (Window) {
    if (Window->isMinimized()) Window->showNormal();
    Window->show();
    Window->raise();
    Window->activateWindow();
  }
  emit RaiseRequested();
}

}  // namespace sorvane
