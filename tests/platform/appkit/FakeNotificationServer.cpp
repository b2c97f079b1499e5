#include "tests/platform/appkit/FakeNotificationServer.h"

#include <QDBusMessage>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <sys/wait.h>

namespace test {
namespace {

const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

QString nextConnectionName() {
  static std::atomic<int> counter{0};
  return QStringLiteral("fake-notification-server-%1").arg(++counter);
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

PrivateBus::PrivateBus() {
  const std::string config = dir_.file("bus.conf");
  writeFile(config,
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

PrivateBus::~PrivateBus() {
  // The daemon forked away from us, so it is not our child: no waitpid, just the signal.
  if (pid_ > 0) kill(pid_, SIGTERM);
}

FakeNotificationServer::FakeNotificationServer(const std::string& address, QStringList capabilities)
    : connectionName_(nextConnectionName()),
      bus_(QDBusConnection::connectToBus(QString::fromStdString(address), connectionName_)),
      capabilities_(std::move(capabilities)) {
  registered_ = bus_.isConnected() && bus_.registerVirtualObject(kPath, this) &&
                bus_.registerService(QStringLiteral("org.freedesktop.Notifications"));
}

FakeNotificationServer::~FakeNotificationServer() {
  bus_.unregisterObject(kPath);
  QDBusConnection::disconnectFromBus(connectionName_);
}

std::vector<FakeNotificationServer::NotifyCall> FakeNotificationServer::notifyCalls() const {
  std::lock_guard lock(mutex_);
  return notifyCalls_;
}

std::vector<uint> FakeNotificationServer::closeCalls() const {
  std::lock_guard lock(mutex_);
  return closeCalls_;
}

void FakeNotificationServer::emitActionInvoked(uint id, const QString& actionKey) {
  sendSignal(QStringLiteral("ActionInvoked"), {QVariant::fromValue(id), actionKey});
}

void FakeNotificationServer::emitNotificationClosed(uint id, uint reason) {
  sendSignal(QStringLiteral("NotificationClosed"), {QVariant::fromValue(id), QVariant::fromValue(reason)});
}

void FakeNotificationServer::sendSignal(const QString& name, const QList<QVariant>& arguments) {
  QDBusMessage message = QDBusMessage::createSignal(kPath, kInterface, name);
  message.setArguments(arguments);
  bus_.send(message);
}

QString FakeNotificationServer::introspect(const QString&) const { return {}; }

bool FakeNotificationServer::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
  if (message.interface() != kInterface) return false;
  const QString member = message.member();
  const QList<QVariant> args = message.arguments();
  if (member == QLatin1String("GetCapabilities")) {
    connection.send(message.createReply(QVariant(capabilities_)));
    return true;
  }
  if (member == QLatin1String("Notify") && args.size() == 8) {
    std::lock_guard lock(mutex_);
    NotifyCall call{args[0].toString(), args[1].toUInt(), args[3].toString(), args[4].toString(),
                    args[5].toStringList(), nextId_++};
    notifyCalls_.push_back(call);
    connection.send(message.createReply(QVariant::fromValue(call.id)));
    return true;
  }
  if (member == QLatin1String("CloseNotification") && args.size() == 1) {
    std::lock_guard lock(mutex_);
    closeCalls_.push_back(args[0].toUInt());
    connection.send(message.createReply());
    return true;
  }
  connection.send(message.createErrorReply(QDBusError::UnknownMethod, member));
  return true;
}

}  // namespace test
