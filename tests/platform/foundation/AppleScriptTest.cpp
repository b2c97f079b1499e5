#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/AppleScript.h"
#include "platform/foundation/ShellQuoting.h"
#include "tests/support/TempDir.h"

namespace {

using foundation::AppleScript;
using foundation::Dictionary;
using foundation::ShellRunner;
using foundation::SystemShellRunner;
using Outcome = ShellRunner::Result::Outcome;

// Records every run and answers with a preset result.
class RecordingRunner : public ShellRunner {
 public:
  struct Call {
    std::string command;
    bool privileged;
  };
  explicit RecordingRunner(Result answer = {}) : answer_(std::move(answer)) {}
  Result run(const std::string& command, bool privileged) override {
    calls.push_back({command, privileged});
    return answer_;
  }
  std::vector<Call> calls;

 private:
  Result answer_;
};

class AppleScriptTest : public testing::Test {
 protected:
  std::shared_ptr<RecordingRunner> install(ShellRunner::Result answer = {}) {
    auto runner = std::make_shared<RecordingRunner>(std::move(answer));
    AppleScript::setRunnerForTesting(runner);
    return runner;
  }
  void TearDown() override { AppleScript::setRunnerForTesting(nullptr); }
};

foundation::Range errorRange(const Dictionary& info) {
  auto range = info.get(foundation::kAppleScriptErrorRange).objectAs<foundation::AppleScriptErrorRange>();
  return range ? range->range() : foundation::kNotFoundRange;
}

TEST_F(AppleScriptTest, AcceptedSourcesPassTheUnescapedCommandToTheRunner) {
  struct Case {
    std::string source;
    std::string command;
    bool privileged;
  } cases[] = {
      {"do shell script \"ls\" with administrator privileges", "ls", true},
      {"do shell script \"ls\"", "ls", false},
      {"DO Shell SCRIPT \"ls\" WITH Administrator PRIVILEGES", "ls", true},
      {"\n  do\tshell  script   \"a b\"   with  administrator\tprivileges \n", "a b", true},
      {"do shell script \"\"", "", false},
      {"do shell script \"echo \\\"q\\\" \\\\ end\"", "echo \"q\" \\ end", false},
      {"do shell script \"a\\nb\\tc\\rd\"", "a\nb\tc\rd", false},
      {"do shell script \"multi\nline\"", "multi\nline", false},
  };
  for (const auto& c : cases) {
    auto runner = install();
    AppleScript script(c.source);
    Dictionary info;
    EXPECT_TRUE(script.executeAndReturnError(&info).has_value()) << c.source;
    EXPECT_TRUE(info.empty()) << c.source;
    ASSERT_EQ(runner->calls.size(), 1u) << c.source;
    EXPECT_EQ(runner->calls[0].command, c.command) << c.source;
    EXPECT_EQ(runner->calls[0].privileged, c.privileged) << c.source;
  }
}

TEST_F(AppleScriptTest, OtherSourcesAreSyntaxErrorsAndRunNothing) {
  struct Case {
    std::string source;
    std::string message;
    foundation::Range range;  // UTF-16 units of the source
  } cases[] = {
      {"", "Expected \u201cdo\u201d but found end of script.", {0, 0}},
      {"display dialog \"hi\"", "Expected \u201cdo\u201d but found \u201cdisplay\u201d.", {0, 7}},
      {"do shellscript \"ls\"", "Expected \u201cshell\u201d but found \u201cshellscript\u201d.", {3, 11}},
      {"do shell script ls", "Expected a string but found \u201cls\u201d.", {16, 2}},
      {"do shell script \"ls", "Expected \u201c\"\u201d but found end of script.", {16, 3}},
      {"do shell script \"ends in \\\"", "Expected \u201c\"\u201d but found end of script.", {16, 11}},
      {"do shell script \"a\\qb\"", "Unknown escape \u201c\\q\u201d in a string.", {18, 2}},
      {"do shell script \"ls\" with administrator", "Expected \u201cprivileges\u201d but found end of script.",
       {39, 0}},
      {"do shell script \"ls\" with sudo privileges",
       "Expected \u201cadministrator\u201d but found \u201csudo\u201d.", {26, 4}},
      {"do shell script \"ls\" \"again\"", "Expected \u201cwith\u201d but found \u201c\"again\"\u201d.", {21, 7}},
      {"do shell script \"ls\"\nbeep", "Expected end of line but found \u201cbeep\u201d.", {21, 4}},
      // Ranges count UTF-16 units: the emoji before the error takes two.
      {"do shell script \"\xf0\x9f\x98\x80\" x", "Expected \u201cwith\u201d but found \u201cx\u201d.", {21, 1}},
  };
  for (const auto& c : cases) {
    auto runner = install();
    AppleScript script(c.source);
    Dictionary info;
    EXPECT_FALSE(script.executeAndReturnError(&info).has_value()) << c.source;
    EXPECT_FALSE(script.isCompiled());
    EXPECT_TRUE(runner->calls.empty()) << c.source;
    EXPECT_EQ(info.get(foundation::kAppleScriptErrorNumber).intValue(), foundation::kAppleScriptSyntaxError);
    EXPECT_EQ(info.get(foundation::kAppleScriptErrorMessage).stringValue(), c.message) << c.source;
    EXPECT_EQ(info.get(foundation::kAppleScriptErrorBriefMessage).stringValue(), c.message) << c.source;
    EXPECT_EQ(errorRange(info), c.range) << c.source;
  }
}

TEST_F(AppleScriptTest, RunOutcomesBecomeResultsOrErrorInformation) {
  struct Case {
    const char* name;
    ShellRunner::Result answer;
    std::optional<std::string> result;
    long number;  // checked when there is no result
    std::string message;
  } cases[] = {
      {"output loses one line feed", {Outcome::Ran, 0, "a\n\n", "ignored"}, "a\n", 0, ""},
      {"no output", {Outcome::Ran, 0, "", ""}, "", 0, ""},
      {"failure gives stderr and status", {Outcome::Ran, 3, "partial", "cp: denied\n"}, std::nullopt, 3,
       "cp: denied"},
      {"silent failure", {Outcome::Ran, 1, "", ""}, std::nullopt, 1, "The command exited with a non-zero status."},
      {"dismissed dialog", {Outcome::AuthorizationRefused, 126, "", "dismissed"}, std::nullopt, -128,
       "User canceled."},
      {"no elevator", {Outcome::LaunchFailed, -1, "", "pkexec missing\n"}, std::nullopt, -10004, "pkexec missing"},
      {"no rights, with the elevator's reason",
       {Outcome::AuthorizationUnavailable, 127, "", "Error executing command as another user: Not authorized\n\n"},
       std::nullopt, -10004,
       "Administrator rights could not be obtained: Error executing command as another user: Not authorized"},
      {"no rights, silently", {Outcome::AuthorizationUnavailable, 127, "", ""}, std::nullopt, -10004,
       "Administrator rights could not be obtained."},
  };
  for (const auto& c : cases) {
    install(c.answer);
    AppleScript script("do shell script \"x\" with administrator privileges");
    Dictionary info;
    auto result = script.executeAndReturnError(&info);
    EXPECT_EQ(result, c.result) << c.name;
    if (c.result) {
      EXPECT_TRUE(info.empty()) << c.name;
      continue;
    }
    EXPECT_EQ(info.get(foundation::kAppleScriptErrorNumber).intValue(), c.number) << c.name;
    EXPECT_EQ(info.get(foundation::kAppleScriptErrorMessage).stringValue(), c.message) << c.name;
    EXPECT_EQ(info.get(foundation::kAppleScriptErrorBriefMessage).stringValue(), c.message) << c.name;
  }
}

TEST_F(AppleScriptTest, ErrorInformationIsOptional) {
  install({Outcome::Ran, 2, "", "bad"});
  EXPECT_FALSE(AppleScript("do shell script \"x\"").executeAndReturnError(nullptr).has_value());
  EXPECT_FALSE(AppleScript("nonsense").executeAndReturnError(nullptr).has_value());
}

// The real runner, as the current user, and through a stand-in elevator so that the elevated path
// runs for real without a password. None of it writes outside a temporary folder.
class SystemShellRunnerTest : public testing::Test {
 protected:
  std::string writeElevator(const std::string& body) {
    std::string path = dir.file("elevator");
    EXPECT_TRUE(test::writeFile(path, "#!/bin/sh\n" + body + "\n"));
    chmod(path.c_str(), 0755);
    return path;
  }
  SystemShellRunner elevated(std::string elevator) {
    return SystemShellRunner({std::move(elevator), /*runningAsRoot=*/false});
  }
  void TearDown() override { AppleScript::setRunnerForTesting(nullptr); }
  test::TempDir dir{"qm-shell"};
};

TEST_F(SystemShellRunnerTest, RunsTheCommandAndCollectsItsOutputAndStatus) {
  SystemShellRunner runner;
  auto result = runner.run("printf out; printf err >&2; exit 4", false);
  EXPECT_EQ(result.outcome, Outcome::Ran);
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(result.standardOutput, "out");
  EXPECT_EQ(result.standardError, "err");

  // More output than a pipe holds must not stall the child.
  result = runner.run("head -c 300000 /dev/zero | tr '\\0' x; head -c 200000 /dev/zero | tr '\\0' y >&2", false);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.standardOutput, std::string(300000, 'x'));
  EXPECT_EQ(result.standardError, std::string(200000, 'y'));

  result = runner.run("kill -TERM $$", false);
  EXPECT_EQ(result.status, 128 + 15);
}

TEST_F(SystemShellRunnerTest, RootRunsPrivilegedCommandsDirectly) {
  // A missing elevator shows that it was not needed.
  SystemShellRunner runner({"/nonexistent/elevator", /*runningAsRoot=*/true});
  auto result = runner.run("printf ok", true);
  EXPECT_EQ(result.outcome, Outcome::Ran);
  EXPECT_EQ(result.standardOutput, "ok");
}

TEST_F(SystemShellRunnerTest, TheElevatedCommandKeepsItsOwnStatusEvenWhenItLooksLikeARefusal) {
  auto runner = elevated(writeElevator("exec \"$@\""));
  auto result = runner.run("printf 'a b'; printf warn >&2", true);
  EXPECT_EQ(result.outcome, Outcome::Ran);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.standardOutput, "a b");
  EXPECT_EQ(result.standardError, "warn");

  // 127 is what the shell says for a missing command; it must not read as a refusal.
  result = runner.run("no-such-command-anywhere", true);
  EXPECT_EQ(result.outcome, Outcome::Ran);
  EXPECT_EQ(result.status, 127);
  EXPECT_NE(result.standardError.find("not found"), std::string::npos) << result.standardError;
}

TEST_F(SystemShellRunnerTest, RefusalsAndMissingElevatorsAreReportedNeverSuccess) {
  struct Case {
    const char* name;
    std::string elevatorBody;  // empty: no elevator at all
    Outcome outcome;
    std::string standardError;  // checked where the elevator's own words are kept
  } cases[] = {
      {"dismissed", "echo 'Request dismissed' >&2; exit 126", Outcome::AuthorizationRefused, "Request dismissed\n"},
      {"not authorized", "echo 'Not authorized' >&2; exit 127", Outcome::AuthorizationUnavailable,
       "Not authorized\n"},
      {"elevator broke", "echo 'strange failure' >&2; exit 1", Outcome::LaunchFailed, ""},
      {"elevator missing", "", Outcome::LaunchFailed, ""},
  };
  for (const auto& c : cases) {
    std::string marker = dir.file("ran");
    std::string elevator = c.elevatorBody.empty() ? dir.file("missing-elevator") : writeElevator(c.elevatorBody);
    auto result = elevated(elevator).run("touch " + foundation::shellQuoted(marker), true);
    EXPECT_EQ(result.outcome, c.outcome) << c.name;
    EXPECT_NE(result.status, 0) << c.name;
    EXPECT_TRUE(test::readFile(marker).empty() && access(marker.c_str(), F_OK) != 0) << c.name;
    if (!c.standardError.empty()) {
      EXPECT_EQ(result.standardError, c.standardError) << c.name;
    }
  }
  auto viaPath = elevated("quillmere-no-such-elevator").run("true", true);
  EXPECT_EQ(viaPath.outcome, Outcome::LaunchFailed);
  EXPECT_NE(viaPath.standardError.find("quillmere-no-such-elevator"), std::string::npos);
}

TEST_F(SystemShellRunnerTest, ACommandWithANulByteIsRefused) {
  SystemShellRunner runner;
  auto result = runner.run(std::string("true\0rm -rf /", 13), false);
  EXPECT_EQ(result.outcome, Outcome::LaunchFailed);
}

// The road the compiler takes: a path with every awkward character, quoted for the shell and
// escaped into the script, must be copied as itself and run nothing else.
TEST_F(SystemShellRunnerTest, AwkwardPathsCrossBothQuotingLayersIntact) {
  std::string folder = dir.file("it's \"quoted\" \\ $(touch injected) `touch injected2`");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  std::string staging = folder + "/hosts";
  std::string target = dir.file("etc-hosts");
  ASSERT_TRUE(test::writeFile(staging, "127.0.0.1 localhost\n"));
  AppleScript::setRunnerForTesting(
      std::make_shared<SystemShellRunner>(SystemShellRunner::Options{writeElevator("exec \"$@\""), false}));

  std::string command = "/bin/cp " + foundation::shellQuoted(staging) + " " + foundation::shellQuoted(target) +
                        " && printf done";
  AppleScript script("do shell script \"" + foundation::escapedForScriptStringLiteral(command) +
                     "\" with administrator privileges");
  Dictionary info;
  auto result = script.executeAndReturnError(&info);
  ASSERT_TRUE(result.has_value()) << info.get(foundation::kAppleScriptErrorMessage).stringValue();
  EXPECT_EQ(*result, "done");
  EXPECT_EQ(test::readFile(target), "127.0.0.1 localhost\n");
  EXPECT_NE(access("injected", F_OK), 0);
  EXPECT_NE(access(dir.file("injected").c_str(), F_OK), 0);
  EXPECT_NE(access("injected2", F_OK), 0);
}

TEST_F(SystemShellRunnerTest, AFailingCommandReportsItsStandardErrorThroughTheScript) {
  AppleScript script("do shell script \"/bin/cp /nonexistent/source " + dir.file("x") + "\"");
  Dictionary info;
  EXPECT_FALSE(script.executeAndReturnError(&info).has_value());
  EXPECT_EQ(info.get(foundation::kAppleScriptErrorNumber).intValue(), 1);
  EXPECT_NE(info.get(foundation::kAppleScriptErrorMessage).stringValue().find("/nonexistent/source"),
            std::string::npos);
}

}  // namespace
