#include "telemetry/analytics/TLAnalyticsCategory.h"

#include <gtest/gtest.h>

namespace {

TEST(TLAnalyticsCategory, NamesPagesAfterTheirClass) {
  struct Case {
    const char* className;
    std::optional<std::string> page;
  };
  const Case cases[] = {
      {"SettingsViewController", "Settings"},
      {"Module.SettingsViewController", "Settings"},
      {"app::SettingsViewController", "Settings"},
      {"app::detail::Outer.InnerViewController", "Inner"},
      {"ViewController", "ViewController"},  // nothing would stay before the suffix
      {"app::ViewController", "ViewController"},
      {"XViewController", "X"},
      {"ViewControllerList", "ViewControllerList"},  // the suffix only counts at the end
      {"MainWindow", "MainWindow"},
      {"QDialog", "QDialog"},
      {"QTabWidget", std::nullopt},  // containers: the screens inside them are tracked
      {"QStackedWidget", std::nullopt},
      {"QSplitter", std::nullopt},
      {"MyTabs", "MyTabs"},  // a subclass of a container is a page
      {"app::QTabWidget", "QTabWidget"},  // only the exact container names are skipped
      {"Module.", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TLAnalyticsCategory::pageNameForClassName(c.className), c.page) << '"' << c.className << '"';
  }
}

}  // namespace
