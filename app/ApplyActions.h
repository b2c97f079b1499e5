#pragma once
// ApplyActions carries out the main window's three actions on the system hosts file: apply the
// enabled hostfiles (after a syntax check when the "checkSyntax" preference is on), check their
// syntax alone, and flush the DNS cache. It decides what the user is told, through the shared
// alert presenter, and sends one analytics event per action. The compiling and the privileged
// run are the Compiler's, started through AdministratorRun: they end after these functions have
// returned, and while they run, Apply and Flush Cache do nothing.
//
// Main thread only. Owned by the MainWindowController it serves, which must outlive it.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/AdministratorRun.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/foundation/Error.h"

namespace app {

class MainWindowController;

class ApplyActions {
 public:
  // Texts of the alerts this class shows.
  static constexpr const char* kInvalidFormatMessage = "Invalid Hostfile Format";
  static constexpr const char* kFormatCorrectMessage = "Hostfile Format Appears Correct";
  static constexpr const char* kFormatCorrectInformative =
      "Quillmere has checked all your enabled hostfiles and each one appears to be formatted correctly. It is "
      "safe to apply your changes.";
  static constexpr const char* kTakeAnotherLook = "Take Another Look";
  static constexpr const char* kApplyAnyway = "Apply Changes Anyway";
  static constexpr const char* kApplyFailedMessage = "Your changes could not be applied.";
  static constexpr const char* kFlushFailedMessage = "The DNS cache could not be flushed.";

  // Serves `controller`'s list, selection and window; keeps a reference to it.
  explicit ApplyActions(MainWindowController& controller);
  ApplyActions(const ApplyActions&) = delete;
  ApplyActions& operator=(const ApplyActions&) = delete;

  // Called right before every apply, so that the application can save its edits first.
  void setBeforeApply(std::function<void()> hook) { beforeApply_ = std::move(hook); }

  // Checks first when "checkSyntax" is on, else starts the apply at once; then sends
  // "applyChanges" (while the check's sheet is still open, when it shows one). A failure is shown
  // in an alert once the run has ended.
  void applyChanges();
  // Sends "checkSyntax", then checks without applying.
  void checkSyntaxAction();
  // Sends "flushCache", then starts the flush command with administrator rights. The dirty marks
  // stay as they were (a flush applies nothing); a failure is shown in an alert.
  void flushCache();

  // Tests every enabled hostfile of the list, in list order. With none invalid: applies (with
  // `thenApply`) or says the format appears correct. Otherwise shows "Invalid Hostfile Format";
  // its first button selects the last invalid hostfile, its second ("Apply Changes Anyway",
  // only with `thenApply`) applies.
  void checkSyntax(bool thenApply);

  // The informative text of "Invalid Hostfile Format" for these titles (empty for an untitled
  // hostfile), in list order; at least one. The count of two or more is spelled out in the
  // words of `localeIdentifier`, each word capitalised. Pure.
  static std::string invalidFormatText(const std::vector<std::string>& titles, const std::string& localeIdentifier);

  // Each word, and each part of a hyphenated word, starting with an upper-case letter: "twenty-one"
  // gives "Twenty-One". Pure.
  static std::string capitalizedWords(const std::string& text);

 private:
  // Saves first (through the hook), starts the apply, and shows the failure when there is one.
  void apply();
  // The completion of a run that shows its failure under `message`, while this object lives.
  AdministratorRun::Completion failureAlert(const char* message);
  void showFailure(const char* message, const foundation::Error& error);

  MainWindowController& controller_;
  std::function<void()> beforeApply_;
  // Held by this object only; sheet completions hold it weakly and give up once it is gone.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace app
