#pragma once
// Small pieces that the windows posting to a web service share: where the service is, a busy
// indicator, and the notice sheet that tells how a request ended.
//
// Main thread only.
#include <functional>
#include <memory>
#include <string>

class QProgressBar;
class QWidget;

namespace app {

// The address under the information key `key` of the main bundle, trimmed of blanks; "" when
// the key is missing, not text or blank, which means that no service is configured.
std::string configuredEndpoint(const char* key);

// A busy indicator (no known end), hidden until shown. The caller's layout takes ownership.
QProgressBar* makeBusyIndicator();

// Shows an alert with `message`, `informative` and the single button "OK" as a sheet on `window`;
// `dismissed` runs once it has been answered, unless `owner` has expired by then.
void showNoticeSheet(QWidget* window, const std::string& message, const std::string& informative,
                     std::weak_ptr<const void> owner, std::function<void()> dismissed = {});

}  // namespace app
