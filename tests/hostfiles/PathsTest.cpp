#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "hostfiles/ApplicationExtras.h"
#include "tests/support/TempDir.h"

namespace {

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool isFolder(const std::string& path) {
  struct stat info{};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

class PathsTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* data = std::getenv("XDG_DATA_HOME");
    saved = data ? data : "";
    setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
  }
  void TearDown() override { setenv("XDG_DATA_HOME", saved.c_str(), 1); }

  test::TempDir data_{"qm-data"};
  std::string saved;
};

TEST_F(PathsTest, TheStagingFileLivesInTheApplicationsOwnFolderWhichIsCreated) {
  const std::string folder = data_.path() + "/org.quillmere.Quillmere";
  ASSERT_FALSE(exists(folder));

  EXPECT_EQ(ApplicationExtras::tmpEtcHostsPath(), folder + "/hosts");
  EXPECT_TRUE(isFolder(folder));
  EXPECT_FALSE(exists(folder + "/hosts"));  // the file is the compiler's to write

  EXPECT_EQ(ApplicationExtras::applicationSupportDirectory(), folder);  // existing folder: kept as it is
  EXPECT_TRUE(isFolder(folder));
}

TEST_F(PathsTest, MissingParentsAreCreatedToo) {
  setenv("XDG_DATA_HOME", (data_.path() + "/deeper/still").c_str(), 1);
  EXPECT_EQ(ApplicationExtras::applicationSupportDirectory(), data_.path() + "/deeper/still/org.quillmere.Quillmere");
  EXPECT_TRUE(isFolder(data_.path() + "/deeper/still/org.quillmere.Quillmere"));
}

TEST_F(PathsTest, AFolderThatCannotBeCreatedStillGivesItsPath) {
  ASSERT_TRUE(test::writeFile(data_.file("plain-file"), "in the way"));
  setenv("XDG_DATA_HOME", data_.file("plain-file").c_str(), 1);
  EXPECT_EQ(ApplicationExtras::tmpEtcHostsPath(), data_.file("plain-file") + "/org.quillmere.Quillmere/hosts");
  EXPECT_EQ(test::readFile(data_.file("plain-file")), "in the way");
}

TEST_F(PathsTest, FirstVersionHostfilesFolderIsNamedButNotCreated) {
  EXPECT_EQ(ApplicationExtras::v1HostsPath(), data_.path() + "/Quillmere/HostFiles");
  EXPECT_FALSE(exists(data_.path() + "/Quillmere"));
}

TEST_F(PathsTest, WithoutXDGDataHomeTheDataFolderIsUnderHome) {
  unsetenv("XDG_DATA_HOME");
  const std::string home = std::getenv("HOME");
  EXPECT_EQ(ApplicationExtras::applicationSupportDirectory(), home + "/.local/share/org.quillmere.Quillmere");
  EXPECT_EQ(ApplicationExtras::v1HostsPath(), home + "/.local/share/Quillmere/HostFiles");
}

}  // namespace
