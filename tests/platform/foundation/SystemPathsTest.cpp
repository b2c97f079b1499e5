#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/foundation/ShellQuoting.h"
#include "platform/foundation/ShellRunner.h"
#include "platform/foundation/SystemPaths.h"
#include "tests/support/TempDir.h"

namespace {

using foundation::SystemPaths;

class SystemPathsTest : public testing::Test {
 protected:
  void SetUp() override { clear(); }
  void TearDown() override { clear(); }
  static void clear() {
    for (const char* name : {"QM_HOSTS_PATH", "QM_FLUSH_COMMAND", "QM_LOG_PATH", "QM_MACHINE_ID_PATH"}) unsetenv(name);
    SystemPaths::setHostsFilePathForTesting(std::nullopt);
    SystemPaths::setFlushCacheCommandForTesting(std::nullopt);
    SystemPaths::setPrivilegedRunLogPathForTesting(std::nullopt);
    SystemPaths::setMachineIdPathForTesting(std::nullopt);
  }
};

TEST_F(SystemPathsTest, EachPathFallsBackFromOverrideToEnvironmentToTheSystemDefault) {
  struct Case {
    const char* variable;
    std::string (*get)();
    void (*set)(std::optional<std::string>);
    std::string systemDefault;
  } cases[] = {
      {"QM_HOSTS_PATH", SystemPaths::hostsFilePath, SystemPaths::setHostsFilePathForTesting, "/etc/hosts"},
      {"QM_LOG_PATH", SystemPaths::privilegedRunLogPath, SystemPaths::setPrivilegedRunLogPathForTesting,
       SystemPaths::defaultPrivilegedRunLogPath()},
      {"QM_MACHINE_ID_PATH", SystemPaths::machineIdPath, SystemPaths::setMachineIdPathForTesting, "/etc/machine-id"},
      {"QM_FLUSH_COMMAND", SystemPaths::flushCacheCommand, SystemPaths::setFlushCacheCommandForTesting,
       foundation::shellQuoted(SystemPaths::flushHelperPath())},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.get(), c.systemDefault) << c.variable;
    setenv(c.variable, "", 1);  // empty counts as unset
    EXPECT_EQ(c.get(), c.systemDefault) << c.variable;
    setenv(c.variable, "/from/environment", 1);
    EXPECT_EQ(c.get(), "/from/environment") << c.variable;
    c.set("/from/test");
    EXPECT_EQ(c.get(), "/from/test") << c.variable;
    c.set(std::nullopt);
    EXPECT_EQ(c.get(), "/from/environment") << c.variable;
  }
}

// The log is the user's own, in their state folder: never in a folder other accounts share.
TEST_F(SystemPathsTest, TheDefaultLogIsInTheUsersStateFolder) {
  const char* saved = std::getenv("XDG_STATE_HOME");
  const std::string savedState = saved ? saved : "";
  const std::string home = std::getenv("HOME");
  struct Case {
    const char* state;  // null: unset
    std::string log;
  } cases[] = {
      {"/somewhere/state", "/somewhere/state/Quillmere/quillmere.log"},
      {"/somewhere/state/", "/somewhere/state/Quillmere/quillmere.log"},
      {"relative/state", home + "/.local/state/Quillmere/quillmere.log"},  // relative values are ignored
      {"", home + "/.local/state/Quillmere/quillmere.log"},
      {nullptr, home + "/.local/state/Quillmere/quillmere.log"},
  };
  for (const auto& c : cases) {
    if (c.state) {
      setenv("XDG_STATE_HOME", c.state, 1);
    } else {
      unsetenv("XDG_STATE_HOME");
    }
    EXPECT_EQ(SystemPaths::defaultPrivilegedRunLogPath(), c.log) << (c.state ? c.state : "(unset)");
    EXPECT_EQ(SystemPaths::privilegedRunLogPath(), c.log);
  }
  if (saved) {
    setenv("XDG_STATE_HOME", savedState.c_str(), 1);
  } else {
    unsetenv("XDG_STATE_HOME");
  }
}

TEST_F(SystemPathsTest, TheFlushHelperIsInstalledBesideTheExecutable) {
  std::string helper = SystemPaths::flushHelperPath();
  EXPECT_EQ(helper, SystemPaths::executableDirectory() + "/quillmere-flush-dns");
  EXPECT_EQ(access(helper.c_str(), X_OK), 0) << helper;
}

// The helper runs against stand-ins for the service manager and the two caches, found first in
// PATH, so the test sees what it would flush without touching the real caches.
class FlushHelperTest : public testing::Test {
 protected:
  void fake(const std::string& name, const std::string& body) {
    std::string path = bin.file(name);
    ASSERT_TRUE(test::writeFile(path, "#!/bin/sh\n" + body + "\n"));
    chmod(path.c_str(), 0755);
  }
  // `active` lists the services the fake service manager reports as running.
  foundation::ShellRunner::Result runHelper(const std::string& active) {
    fake("systemctl", "case \" " + active + " \" in *\" $3 \"*) exit 0;; esac; exit 3");
    fake("pidof", "exit 1");
    std::string command = "PATH=" + foundation::shellQuoted(bin.path() + ":/usr/bin:/bin") + " " +
                          foundation::shellQuoted(SystemPaths::flushHelperPath());
    return foundation::SystemShellRunner().run(command, false);
  }
  std::string calls() { return test::readFile(log); }

  test::TempDir bin{"qm-flush"};
  std::string log = bin.file("calls");
};

TEST_F(FlushHelperTest, FlushesOnlyTheCachesThatRunAndSucceedsWhenNoneDoes) {
  struct Case {
    std::string active;
    std::string calls;
  } cases[] = {
      {"", ""},
      {"systemd-resolved.service", "resolvectl flush-caches\n"},
      {"nscd.service", "nscd -i hosts\n"},
      {"systemd-resolved.service nscd.service", "resolvectl flush-caches\nnscd -i hosts\n"},
  };
  for (const auto& c : cases) {
    unlink(log.c_str());
    fake("resolvectl", "echo \"resolvectl $*\" >> " + foundation::shellQuoted(log));
    fake("nscd", "echo \"nscd $*\" >> " + foundation::shellQuoted(log));
    auto result = runHelper(c.active);
    EXPECT_EQ(result.status, 0) << c.active << ": " << result.standardError;
    EXPECT_EQ(calls(), c.calls) << c.active;
  }
}

TEST_F(FlushHelperTest, AFlushThatFailsMakesTheHelperFail) {
  fake("resolvectl", "exit 1");
  fake("nscd", "echo \"nscd $*\" >> " + foundation::shellQuoted(log));
  auto result = runHelper("systemd-resolved.service nscd.service");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.standardError.find("resolvectl flush-caches failed"), std::string::npos);
  EXPECT_EQ(calls(), "nscd -i hosts\n");  // the other cache is still flushed
}

}  // namespace
