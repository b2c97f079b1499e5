#include "platform/appkit/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/foundation/Log.h"

namespace appkit {

namespace {

// The one request there is. Anything else on the socket is ignored.
constexpr char kActivateRequest[] = "activate\n";
// A client that sends this much without a line end is not one of ours.
constexpr qint64 kLongestRequest = 256;
// How long a later start waits for a first instance that holds the lock but is not listening
// yet (it takes the lock first, then opens its socket).
constexpr int kConnectAttempts = 50;
constexpr auto kConnectPause = std::chrono::milliseconds(100);

bool isFolder(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

SingleInstance::SingleInstance(std::string name, std::string folder) {
  if (folder.empty()) folder = runtimeFolder();
  if (folder.empty()) return;
  lockPath_ = folder + "/" + name + ".lock";
  socketPath_ = folder + "/" + name + ".socket";
}

SingleInstance::~SingleInstance() {
  server_.reset();  // closes the socket, and removes its file, while the lock is still held
  if (lockFd_ >= 0) ::close(lockFd_);
}

std::string SingleInstance::runtimeFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/' && isFolder(runtime)) return runtime;
  const std::string fallback = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation).toStdString();
  return isFolder(fallback) ? fallback : std::string();
}

SingleInstance::Role SingleInstance::acquire() {
  if (lockPath_.empty()) {
    foundation::logMessage("No runtime folder: a second start of the application would not be noticed.");
    return Role::Unguarded;
  }
  // Closed on exec, so that no child (the privileged shell, say) keeps the lock after we are gone.
  lockFd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) {
    foundation::logMessage("Could not open " + lockPath_ + ": a second start of the application would not be noticed.");
    return Role::Unguarded;
  }
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
    listen();
    return Role::Primary;
  }
  const int error = errno;
  ::close(lockFd_);
  lockFd_ = -1;
  if (error != EWOULDBLOCK) {
    foundation::logMessage("Could not lock " + lockPath_ + ": a second start of the application would not be noticed.");
    return Role::Unguarded;
  }
  handedOver_ = handOver();
  return Role::Secondary;
}

// Only the lock holder gets here, so a socket file left by a process that crashed can go.
bool SingleInstance::listen() {
  QLocalServer::removeServer(QString::fromStdString(socketPath_));
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
    while (QLocalSocket* client = server_->nextPendingConnection()) {
      QObject::connect(client, &QLocalSocket::readyRead, client, [this, client] { serve(client); });
      QObject::connect(client, &QLocalSocket::disconnected, client, [this, client] {
        serve(client);
        client->deleteLater();
      });
      serve(client);
    }
  });
  if (server_->listen(QString::fromStdString(socketPath_))) return true;
  foundation::logMessage("Could not listen on " + socketPath_ + ": " + server_->errorString().toStdString());
  server_.reset();
  return false;
}

void SingleInstance::serve(QLocalSocket* client) {
  while (client->canReadLine()) {
    if (client->readLine(kLongestRequest) == kActivateRequest && activationHandler_) activationHandler_();
  }
  if (client->bytesAvailable() > kLongestRequest) client->abort();
}

bool SingleInstance::handOver() {
  QLocalSocket socket;
  for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
    socket.connectToServer(QString::fromStdString(socketPath_));
    if (socket.waitForConnected(1000)) break;
    std::this_thread::sleep_for(kConnectPause);
  }
  if (socket.state() != QLocalSocket::ConnectedState) {
    foundation::logMessage("The application is already running, but did not answer at " + socketPath_ + ".");
    return false;
  }
  socket.write(kActivateRequest);
  socket.flush();
  const bool written = socket.bytesToWrite() == 0 || socket.waitForBytesWritten(1000);
  socket.disconnectFromServer();
  return written;
}

}  // namespace appkit
