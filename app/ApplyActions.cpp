#include "app/ApplyActions.h"

#include "app/AdministratorRun.h"
#include "app/HostGroupFields.h"
#include "app/HostfileListModel.h"
#include "app/MainWindowController.h"
#include "app/TelemetrySeam.h"
#include "platform/appkit/Alert.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/NumberFormatter.h"
#include "platform/foundation/String.h"
#include "platform/foundation/UserDefaults.h"

namespace app {
namespace {

using Fields = HostGroupFields;

bool isInvalid(const coredata::ManagedObject& record) {
  return Fields::isEnabled(record) && !record.valueForKey(HostGroup::kIsValidSyntaxKey).boolValue();
}

}  // namespace

ApplyActions::ApplyActions(MainWindowController& controller) : controller_(controller) {}

void ApplyActions::applyChanges() {
  if (AdministratorRun::isRunning()) return;
  controller_.commitPendingEdits();
  if (foundation::UserDefaults::standardUserDefaults().boolForKey("checkSyntax")) {
    checkSyntax(true);
  } else {
    apply();
  }
  trackEvent("applyChanges");
}

void ApplyActions::checkSyntaxAction() {
  trackEvent("checkSyntax");
  checkSyntax(false);
}

void ApplyActions::flushCache() {
  if (AdministratorRun::isRunning()) return;
  trackEvent("flushCache");
  AdministratorRun::flushDNSCache(failureAlert(kFlushFailedMessage));
}

void ApplyActions::checkSyntax(bool thenApply) {
  // The check reads the records: what was just typed must be in them.
  controller_.commitPendingEdits();
  std::vector<std::string> titles;
  coredata::ManagedObjectPtr lastInvalid;
  if (const HostfileListModel* model = controller_.listModel()) {
    for (const auto& record : model->arrangedObjects()) {
      if (!isInvalid(*record)) continue;
      titles.push_back(Fields::title(*record));
      lastInvalid = record;
    }
  }
  appkit::Alert alert;
  if (titles.empty()) {
    if (thenApply) {
      apply();
      return;
    }
    alert.setMessageText(kFormatCorrectMessage);
    alert.addButtonWithTitle("OK");
    alert.setInformativeText(kFormatCorrectInformative);
    alert.beginSheetModalForWindow(controller_.window(), [](long) {});
    return;
  }
  alert.setMessageText(kInvalidFormatMessage);
  alert.setInformativeText(invalidFormatText(titles, foundation::Locale::currentLocaleIdentifier()));
  if (thenApply) {
    alert.addButtonWithTitle(kTakeAnotherLook);
    alert.addButtonWithTitle(kApplyAnyway);
  } else {
    alert.addButtonWithTitle("OK");
  }
  std::weak_ptr<int> alive = lifetime_;
  alert.beginSheetModalForWindow(controller_.window(), [this, alive, lastInvalid, thenApply](long answer) {
    if (alive.expired()) return;
    if (answer == appkit::kAlertFirstButtonReturn) {
      // Selected by record rather than by the row it had, so that rows added while the sheet was
      // open cannot shift the selection onto another hostfile.
      controller_.selectHostGroup(lastInvalid);
    } else if (thenApply && answer == appkit::kAlertSecondButtonReturn) {
      apply();
    }
  });
}

std::string ApplyActions::invalidFormatText(const std::vector<std::string>& titles,
                                            const std::string& localeIdentifier) {
  if (titles.size() == 1) {
    if (titles.front().empty()) return {};
    return "Your hostfile \"" + titles.front() + "\" appears to be formatted incorrectly.";
  }
  std::string text = capitalizedWords(foundation::spellOut(static_cast<long>(titles.size()), localeIdentifier));
  text += " of your hostfiles appear to be formatted incorrectly.\n\n";
  for (const auto& title : titles) {
    if (!title.empty()) text += "\u2022 " + title + "\n";
  }
  return text;
}

std::string ApplyActions::capitalizedWords(const std::string& text) {
  std::string result;
  std::size_t start = 0;
  while (true) {
    const std::size_t hyphen = text.find('-', start);
    result += foundation::capitalized(std::string_view(text).substr(start, hyphen - start));
    if (hyphen == std::string::npos) return result;
    result += '-';
    start = hyphen + 1;
  }
}

void ApplyActions::apply() {
  // Reached from the syntax check and its sheet as well as from applyChanges().
  if (AdministratorRun::isRunning()) return;
  controller_.commitPendingEdits();
  if (beforeApply_) beforeApply_();
  AdministratorRun::apply(failureAlert(kApplyFailedMessage));
}

AdministratorRun::Completion ApplyActions::failureAlert(const char* message) {
  std::weak_ptr<int> alive = lifetime_;
  return [this, alive, message](const std::optional<foundation::Error>& failure) {
    if (failure && !alive.expired()) showFailure(message, *failure);
  };
}

void ApplyActions::showFailure(const char* message, const foundation::Error& error) {
  // The Compiler only logs a failed run; the user must hear of it too, or a refused password or
  // an unreadable hosts file would look like a successful apply.
  appkit::Alert alert;
  alert.setMessageText(message);
  alert.setInformativeText(error.localizedDescription());
  alert.addButtonWithTitle("OK");
  alert.beginSheetModalForWindow(controller_.window(), [](long) {});
}

}  // namespace app
