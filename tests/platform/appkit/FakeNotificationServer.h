#pragma once
// Test helpers for the user-notification centre: a private D-Bus daemon, and a fake
// org.freedesktop.Notifications server on it that records what it is asked and sends the signals
// a real one would when the user acts.
#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace test {

// A dbus-daemon of our own, listening in a temporary folder, with no services to activate so a
// missing server stays missing. Stopped by the destructor.
class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Empty when the daemon could not be started.
  const std::string& address() const { return address_; }

 private:
  TempDir dir_{"qm-dbus"};
  std::string address_;
  int pid_ = 0;
};

class FakeNotificationServer : public QDBusVirtualObject {
 public:
  struct NotifyCall {
    QString appName;
    uint replacesId = 0;
    QString summary;
    QString body;
    QStringList actions;
    uint id = 0;
  };

  // Connects to `address`, owns the service name and answers GetCapabilities with
  // `capabilities`; `registered()` says whether that worked.
  FakeNotificationServer(const std::string& address, QStringList capabilities);
  ~FakeNotificationServer() override;

  bool registered() const { return registered_; }
  std::vector<NotifyCall> notifyCalls() const;
  std::vector<uint> closeCalls() const;

  // Sends the signals a server sends when the user picks an action or a notice goes away.
  void emitActionInvoked(uint id, const QString& actionKey);
  void emitNotificationClosed(uint id, uint reason);

  QString introspect(const QString& path) const override;
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

 private:
  void sendSignal(const QString& name, const QList<QVariant>& arguments);

  QString connectionName_;
  QDBusConnection bus_;
  QStringList capabilities_;
  bool registered_ = false;
  // D-Bus may call handleMessage from its own thread.
  mutable std::mutex mutex_;
  std::vector<NotifyCall> notifyCalls_;
  std::vector<uint> closeCalls_;
  uint nextId_ = 1;
};

}  // namespace test
