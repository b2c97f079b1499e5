#pragma once
// SingleInstance keeps the application to one process per user, as the desktop platform the
// application was designed for does: starting it again brings the running one to the front.
// The first process takes an exclusive lock on "<name>.lock" in the user's runtime folder and
// listens on the local socket "<name>.socket" beside it; a later process finds the lock taken,
// asks the first one over the socket to come to the front, and is to exit at once, before it
// touches the store or the defaults.
//
// The lock is a flock on an open file that is closed on exec, so it goes with its process however
// that ends: a crashed first process leaves files behind that block nothing. A local socket in the
// runtime folder rather than a D-Bus name, because that folder is private to the user and shared
// by all of the user's sessions (a session bus is per session, and may not run at all), and the
// store is the user's. Main thread only; requests arrive through Qt's event loop.
#include <functional>
#include <memory>
#include <string>

class QLocalServer;
class QLocalSocket;

namespace appkit {

class SingleInstance {
 public:
  enum class Role {
    Primary,    // this process holds the lock and runs; later starts reach the activation handler
    Secondary,  // another process holds the lock and was asked to come to the front: exit
    Unguarded,  // no lock could be made (no usable runtime folder): run, without a guard
  };

  // The lock and socket of `name` in `folder` (runtimeFolder() when empty). Takes nothing yet.
  // The Qt application must exist.
  explicit SingleInstance(std::string name, std::string folder = {});
  // Stops listening and releases the lock.
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Takes the lock, or hands over to the process that holds it. Call once. A process whose first
  // instance is still starting up waits a few seconds for its socket. Secondary is answered also
  // when the request could not be delivered (handedOver() then says so): two processes must
  // never run on one store.
  Role acquire();
  // Whether a Secondary's request reached the running process.
  bool handedOver() const { return handedOver_; }

  // What a later start's request runs, on the main thread; a Primary only. Replaces any earlier one.
  void setActivationHandler(std::function<void()> handler) { activationHandler_ = std::move(handler); }

  const std::string& lockPath() const { return lockPath_; }
  const std::string& socketPath() const { return socketPath_; }

  // $XDG_RUNTIME_DIR when it is set and a folder, else the private runtime folder Qt makes for
  // the user; empty when there is none.
  static std::string runtimeFolder();

 private:
  bool listen();
  bool handOver();
  void serve(QLocalSocket* client);

  std::string lockPath_;
  std::string socketPath_;
  int lockFd_ = -1;
  bool handedOver_ = false;
  std::unique_ptr<QLocalServer> server_;
  std::function<void()> activationHandler_;
};

}  // namespace appkit
