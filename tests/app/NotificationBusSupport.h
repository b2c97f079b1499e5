#pragma once
// A private session bus and a fake org.freedesktop.Notifications server on it, for the
// application tests of refresh notifications: the server records each Notify call and sends the
// ActionInvoked signal a real one sends when the user picks the body or a button.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace apptest {

// A dbus-daemon of our own in a temporary folder, with nothing to activate. Stopped by the
// destructor. address() is empty when the daemon could not be started.
class PrivateBus {
 public:
  PrivateBus() {
    const std::string config = dir_.file("bus.conf");
    test::writeFile(config,
                    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                    "<busconfig><type>session</type><listen>unix:dir=" + dir_.path() + "</listen>"
                    "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                    "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    const std::string command = "dbus-daemon --config-file=" + config + " --fork --print-address=1 --print-pid=1";
    FILE* out = popen(command.c_str(), "r");
    if (!out) return;
    char line[512];
    if (fgets(line, sizeof line, out)) address_ = trimmed(line);
    if (fgets(line, sizeof line, out)) pid_ = std::atoi(line);
    pclose(out);
    if (pid_ <= 0) address_.clear();
  }
  // The daemon forked away from us, so it is not our child: only the signal, no wait.
  ~PrivateBus() {
    if (pid_ > 0) kill(pid_, SIGTERM);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }

 private:
  static std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }

  test::TempDir dir_{"qm-app-dbus"};
  std::string address_;
  int pid_ = 0;
};

class FakeNotificationServer : public QDBusVirtualObject {
 public:
  struct NotifyCall {
    QString summary;
    QString body;
    QStringList actions;
    uint id = 0;
  };

  // Connects to `address`, owns the service name and lists `capabilities`.
  FakeNotificationServer(const std::string& address, QStringList capabilities)
      : connectionName_(QStringLiteral("app-fake-notifications-%1").arg(++counter())),
        bus_(QDBusConnection::connectToBus(QString::fromStdString(address), connectionName_)),
        capabilities_(std::move(capabilities)) {
    registered_ = bus_.isConnected() && bus_.registerVirtualObject(path(), this) &&
                  bus_.registerService(interfaceName());
  }
  ~FakeNotificationServer() override {
    bus_.unregisterObject(path());
    QDBusConnection::disconnectFromBus(connectionName_);
  }

  bool registered() const { return registered_; }
  std::vector<NotifyCall> notifyCalls() const {
    std::lock_guard lock(mutex_);
    return notifyCalls_;
  }

  void emitActionInvoked(uint id, const QString& actionKey) {
    QDBusMessage message = QDBusMessage::createSignal(path(), interfaceName(), QStringLiteral("ActionInvoked"));
    message.setArguments({QVariant::fromValue(id), actionKey});
    bus_.send(message);
  }

  QString introspect(const QString&) const override { return {}; }

  // D-Bus may call this from its own thread.
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.interface() != interfaceName()) return false;
    const QList<QVariant> args = message.arguments();
    if (message.member() == QLatin1String("GetCapabilities")) {
      connection.send(message.createReply(QVariant(capabilities_)));
    } else if (message.member() == QLatin1String("Notify") && args.size() == 8) {
      std::lock_guard lock(mutex_);
      NotifyCall call{args[3].toString(), args[4].toString(), args[5].toStringList(), nextId_++};
      notifyCalls_.push_back(call);
      connection.send(message.createReply(QVariant::fromValue(call.id)));
    } else if (message.member() == QLatin1String("CloseNotification")) {
      connection.send(message.createReply());
    } else {
      connection.send(message.createErrorReply(QDBusError::UnknownMethod, message.member()));
    }
    return true;
  }

 private:
  static QString path() { return QStringLiteral("/org/freedesktop/Notifications"); }
  static QString interfaceName() { return QStringLiteral("org.freedesktop.Notifications"); }
  static std::atomic<int>& counter() {
    static std::atomic<int> value{0};
    return value;
  }

  QString connectionName_;
  QDBusConnection bus_;
  QStringList capabilities_;
  bool registered_ = false;
  mutable std::mutex mutex_;
  std::vector<NotifyCall> notifyCalls_;
  uint nextId_ = 1;
};

}  // namespace apptest
