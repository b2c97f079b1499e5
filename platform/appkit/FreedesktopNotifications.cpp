#include "platform/appkit/FreedesktopNotifications.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include <atomic>

#include "platform/foundation/Log.h"

namespace appkit {
namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

QString nextConnectionName() {
  static std::atomic<int> counter{0};
  return QStringLiteral("quillmere-notifications-%1").arg(++counter);
}

QDBusConnection openBus(const std::string& address, const QString& name) {
  if (address.empty()) return QDBusConnection::sessionBus();
  return QDBusConnection::connectToBus(QString::fromStdString(address), name);
}

QDBusMessage method(const QString& name) {
  return QDBusMessage::createMethodCall(kService, kPath, kInterface, name);
}

void logNotShown(const std::string& summary, const QString& why) {
  foundation::logf("User notifications: \"%@\" not shown: %@.", summary, why.toStdString());
}

}  // namespace

FreedesktopNotifications::FreedesktopNotifications(const std::string& busAddress)
    : bus_(openBus(busAddress, busAddress.empty() ? QString() : nextConnectionName())) {
  if (!busAddress.empty()) privateConnectionName_ = bus_.name();
  if (!bus_.isConnected()) return;
  // Listening to the well-known name (not any sender) keeps other peers from activating our
  // notices with forged signals.
  bus_.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
               SLOT(actionInvoked(uint, QString)));
  bus_.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
               SLOT(notificationClosed(uint, uint)));
}

FreedesktopNotifications::~FreedesktopNotifications() {
  if (bus_.isConnected()) {
    bus_.disconnect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                    SLOT(actionInvoked(uint, QString)));
    bus_.disconnect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                    SLOT(notificationClosed(uint, uint)));
  }
  if (!privateConnectionName_.isEmpty()) QDBusConnection::disconnectFromBus(privateConnectionName_);
}

bool FreedesktopNotifications::isConnected() const { return bus_.isConnected(); }

void FreedesktopNotifications::notify(const Notice& notice, NotifyCompletion completion) {
  if (!bus_.isConnected()) {
    logNotShown(notice.summary, QStringLiteral("no session bus (%1)").arg(bus_.lastError().message()));
    completion(std::nullopt);
    return;
  }
  auto* watcher = new QDBusPendingCallWatcher(
      bus_.asyncCall(method(QStringLiteral("GetCapabilities")), kTimeoutMilliseconds), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, notice, completion = std::move(completion)](QDBusPendingCallWatcher* call) {
            call->deleteLater();
            QDBusPendingReply<QStringList> reply = *call;
            if (reply.isError()) {
              logNotShown(notice.summary, reply.error().message());
              completion(std::nullopt);
              return;
            }
            const bool withActions = reply.value().contains(QStringLiteral("actions"));
            if (!withActions && notice.actionButtonTitle) {
              foundation::logf("User notifications: the notification server shows no actions; \"%@\" goes without its button.",
                               notice.summary);
            }
            sendNotify(notice, withActions, completion);
          });
}

void FreedesktopNotifications::sendNotify(const Notice& notice, bool withActions,
                                          NotifyCompletion completion) {
  QStringList actions;
  if (withActions) {
    // The body's own action, so a click on it reaches us as well; servers show no label for it.
    actions << QString::fromLatin1(kDefaultActionKey) << QString();
    if (notice.actionButtonTitle) {
      actions << QString::fromLatin1(kActionButtonKey) << QString::fromStdString(*notice.actionButtonTitle);
    }
  }
  QDBusMessage call = method(QStringLiteral("Notify"));
  call << QStringLiteral("Quillmere") << uint(0) << QString() << QString::fromStdString(notice.summary)
       << QString::fromStdString(notice.body) << actions << QVariantMap() << int(-1);
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kTimeoutMilliseconds), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [summary = notice.summary, completion = std::move(completion)](QDBusPendingCallWatcher* pending) {
            pending->deleteLater();
            QDBusPendingReply<uint> reply = *pending;
            if (reply.isError()) {
              logNotShown(summary, reply.error().message());
              completion(std::nullopt);
              return;
            }
            completion(std::uint32_t(reply.value()));
          });
}

void FreedesktopNotifications::close(std::uint32_t id) {
  if (!bus_.isConnected()) return;
  QDBusMessage call = method(QStringLiteral("CloseNotification"));
  call << uint(id);
  bus_.asyncCall(call, kTimeoutMilliseconds);
}

void FreedesktopNotifications::actionInvoked(uint id, const QString& actionKey) {
  if (onActionInvoked) onActionInvoked(std::uint32_t(id), actionKey.toStdString());
}

void FreedesktopNotifications::notificationClosed(uint id, uint reason) {
  (void)reason;
  if (onClosed) onClosed(std::uint32_t(id));
}

}  // namespace appkit
