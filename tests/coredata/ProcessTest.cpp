// Durability across processes: what a save block committed is there for a new process, and a
// process killed in the middle of a large save loses nothing an earlier save committed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "platform/foundation/SystemPaths.h"
#include "tests/coredata/DataStackFixture.h"

namespace dstest {
namespace {

constexpr const char* kModeVariable = "QM_DS_CHILD_MODE";
constexpr const char* kStoreVariable = "QM_DS_CHILD_STORE";
constexpr int kEarlierRecords = 25;
constexpr int kLargeSaveRecords = 20000;

// Starts this test binary again running only `test` with the child environment; its stdout is
// readable through `*output` when asked for.
pid_t spawnChild(const std::string& test, const std::string& mode, const std::string& store, int* output = nullptr) {
  int fds[2] = {-1, -1};
  if (output && pipe(fds) != 0) return -1;
  const std::string exe = foundation::SystemPaths::executableDirectory() + "/test_coredata";
  const std::string filter = "--gtest_filter=" + test;
  const pid_t pid = fork();
  if (pid == 0) {
    if (output) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
    }
    setenv(kModeVariable, mode.c_str(), 1);
    setenv(kStoreVariable, store.c_str(), 1);
    execl(exe.c_str(), exe.c_str(), filter.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (output) {
    close(fds[1]);
    *output = fds[0];
  }
  return pid;
}

int waitExitCode(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads the child's output until `marker` appears; false at end of file.
bool waitForMarker(int fd, const std::string& marker) {
  std::string seen;
  char buffer[256];
  while (seen.find(marker) == std::string::npos) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

bool isChild(const char* mode) {
  const char* value = std::getenv(kModeVariable);
  return value && std::string(value) == mode;
}

StoreURL childStore() { return StoreURL::fileURLWithPath(std::getenv(kStoreVariable)); }

std::vector<std::string> titlesInDefaultContext() {
  foundation::Error error;
  coredata::FetchRequest request("Record");
  request.setSortDescriptors({coredata::SortDescriptor("title")});
  auto objects = DSManagedObjectContext::DS_defaultContext()->fetchObjects(request, &error);
  std::vector<std::string> titles;
  if (objects) {
    for (const auto& o : *objects) titles.push_back(o->valueForKey("title").stringValue());
  }
  return titles;
}

// --- The child's sides (skipped unless started by a parent test) ------------------------------------

TEST_F(DataStackTest, ChildVerifiesRecords) {
  if (!isChild("verify")) GTEST_SKIP() << "runs only as a child process";
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(childStore());
  EXPECT_EQ(titlesInDefaultContext(), (std::vector<std::string>{"alpha", "beta", "gamma"}));
}

TEST_F(DataStackTest, ChildSavesThenStartsALargeSave) {
  if (!isChild("large")) GTEST_SKIP() << "runs only as a child process";
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(childStore());
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) {
    for (int i = 0; i < kEarlierRecords; ++i) insertRecord(context, "early" + std::to_string(i), i);
  });
  std::printf("committed\n");
  std::fflush(stdout);
  for (int round = 0; round < 50; ++round) {
    DataStack::saveWithBlockAndWait([round](const DSContextPtr& context) {
      for (int i = 0; i < kLargeSaveRecords; ++i) insertRecord(context, "late" + std::to_string(round), i);
    });
  }
}

// --- The parents ---------------------------------------------------------------------------------

TEST_F(DataStackTest, SavedRecordsAreThereForANewProcess) {
  hookErrors();
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) {
    for (const char* title : {"gamma", "alpha", "beta"}) insertRecord(context, title);
  });
  EXPECT_TRUE(capture->errors().empty());
  DataStack::cleanUp();
  const pid_t child = spawnChild("DataStackTest.ChildVerifiesRecords", "verify", storeURL().path());
  ASSERT_GT(child, 0);
  EXPECT_EQ(waitExitCode(child), 0);
}

TEST_F(DataStackTest, KilledDuringALargeSaveLosesNothingCommittedEarlier) {
  int output = -1;
  const pid_t child = spawnChild("DataStackTest.ChildSavesThenStartsALargeSave", "large", storeURL().path(), &output);
  ASSERT_GT(child, 0);
  const bool committed = waitForMarker(output, "committed\n");
  // Give the large saves a moment to be under way, then kill without warning.
  usleep(300 * 1000);
  kill(child, SIGKILL);
  EXPECT_EQ(waitExitCode(child), 128 + SIGKILL) << "the child must still have been saving";
  close(output);
  ASSERT_TRUE(committed);

  hookErrors();
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  EXPECT_TRUE(capture->errors().empty());
  const auto titles = titlesInDefaultContext();
  int early = 0;
  std::map<std::string, int> late;
  for (const auto& t : titles) {
    if (t.rfind("early", 0) == 0) ++early;
    else ++late[t];
  }
  EXPECT_EQ(early, kEarlierRecords);
  // Each large save is all or nothing.
  for (const auto& [title, count] : late) EXPECT_EQ(count, kLargeSaveRecords) << title;
}

}  // namespace
}  // namespace dstest
