#pragma once
// FreedesktopNotifications is the desktop side of the user-notification centre: it talks to the
// org.freedesktop.Notifications service on one D-Bus connection, shows notices with Notify and
// reports the ActionInvoked and NotificationClosed signals that the service sends for them.
//
// Every call is asynchronous with a short timeout, so a missing or stuck service never holds the
// caller. Create, use and destroy it on the thread that runs the Qt event loop (the main thread);
// its callbacks run there. Callers map the ids it reports to their own notices.
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace appkit {

class FreedesktopNotifications : public QObject {
  Q_OBJECT

 public:
  // The action key of the action button, and the key servers send when the body is chosen.
  static constexpr const char* kActionButtonKey = "apply";
  static constexpr const char* kDefaultActionKey = "default";
  // How long one call may wait for the service.
  static constexpr int kTimeoutMilliseconds = 1500;

  struct Notice {
    std::string summary;
    std::string body;
    // The action button's label; offered only when set and when the service shows actions.
    std::optional<std::string> actionButtonTitle;
  };
  // Receives the service's id for the notice, or nothing when it was not shown.
  using NotifyCompletion = std::function<void(std::optional<std::uint32_t> id)>;

  // Talks on the session bus when `busAddress` is empty, else on a private connection to that
  // address (closed again by the destructor). A bus that cannot be reached is not an error here:
  // each notify() then logs one line and completes with nothing.
  explicit FreedesktopNotifications(const std::string& busAddress = {});
  ~FreedesktopNotifications() override;
  FreedesktopNotifications(const FreedesktopNotifications&) = delete;
  FreedesktopNotifications& operator=(const FreedesktopNotifications&) = delete;

  // Whether the connection to the bus is up.
  bool isConnected() const;

  // Asks the service for its capabilities, then shows `notice`, with its actions only when the
  // service lists "actions". Returns at once; `completion` runs later on this object's thread
  // with the id, or with nothing after one logged line when there is no bus or the service fails
  // or does not answer in time. Not called at all if this object is destroyed first.
  void notify(const Notice& notice, NotifyCompletion completion);
  // Asks the service to take notice `id` off the screen; errors are ignored.
  void close(std::uint32_t id);

  // Told of ActionInvoked (id, action key) and NotificationClosed (id) from the service, for any
  // id; filtering by id is the caller's job.
  std::function<void(std::uint32_t id, const std::string& actionKey)> onActionInvoked;
  std::function<void(std::uint32_t id)> onClosed;

 private Q_SLOTS:
  void actionInvoked(uint id, const QString& actionKey);
  void notificationClosed(uint id, uint reason);

 private:
  void sendNotify(const Notice& notice, bool withActions, NotifyCompletion completion);

  QDBusConnection bus_;
  QString privateConnectionName_;
};

}  // namespace appkit
