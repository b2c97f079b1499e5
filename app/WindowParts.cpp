#include "app/WindowParts.h"

#include <QProgressBar>

#include "platform/appkit/Alert.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/String.h"

namespace app {

std::string configuredEndpoint(const char* key) {
  const foundation::Value value = foundation::Bundle::mainBundle()->objectForInfoDictionaryKey(key);
  return value.isString() ? foundation::trim(value.stringValue()) : std::string();
}

QProgressBar* makeBusyIndicator() {
  auto* indicator = new QProgressBar();
  indicator->setRange(0, 0);
  indicator->setTextVisible(false);
  indicator->setMaximumWidth(80);
  indicator->hide();
  return indicator;
}

void showNoticeSheet(QWidget* window, const std::string& message, const std::string& informative,
                     std::weak_ptr<const void> owner, std::function<void()> dismissed) {
  appkit::Alert alert;
  alert.setMessageText(message);
  alert.setInformativeText(informative);
  alert.beginSheetModalForWindow(window, [owner = std::move(owner), dismissed = std::move(dismissed)](long) {
    if (owner.lock() && dismissed) dismissed();
  });
}

}  // namespace app
