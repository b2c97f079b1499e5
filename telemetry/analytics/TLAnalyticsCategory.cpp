#include "telemetry/analytics/TLAnalyticsCategory.h"

#include <array>
#include <mutex>

#include "platform/appkit/ViewAppearance.h"
#include "telemetry/analytics/TLAnalytics.h"


namespace {

// Containers whose own appearance says nothing: the screens inside them are tracked instead.
constexpr std::array<std::string_view, 3> kSkippedContainers = {"QSplitter", "QTabWidget", "QStackedWidget"};
constexpr std::string_view kViewControllerSuffix = "ViewController";

struct MissedPage {
  std::mutex mutex;
  std::optional<std::string> name;
};

MissedPage& missedPage() {
  static MissedPage page;
  return page;
}

}  // namespace

std::optional<std::string> TLAnalyticsCategory::pageNameForClassName(std::string_view className) {
  for (std::string_view container : kSkippedContainers) {
    if (className == container) return std::nullopt;
  }
  // A module or namespace qualifier ends at the last "." or ":".
  const std::size_t qualifierEnd = className.find_last_of(".:");
  std::string_view name = qualifierEnd == std::string_view::npos ? className : className.substr(qualifierEnd + 1);
  if (name.size() > kViewControllerSuffix.size() && name.ends_with(kViewControllerSuffix)) {
    name.remove_suffix(kViewControllerSuffix.size());
  }
  if (name.empty()) return std::nullopt;
  return std::string(name);
}

std::optional<std::string> TLAnalyticsCategory::missedPageViewName() {
  std::lock_guard lock(missedPage().mutex);
  return missedPage().name;
}

bool TLAnalyticsCategory::activateCategory() {
  return appkit::ViewAppearance::installHook(&TLAnalyticsCategory::viewWillAppear);
}

void TLAnalyticsCategory::viewWillAppear(const std::string& className) {
  if (!TLAnalytics::isAutoPageTrackingEnabled()) return;
  auto name = pageNameForClassName(className);
  if (!name) return;
  if (TLAnalytics::sharedInstance()->isAvailable()) {
    {
      std::lock_guard lock(missedPage().mutex);
      missedPage().name.reset();
    }
    TLAnalytics::trackPage(*name);
    return;
  }
  std::lock_guard lock(missedPage().mutex);
  missedPage().name = std::move(name);
}
