#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "hostfiles/ApplicationExtras.h"
#include "hostfiles/Compiler.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/ShellQuoting.h"
#include "tests/support/ChildProcess.h"
#include "tests/hostfiles/HostfilesFixture.h"

namespace {

using foundation::ShellRunner;
using hftest::HostfilesTest;

const std::string kEmptyBlock = "\n# QUILLMERE START\n# QUILLMERE STOP\n";

std::string block(const std::string& body) { return "\n# QUILLMERE START\n" + body + "# QUILLMERE STOP\n"; }

struct Row {
  const char* name;
  std::string hosts;
  // Hostfiles in store order: contents (nullopt for absent), enabled, preview row.
  struct File {
    std::optional<std::string> contents;
    bool enabled = true;
    bool preview = false;
  };
  std::vector<File> files;
  std::string expected;
};

class CompilerTest : public HostfilesTest {
 protected:
  void insert(const std::vector<Row::File>& files) {
    for (const auto& file : files) {
      auto record = file.preview ? HostGroup::insertPreviewRow(context()) : HostGroup::insertLocalHostfile(context());
      record->setIsEnabled(file.enabled);
      record->setContents(file.contents);
      save();  // one save per record keeps the store's order the insertion order
    }
  }
  std::string compiled() {
    foundation::Error error;
    auto text = Compiler::compile(&error);
    EXPECT_TRUE(text) << error.description();
    return text.value_or("<failed>");
  }
};

TEST_F(CompilerTest, CompilesTheTableOfHostsFilesAndHostfileSets) {
  const std::string user = "127.0.0.1 localhost\n::1 localhost\n";
  const std::vector<Row> rows = {
      {"no markers", "127.0.0.1 localhost\n\n::1 localhost", {{"10.0.0.1 a"}},
       user + block("10.0.0.1 a\n")},
      {"one block replaced in place", "# top\n# QUILLMERE START\nold\n# QUILLMERE STOP\n# bottom\n", {{"10.0.0.1 a"}},
       "# top\n" + block("10.0.0.1 a\n") + "# bottom\n"},
      {"start without stop drops the rest", "keep\n# QUILLMERE START\nlost\nlost too\n", {{"x"}},
       "keep\n" + block("x\n")},
      {"two blocks: only the first is replaced",
       "a\n# QUILLMERE START\n1\n# QUILLMERE STOP\nb\n# QUILLMERE START\n2\n# QUILLMERE STOP\n", {{"new"}},
       "a\n" + block("new\n") + "b\n# QUILLMERE START\n2\n# QUILLMERE STOP\n"},
      {"empty file", "", {{"x"}}, block("x\n")},
      {"only line feeds", "\n\n\n", {}, kEmptyBlock},
      {"no enabled hostfiles", user, {{"off", false}}, user + kEmptyBlock},
      {"disabled, preview and absent rows left out", user,
       {{"one"}, {"off", false}, {"preview text", true, true}, {std::nullopt}, {""}, {"two\nthree"}},
       user + block("one\n\ntwo\nthree\n")},
      {"a marker with a trailing blank is an ordinary line", "# QUILLMERE START \nx\n", {},
       "# QUILLMERE START \nx\n" + kEmptyBlock},
      {"marker lines inside a hostfile are left out", user,
       {{"a\n# QUILLMERE STOP\nb\n# QUILLMERE START"}}, user + block("a\nb\n")},
      {"a carriage return pair does not split", "a\r\nb\n", {}, "a\r\nb\n" + kEmptyBlock},
      {"a hostfile ending in a carriage return cannot hide the stop marker", user, {{"x\r"}},
       user + block("x\r\n\n")},
  };
  setUpStack();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    DSManagedObject::DS_truncateAll(HostGroup::kEntityName);
    save();
    insert(row.files);
    ASSERT_TRUE(test::writeFile(hostsPath(), row.hosts));
    const std::string first = compiled();
    EXPECT_EQ(first, row.expected);
    // Applying again with the same hostfiles changes nothing, marker lines in hostfiles included.
    ASSERT_TRUE(test::writeFile(hostsPath(), first));
    EXPECT_EQ(compiled(), first);
  }
}

// The block merged into its own output gives that output again, whatever line ending the hosts
// file's lines have: a lone carriage return at the end of a line must not pair with the line feed
// written after it and swallow the next one.
TEST(CompilerMergeTest, MergingTheOutputAgainChangesNothing) {
  const std::string plain = Compiler::compileBlock({"10.0.0.1 a"});
  const std::vector<std::string> blocks = {
      plain, Compiler::compileBlock({}), Compiler::compileBlock({"x\r", "y\r\n", std::nullopt, "", "z\n\r"})};
  struct Case {
    const char* name;
    std::string hosts;
    std::string once;  // the first merge with `plain`
  };
  const std::vector<Case> cases = {
      {"a lone carriage return", "\r", "\r\n\n" + plain},
      {"a last line ending in a lone return", "a\nb\r", "a\nb\r\n\n" + plain},
      {"a last line ending in a return pair", "a\r\n", "a\r\n\n" + plain},
      {"a last line ending in a line feed", "a\n", "a\n" + plain},
      {"no line ending", "a", "a\n" + plain},
      {"a return after the block", "# QUILLMERE START\nold\n# QUILLMERE STOP\nb\r", plain + "b\r\n\n"},
      {"a return before the block", "a\r\n# QUILLMERE START\nold\n# QUILLMERE STOP\n",
       "a\r\n# QUILLMERE START\nold\n# QUILLMERE STOP\n" + plain},  // the pair hides the marker
      {"returns on their own", "\r\r\n\r\n\n\r", "\r\r\n\r\n\n\r\n\n" + plain},
      {"a start marker ending in a return", "# QUILLMERE START\r", "# QUILLMERE START\r\n\n" + plain},
      {"a return inside an unclosed block", "# QUILLMERE START\nx\r", plain},
      {"a return pair at the end of the old block", "# QUILLMERE START\nx\r\n# QUILLMERE STOP\r\n", plain},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Compiler::mergeBlock(c.hosts, plain), c.once);
    for (const auto& block : blocks) {
      const std::string once = Compiler::mergeBlock(c.hosts, block);
      EXPECT_EQ(Compiler::mergeBlock(once, block), once);
    }
  }
}

TEST_F(CompilerTest, CompilesARealisticHostsFileFixture) {
  setUpStack();
  insert({{"0.0.0.0 ads.example\n0.0.0.0 tracker.example"}, {"192.168.1.10 nas.lan"}});
  ASSERT_TRUE(test::writeFile(hostsPath(), test::readFile(std::string(QM_TEST_FIXTURES) + "/debian.hosts")));
  EXPECT_EQ(compiled(), test::readFile(std::string(QM_TEST_FIXTURES) + "/debian.compiled"));
}

TEST_F(CompilerTest, CompileFailsWhenTheHostsFileOrTheStoreCannotBeRead) {
  foundation::Error error;
  ASSERT_TRUE(test::writeFile(hostsPath(), "x\n"));
  EXPECT_FALSE(Compiler::compile(&error));  // no stack yet
  EXPECT_EQ(error.code(), Compiler::kStoreUnavailable);

  setUpStack();
  foundation::SystemPaths::setHostsFilePathForTesting(dir.file("missing"));
  EXPECT_FALSE(Compiler::compile(&error));
  EXPECT_EQ(error.domain(), Compiler::kErrorDomain);
  EXPECT_EQ(error.code(), Compiler::kHostsFileUnreadable);
}

// --- apply through the recording runner -------------------------------------------------------

class ApplyTest : public CompilerTest {
 protected:
  void SetUp() override {
    CompilerTest::SetUp();
    setUpStack();
    ASSERT_TRUE(test::writeFile(hostsPath(), "127.0.0.1 localhost\n"));
    auto record = HostGroup::insertLocalHostfile(context());
    save();
    record->setContents(std::string("10.0.0.1 a"));  // an edit: the set now holds the record
    save();
    ASSERT_TRUE(ChangeTracker::sharedInstance().isDirty());
    notes = 0;
  }

  // Applies, or flushes, as the application does, and waits for the outcome on the main queue.
  static std::optional<foundation::Error> applied() { return outcomeOf(Compiler::apply); }
  static std::optional<foundation::Error> flushed() { return outcomeOf(Compiler::flushDNSCache); }

  static std::optional<foundation::Error> outcomeOf(void (*start)(Compiler::Completion)) {
    std::optional<std::optional<foundation::Error>> outcome;
    start([&](std::optional<foundation::Error> failure) { outcome.emplace(std::move(failure)); });
    if (!foundation::pumpMainUntil([&] { return outcome.has_value(); }, 20)) {
      return foundation::Error("test", 0, {{foundation::kLocalizedDescriptionKey, foundation::Value("no outcome")}});
    }
    return *outcome;
  }
};

TEST_F(ApplyTest, SuccessRunsTheExactCommandLogsTheOutputAndClearsTheSet) {
  runner->next.standardOutput = "done\n";
  EXPECT_FALSE(applied());

  const std::string staging = ApplicationExtras::tmpEtcHostsPath();
  EXPECT_EQ(test::readFile(staging), "127.0.0.1 localhost\n" + block("10.0.0.1 a\n"));
  ASSERT_EQ(runner->calls.size(), 1u);
  EXPECT_EQ(runner->calls[0].first, Compiler::copyCommand(staging));
  EXPECT_NE(runner->calls[0].first.find("'" + staging + "'"), std::string::npos);
  EXPECT_NE(runner->calls[0].first.find("'" + hostsPath() + "'"), std::string::npos);
  EXPECT_TRUE(runner->calls[0].first.ends_with(" && flush-for-test"));
  EXPECT_TRUE(runner->calls[0].second);
  EXPECT_EQ(Compiler::scriptSource("a \"b\" \\c"), "do shell script \"a \\\"b\\\" \\\\c\" with administrator privileges");
  EXPECT_EQ(test::readFile(logPath()), "done");
  EXPECT_EQ(test::readFile(hostsPath()), "127.0.0.1 localhost\n");  // the runner only recorded
  EXPECT_FALSE(ChangeTracker::sharedInstance().isDirty());
  EXPECT_EQ(notes, 1);
}

TEST_F(ApplyTest, AFailedOrRefusedRunLogsTheErrorAndKeepsTheSet) {
  struct Case {
    const char* name;
    ShellRunner::Result result;
    long number;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"command failed", {ShellRunner::Result::Outcome::Ran, 1, "", "cp: denied"}, 1, "cp: denied"},
      {"refused", {ShellRunner::Result::Outcome::AuthorizationRefused, 126, "", ""}, -128, "User canceled."},
      {"no rights to be had",
       {ShellRunner::Result::Outcome::AuthorizationUnavailable, 127, "", "No authentication agent found.\n"}, -10004,
       "Administrator rights could not be obtained: No authentication agent found."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    runner->next = c.result;
    auto error = applied();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), Compiler::kPrivilegedRunFailed);
    EXPECT_EQ(error->localizedDescription(), c.message);
    const std::string log = test::readFile(logPath());
    EXPECT_EQ(log.rfind("error: Optional({", 0), 0u) << log;
    EXPECT_NE(log.find(std::string("NSAppleScriptErrorMessage = \"") + c.message + "\";"), std::string::npos) << log;
    EXPECT_NE(log.find("NSAppleScriptErrorNumber = " + std::to_string(c.number) + ";"), std::string::npos) << log;
    EXPECT_TRUE(ChangeTracker::sharedInstance().isDirty());
    EXPECT_EQ(notes, 0);
  }
}

TEST_F(ApplyTest, NothingRunsWhenAFileCannotBeReadOrWritten) {
  struct Case {
    const char* name;
    std::function<void()> breakIt;
    long code;
  };
  const std::vector<Case> cases = {
      {"hosts file unreadable", [&] { foundation::SystemPaths::setHostsFilePathForTesting(dir.file("none")); },
       Compiler::kHostsFileUnreadable},
      {"staging folder is a file",
       [&] {
         setenv("XDG_DATA_HOME", dir.file("data-file").c_str(), 1);
         test::writeFile(dir.file("data-file"), "not a folder");
       },
       Compiler::kStagingWriteFailed},
      {"log folder missing",
       [&] { foundation::SystemPaths::setPrivilegedRunLogPathForTesting(dir.file("no/such/folder/log")); },
       Compiler::kLogWriteFailed},
  };
  const char* savedData = std::getenv("XDG_DATA_HOME");
  const std::string data = savedData ? savedData : "";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.breakIt();
    auto error = applied();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_TRUE(runner->calls.empty());
    EXPECT_TRUE(ChangeTracker::sharedInstance().isDirty());
    EXPECT_EQ(test::readFile(dir.file("etc-hosts")), "127.0.0.1 localhost\n");
    foundation::SystemPaths::setHostsFilePathForTesting(hostsPath());
    foundation::SystemPaths::setPrivilegedRunLogPathForTesting(logPath());
    setenv("XDG_DATA_HOME", data.c_str(), 1);
  }
}

TEST_F(ApplyTest, TheStandAloneFlushLeavesTheHostfilesDirty) {
  EXPECT_FALSE(flushed());
  ASSERT_EQ(runner->calls.size(), 1u);
  EXPECT_EQ(runner->calls[0].first, "flush-for-test");
  EXPECT_EQ(test::readFile(logPath()), "");
  EXPECT_TRUE(ChangeTracker::sharedInstance().isDirty());
  EXPECT_EQ(notes, 0);
}

// The password may be asked for a long while: the run leaves the main thread, and the records
// may change meanwhile. The outcome comes back on the main thread, and what changed after the
// texts were read is not marked as applied.
TEST_F(ApplyTest, TheRunLeavesTheMainThreadAndAChangeMadeMeanwhileStaysDirty) {
  auto later = hostfile(std::string("10.0.0.3 c"));
  save();
  auto untouched = ChangeTracker::sharedInstance().dirtyHostGroups().front();
  ASSERT_EQ(ChangeTracker::sharedInstance().dirtyGUIDs().size(), 2u);
  bool ranOnMainThread = true;
  runner->perform = [&](const std::string&) {
    ranOnMainThread = dispatch::Queue::isMainThread();
    return ShellRunner::Result{};
  };
  runner->hold();
  std::optional<std::optional<foundation::Error>> outcome;
  bool completedOnMainThread = false;

  Compiler::apply([&](std::optional<foundation::Error> failure) {
    completedOnMainThread = dispatch::Queue::isMainThread();
    outcome.emplace(std::move(failure));
  });
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return runner->isWaiting(); }));
  EXPECT_FALSE(outcome);
  later->setContents(std::string("10.0.0.4 changed during the run"));
  runner->release();
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return outcome.has_value(); }));

  EXPECT_FALSE(*outcome);
  EXPECT_FALSE(ranOnMainThread);
  EXPECT_TRUE(completedOnMainThread);
  EXPECT_EQ(test::readFile(ApplicationExtras::tmpEtcHostsPath()),
            "127.0.0.1 localhost\n" + block("10.0.0.1 a\n10.0.0.3 c\n"));
  EXPECT_EQ(ChangeTracker::sharedInstance().dirtyGUIDs().keys(), std::vector<std::string>{*later->guid()});
  EXPECT_FALSE(untouched->isDirty());
  EXPECT_TRUE(later->isDirty());
}

// Even a failure found at once is told on the main queue, after apply() returned, as every other.
TEST_F(ApplyTest, WithoutAStoreNothingRunsAndTheFailureComesLater) {
  DataStack::cleanUp();
  bool told = false;
  std::optional<foundation::Error> failure;
  Compiler::apply([&](std::optional<foundation::Error> error) {
    told = true;
    failure = std::move(error);
  });
  EXPECT_FALSE(told);
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return told; }));
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->code(), Compiler::kStoreUnavailable);
  EXPECT_TRUE(runner->calls.empty());
}

// --- the log ------------------------------------------------------------------------------------

// Without QM_LOG_PATH, the log is the user's own, in a folder of theirs made for them alone.
TEST_F(ApplyTest, TheDefaultLogIsMadeInTheUsersStateFolder) {
  foundation::SystemPaths::setPrivilegedRunLogPathForTesting(std::nullopt);
  const std::string state = dir.file("state");
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  runner->next.standardOutput = "flushed\n";

  EXPECT_FALSE(flushed());

  EXPECT_EQ(test::readFile(state + "/Quillmere/quillmere.log"), "flushed");
  struct stat info {};
  ASSERT_EQ(::stat((state + "/Quillmere").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  setenv("XDG_STATE_HOME", (std::string(std::getenv("QM_TEST_HOME")) + "/.local/state").c_str(), 1);
}

// A shared sticky folder, as /tmp is, holding a log that another account made: that account's
// file cannot be replaced, so a log kept there would stop every other user's run. The default
// log is not there. Another account is needed for this, so the child runs as "nobody".
struct StickyFolderCase {
  static inline std::string sharedLog;
  static inline std::string nobodyState;

  static int runAsNobody() {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 10;
    foundation::SystemPaths::setPrivilegedRunLogPathForTesting(sharedLog);
    auto error = Compiler::runAsAdministrator("true");
    if (!error || error->code() != Compiler::kLogWriteFailed) return 11;  // the fault, as it was
    foundation::SystemPaths::setPrivilegedRunLogPathForTesting(std::nullopt);
    setenv("XDG_STATE_HOME", nobodyState.c_str(), 1);
    if (auto failure = Compiler::runAsAdministrator("true")) {
      test::trace(failure->description().c_str());
      return 12;
    }
    return 0;
  }
};

TEST_F(ApplyTest, ALogThatAnotherAccountOwnsInASharedFolderStopsNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a file of another account needs root";
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string shared = dir.file("shared-tmp");
  ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  StickyFolderCase::sharedLog = shared + "/quillmere.log";
  ASSERT_TRUE(test::writeFile(StickyFolderCase::sharedLog, "another account's run\n"));  // root's
  const std::string nobodyHome = dir.file("nobody-home");
  ASSERT_EQ(::mkdir(nobodyHome.c_str(), 0700), 0);
  ASSERT_EQ(::chown(nobodyHome.c_str(), 65534, 65534), 0);
  StickyFolderCase::nobodyState = nobodyHome + "/state";

  const auto child = test::runInChild(StickyFolderCase::runAsNobody);

  EXPECT_TRUE(child.exitedWith(0)) << child.describe();
  EXPECT_EQ(test::readFile(StickyFolderCase::sharedLog), "another account's run\n");
  struct stat info {};
  ASSERT_EQ(::stat((StickyFolderCase::nobodyState + "/Quillmere/quillmere.log").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, 65534u);
}

// --- replacing the hosts file, with the recorded command run for real -------------------------------

class ReplaceTest : public ApplyTest {
 protected:
  void SetUp() override {
    ApplyTest::SetUp();
    foundation::SystemPaths::setFlushCacheCommandForTesting(std::string("true"));
    runner->perform = [](const std::string& command) { return foundation::SystemShellRunner().run(command, false); };
    compiledText = "127.0.0.1 localhost\n" + block("10.0.0.1 a\n");
  }

  static ino_t inodeOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
  }

  // Files the command may have left in the hosts file's folder under a temporary name.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with(".etc-hosts.")) found.push_back(name);
    }
    return found;
  }

  std::string compiledText;
};

TEST_F(ReplaceTest, TheNewTextIsRenamedOverTheHostsFileWhichIsNeverWrittenInPlace) {
  const ino_t before = inodeOf(hostsPath());
  // A reader holding the old file open must keep seeing the old text whole.
  FILE* old = std::fopen(hostsPath().c_str(), "r");
  ASSERT_NE(old, nullptr);

  EXPECT_FALSE(applied());

  EXPECT_EQ(test::readFile(hostsPath()), compiledText);
  struct stat info {};
  ASSERT_EQ(::stat(hostsPath().c_str(), &info), 0);
  EXPECT_NE(info.st_ino, before);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_EQ(info.st_uid, ::geteuid());  // the privileged shell's user: root in a real apply
  char text[64] = {};
  EXPECT_EQ(std::string(text, std::fread(text, 1, sizeof text, old)), "127.0.0.1 localhost\n");
  std::fclose(old);
  EXPECT_TRUE(leftovers().empty());
  EXPECT_FALSE(ChangeTracker::sharedInstance().isDirty());
}

TEST_F(ReplaceTest, AFailedWriteOfTheNewFileLeavesTheHostsFileAsItWas) {
  const ino_t before = inodeOf(hostsPath());
  // The staging file goes away before the privileged copy reads it.
  runner->perform = [](const std::string& command) {
    std::filesystem::remove(ApplicationExtras::tmpEtcHostsPath());
    return foundation::SystemShellRunner().run(command, false);
  };

  auto error = applied();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), Compiler::kPrivilegedRunFailed);
  EXPECT_EQ(test::readFile(hostsPath()), "127.0.0.1 localhost\n");
  EXPECT_EQ(inodeOf(hostsPath()), before);
  EXPECT_TRUE(leftovers().empty());
  EXPECT_TRUE(ChangeTracker::sharedInstance().isDirty());
}

TEST_F(ReplaceTest, ASymbolicLinkIsWrittenThroughAndStaysALink) {
  const std::string target = dir.file("real-hosts");
  ASSERT_TRUE(test::writeFile(target, "127.0.0.1 localhost\n"));
  ASSERT_EQ(::unlink(hostsPath().c_str()), 0);
  ASSERT_EQ(::symlink(target.c_str(), hostsPath().c_str()), 0);

  EXPECT_FALSE(applied());

  struct stat info {};
  ASSERT_EQ(::lstat(hostsPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(test::readFile(target), compiledText);
  EXPECT_TRUE(leftovers().empty());
}

// A container's /etc/hosts is a file bind-mounted over the real one, which no rename can
// replace: the command falls back to copying in place. A private mount namespace gives the
// command such a hosts file; its writes go to the bind's source.
TEST_F(ReplaceTest, ABindMountedHostsFileIsCopiedInPlace) {
  const std::string source = dir.file("mounted-hosts");
  ASSERT_TRUE(test::writeFile(source, "127.0.0.1 localhost\n"));
  auto inNamespace = [&](const std::string& command) {
    return foundation::SystemShellRunner().run(
        "unshare --user --map-root-user --mount /bin/sh -c 'mount --bind \"$1\" \"$2\" && eval \"$3\"' sh " +
            foundation::shellQuoted(source) + " " + foundation::shellQuoted(hostsPath()) + " " +
            foundation::shellQuoted(command),
        false);
  };
  const auto probe = inNamespace("true");
  if (probe.outcome != ShellRunner::Result::Outcome::Ran || probe.status != 0) {
    GTEST_SKIP() << "no private mount namespaces here: " << probe.standardError;
  }
  runner->perform = inNamespace;

  EXPECT_FALSE(applied());

  EXPECT_EQ(test::readFile(source), compiledText);
  EXPECT_EQ(test::readFile(hostsPath()), "127.0.0.1 localhost\n");  // the file under the mount
  EXPECT_TRUE(leftovers().empty());
  EXPECT_FALSE(ChangeTracker::sharedInstance().isDirty());
}

// Where the folder takes no new file (a read-only folder around a writable hosts file), the
// copy goes in place. Root writes into any folder, so this holds only for other users.
TEST_F(ReplaceTest, AFolderThatTakesNoNewFileGetsTheCopyInPlace) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may create files in any folder";
  const std::string folder = dir.file("locked");
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  const std::string hosts = folder + "/hosts";
  ASSERT_TRUE(test::writeFile(hosts, "127.0.0.1 localhost\n"));
  foundation::SystemPaths::setHostsFilePathForTesting(hosts);
  const ino_t before = inodeOf(hosts);
  ASSERT_EQ(::chmod(folder.c_str(), 0500), 0);

  EXPECT_FALSE(applied());
  ::chmod(folder.c_str(), 0700);

  EXPECT_EQ(test::readFile(hosts), compiledText);
  EXPECT_EQ(inodeOf(hosts), before);
}

// --- apply through the real runner --------------------------------------------------------------

TEST_F(ApplyTest, TheRealRunnerCopiesThroughPathsHoldingQuotes) {
  // Both paths hold every character that could break the command or the script literal.
  const std::string odd = dir.file("it's \"odd\" \\ $(touch pwned) `x`");
  ASSERT_EQ(mkdir(odd.c_str(), 0700), 0);
  setenv("XDG_DATA_HOME", (odd + "/data").c_str(), 1);
  const std::string hosts = odd + "/hosts 'file'";
  ASSERT_TRUE(test::writeFile(hosts, "127.0.0.1 localhost\n"));
  foundation::SystemPaths::setHostsFilePathForTesting(hosts);
  foundation::SystemPaths::setFlushCacheCommandForTesting("echo flushed > " + foundation::shellQuoted(dir.file("flushed")));
  // Root (as in CI) runs the command directly; elsewhere the runner is told it is root so that
  // the same direct path runs without asking for a password.
  foundation::SystemShellRunner::Options options;
  if (geteuid() != 0) options.runningAsRoot = true;
  foundation::AppleScript::setRunnerForTesting(std::make_shared<foundation::SystemShellRunner>(options));

  EXPECT_FALSE(applied());
  EXPECT_EQ(test::readFile(hosts), "127.0.0.1 localhost\n" + block("10.0.0.1 a\n"));
  EXPECT_EQ(test::readFile(dir.file("flushed")), "flushed\n");
  EXPECT_EQ(access("pwned", F_OK), -1);
  EXPECT_EQ(access(dir.file("pwned").c_str(), F_OK), -1);
  EXPECT_EQ(test::readFile(logPath()), "");
  EXPECT_FALSE(ChangeTracker::sharedInstance().isDirty());

  // A failing command through the real shell: its status reaches the log and the set stays.
  auto record = HostGroup::insertLocalHostfile(context());
  record->setContents(std::string("10.0.0.2 b"));
  foundation::SystemPaths::setFlushCacheCommandForTesting(std::string("echo broken >&2; exit 3"));
  auto error = applied();
  ASSERT_TRUE(error);
  EXPECT_EQ(test::readFile(logPath()).rfind("error: Optional({", 0), 0u);
  EXPECT_NE(test::readFile(logPath()).find("NSAppleScriptErrorNumber = 3;"), std::string::npos);
  EXPECT_TRUE(ChangeTracker::sharedInstance().isDirty());
  setenv("XDG_DATA_HOME", (std::string(std::getenv("QM_TEST_HOME")) + "/.local/share").c_str(), 1);
}

}  // namespace
