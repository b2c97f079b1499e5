#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLocalSocket>
#include <QTest>

#include <cstdlib>
#include <string>

#include "platform/appkit/SingleInstance.h"
#include "tests/platform/appkit/QtTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using appkit::SingleInstance;
using Role = SingleInstance::Role;

constexpr const char* kName = "org.quillmere.Test";

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override { test::qtApplication(); }

  // Sends `text` to the socket as another process would, and waits until it is written.
  void send(const SingleInstance& to, const char* text) {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(to.socketPath()));
    ASSERT_TRUE(socket.waitForConnected(1000));
    socket.write(text);
    socket.flush();
    socket.disconnectFromServer();
  }

  test::TempDir runtime{"qm-runtime"};
};

TEST_F(SingleInstanceTest, EveryLaterStartHandsOverToTheFirstAndIsToldToExit) {
  SingleInstance first(kName, runtime.path());
  int activations = 0;
  first.setActivationHandler([&] { ++activations; });
  ASSERT_EQ(first.acquire(), Role::Primary);
  EXPECT_EQ(first.lockPath(), runtime.file(std::string(kName) + ".lock"));

  for (int start = 1; start <= 2; ++start) {
    SingleInstance later(kName, runtime.path());
    EXPECT_EQ(later.acquire(), Role::Secondary);
    EXPECT_TRUE(later.handedOver());
    ASSERT_TRUE(QTest::qWaitFor([&] { return activations == start; }));
  }

  // Anything but the request is ignored. Lines of one connection are served in order, so once
  // the request after it has counted, the other line had its turn.
  send(first, "hello\nactivate \n\nactivate\n");
  ASSERT_TRUE(QTest::qWaitFor([&] { return activations >= 3; }));
  EXPECT_EQ(activations, 3);
}

TEST_F(SingleInstanceTest, AFirstProcessThatCrashedLeavesNothingThatBlocksTheNextStart) {
  const std::string lock = runtime.file(std::string(kName) + ".lock");
  const std::string socket = runtime.file(std::string(kName) + ".socket");
  // A real process takes the lock, leaves a socket file behind and crashes while holding both.
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
    ::close(::open(socket.c_str(), O_WRONLY | O_CREAT, 0600));
    ::abort();
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT);
  ASSERT_EQ(::access(socket.c_str(), F_OK), 0);

  SingleInstance next(kName, runtime.path());
  int activations = 0;
  next.setActivationHandler([&] { ++activations; });
  ASSERT_EQ(next.acquire(), Role::Primary);
  SingleInstance later(kName, runtime.path());
  EXPECT_EQ(later.acquire(), Role::Secondary);
  EXPECT_TRUE(QTest::qWaitFor([&] { return activations == 1; }));
}

TEST_F(SingleInstanceTest, TheLockGoesWithTheFirstInstance) {
  {
    SingleInstance first(kName, runtime.path());
    ASSERT_EQ(first.acquire(), Role::Primary);
  }
  SingleInstance next(kName, runtime.path());
  EXPECT_EQ(next.acquire(), Role::Primary);
}

TEST_F(SingleInstanceTest, WithoutAUsableFolderTheApplicationRunsUnguarded) {
  SingleInstance nowhere(kName, runtime.file("missing"));
  EXPECT_EQ(nowhere.acquire(), Role::Unguarded);

  // The runtime folder is the user's one.
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string restore = saved ? saved : "";
  ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  EXPECT_EQ(SingleInstance::runtimeFolder(), runtime.path());
  SingleInstance defaulted(kName);
  EXPECT_EQ(defaulted.socketPath(), runtime.file(std::string(kName) + ".socket"));
  ::setenv("XDG_RUNTIME_DIR", restore.c_str(), 1);
}

}  // namespace
