#include "platform/foundation/FileManager.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace {

using foundation::Data;
using foundation::Error;
using foundation::FileManager;
using foundation::FileType;
using foundation::SearchPathDirectory;
using foundation::StringEncoding;

FileManager& fm() { return FileManager::defaultManager(); }

std::vector<std::string> names(const std::string& folder) {
  return fm().contentsOfDirectoryAtPath(folder).value_or(std::vector<std::string>{"<unreadable>"});
}

unsigned modeOf(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xFFFFu;
}

unsigned currentUmask() {
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

// Runs `body` in a child process that has given up root, so that permission checks bind there
// too; `body` returns an empty text when all went as expected, else what went wrong.
std::string runUnprivileged(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  const pid_t child = ::fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    ::close(fds[0]);
    std::string outcome;
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) outcome = "cannot drop root";
    if (outcome.empty()) outcome = body();
    if (::write(fds[1], outcome.data(), outcome.size()) < 0) _exit(2);
    _exit(0);
  }
  ::close(fds[1]);
  std::string outcome;
  char buffer[256];
  ssize_t got;
  while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0) outcome.append(buffer, static_cast<std::size_t>(got));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
  return outcome;
}

std::string check(bool condition, const std::string& what) { return condition ? std::string() : what + "; "; }

// Restores an environment variable when the test ends.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    if (old) old_ = old;
    had_ = old != nullptr;
    if (value) ::setenv(name, value, 1); else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_) ::setenv(name_.c_str(), old_.c_str(), 1); else ::unsetenv(name_.c_str());
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

class FileManagerTest : public ::testing::Test {
 protected:
  test::TempDir dir{"qm-fm"};
  // Lets an unprivileged child work in the folder.
  void openToEveryone() { ::chmod(dir.path().c_str(), 0777); }
  std::string at(const std::string& name) const { return dir.file(name); }
};

TEST_F(FileManagerTest, CreatesFoldersWithAndWithoutIntermediates) {
  ASSERT_TRUE(test::writeFile(at("file"), "x"));
  struct Case { std::string path; bool intermediates; long code; };  // code 0: success
  const Case cases[] = {
      {"a/b/c", true, 0},
      {"a/b/c", true, 0},  // an existing folder is fine with intermediates
      {"a/b/c", false, foundation::kFileWriteFileExistsError},
      {"x/y", false, foundation::kFileNoSuchFileError},
      {"a/d", false, 0},
      {"file/sub", true, foundation::kFileWriteFileExistsError},
      {"file", true, foundation::kFileWriteFileExistsError},
  };
  for (const Case& c : cases) {
    Error error;
    const bool made = fm().createDirectoryAtPath(at(c.path), c.intermediates, &error);
    EXPECT_EQ(made, c.code == 0) << c.path;
    if (c.code == 0) {
      bool isDirectory = false;
      EXPECT_TRUE(fm().fileExistsAtPath(at(c.path), &isDirectory) && isDirectory) << c.path;
    } else {
      EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain) << c.path;
      EXPECT_EQ(error.code(), c.code) << c.path;
      ASSERT_TRUE(error.underlyingError()) << c.path;
      EXPECT_EQ(error.underlyingError()->domain(), foundation::kPOSIXErrorDomain);
    }
  }
  bool isDirectory = true;
  EXPECT_TRUE(fm().fileExistsAtPath(at("file"), &isDirectory));
  EXPECT_FALSE(isDirectory);
  EXPECT_FALSE(fm().fileExistsAtPath(at("missing")));
}

// Folders kept to their owner are made so whatever the umask, and a folder that was there
// keeps its own mode.
TEST_F(FileManagerTest, FoldersMadeWithPermissionsGetExactlyThose) {
  ASSERT_TRUE(fm().createDirectoryAtPath(at("open"), false));
  ::chmod(at("open").c_str(), 0755);
  // A umask that takes the owner's write bit: the folders must still be 0700.
  const mode_t saved = ::umask(0222);
  const bool made = fm().createDirectoryAtPath(at("open/state/app"), true, nullptr, 0700);
  ::umask(saved);
  ASSERT_TRUE(made);
  const auto mode = [&](const char* name) { return fm().attributesOfItemAtPath(at(name))->posixPermissions; };
  EXPECT_EQ(mode("open"), 0755u);
  EXPECT_EQ(mode("open/state"), 0700u);
  EXPECT_EQ(mode("open/state/app"), 0700u);
}

TEST(FileManagerErrorTest, MapsErrnoToThePlatformCodes) {
  struct Case { int errnoValue; bool writing; long code; };
  const Case cases[] = {
      {ENOENT, false, 260}, {EACCES, false, 257}, {EPERM, false, 257}, {EIO, false, 256},
      {ENOENT, true, 4},    {EACCES, true, 513},  {EEXIST, true, 516}, {ENOSPC, true, 640},
      {EDQUOT, true, 640},  {EROFS, true, 642},   {EIO, true, 512},
  };
  for (const Case& c : cases) {
    const Error error = FileManager::fileError(c.errnoValue, "/some/where/name.txt", c.writing);
    EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain);
    EXPECT_EQ(error.code(), c.code) << c.errnoValue << " writing=" << c.writing;
    EXPECT_EQ(error.userInfo().get(foundation::kFilePathErrorKey).stringValue(), "/some/where/name.txt");
    EXPECT_NE(error.localizedDescription().find("name.txt"), std::string::npos);
    ASSERT_TRUE(error.underlyingError());
    EXPECT_EQ(error.underlyingError()->code(), c.errnoValue);
  }
}

TEST_F(FileManagerTest, AtomicWriteReplacesWholeAndLeavesNoTemporaryFile) {
  Error error;
  ASSERT_TRUE(fm().writeText("first", at("f.txt"), &error)) << error.description();
  EXPECT_EQ(modeOf(at("f.txt")), 0666u & ~currentUmask());
  ASSERT_EQ(::chmod(at("f.txt").c_str(), 0640), 0);
  ASSERT_TRUE(fm().writeData(Data{'s', 'e', 'c', 'o', 'n', 'd'}, at("f.txt"), &error));
  EXPECT_EQ(test::readFile(at("f.txt")), "second");
  EXPECT_EQ(modeOf(at("f.txt")), 0640u);  // the replaced file's permissions are kept
  ASSERT_TRUE(fm().writeText("secret", at("key"), &error, 0600));
  EXPECT_EQ(modeOf(at("key")), 0600u);
  EXPECT_EQ(names(dir.path()), (std::vector<std::string>{"f.txt", "key"}));
}

TEST_F(FileManagerTest, AtomicWriteThroughASymbolicLinkKeepsTheLink) {
  ASSERT_TRUE(test::writeFile(at("real"), "old"));
  ASSERT_EQ(::symlink("real", at("link").c_str()), 0);
  ASSERT_TRUE(fm().writeText("new", at("link")));
  EXPECT_EQ(test::readFile(at("real")), "new");
  EXPECT_EQ(fm().attributesOfItemAtPath(at("link"))->type, FileType::SymbolicLink);
}

TEST_F(FileManagerTest, FailedWriteKeepsTheOldFile) {
  Error error;
  EXPECT_FALSE(fm().writeText("x", at("missing/f"), &error));
  EXPECT_EQ(error.code(), foundation::kFileNoSuchFileError);

  ASSERT_TRUE(fm().createDirectoryAtPath(at("folder"), false));
  EXPECT_FALSE(fm().writeText("x", at("folder"), &error));  // never replaces a folder
  EXPECT_TRUE(fm().fileExistsAtPath(at("folder")));

  openToEveryone();
  EXPECT_EQ(runUnprivileged([&] {
              Error error;
              std::string problems = check(fm().createDirectoryAtPath(at("locked"), false), "mkdir");
              problems += check(fm().writeText("old", at("locked/f")), "first write");
              problems += check(::chmod(at("locked").c_str(), 0555) == 0, "chmod");
              problems += check(!fm().writeText("new", at("locked/f"), &error), "write succeeded");
              problems += check(error.code() == foundation::kFileWriteNoPermissionError, "code");
              problems += check(test::readFile(at("locked/f")) == "old", "old content lost");
              ::chmod(at("locked").c_str(), 0755);
              return problems;
            }),
            "");
}

TEST_F(FileManagerTest, WritesTargetsWithNamesNearTheLimit) {
  const std::string longName(250, 'n');
  ASSERT_TRUE(fm().writeText("x", at(longName)));
  EXPECT_EQ(test::readFile(at(longName)), "x");
}

TEST_F(FileManagerTest, RemovesFilesAndTreesButNotThroughLinks) {
  ASSERT_TRUE(fm().createDirectoryAtPath(at("keep/inner"), true));
  ASSERT_TRUE(test::writeFile(at("keep/inner/f"), "x"));
  ASSERT_TRUE(fm().createDirectoryAtPath(at("tree/a/b"), true));
  ASSERT_TRUE(test::writeFile(at("tree/a/b/f"), "x"));
  ASSERT_EQ(::symlink(at("keep").c_str(), at("tree/link").c_str()), 0);

  EXPECT_TRUE(fm().removeItemAtPath(at("tree")));
  EXPECT_FALSE(fm().fileExistsAtPath(at("tree")));
  EXPECT_TRUE(fm().fileExistsAtPath(at("keep/inner/f")));

  Error error;
  EXPECT_FALSE(fm().removeItemAtPath(at("tree"), &error));
  EXPECT_EQ(error.code(), foundation::kFileNoSuchFileError);
}

TEST_F(FileManagerTest, MoveNeverReplacesTheDestination) {
  ASSERT_TRUE(test::writeFile(at("a"), "A"));
  ASSERT_TRUE(test::writeFile(at("b"), "B"));
  Error error;
  EXPECT_FALSE(fm().moveItemAtPath(at("a"), at("b"), &error));
  EXPECT_EQ(error.code(), foundation::kFileWriteFileExistsError);
  EXPECT_EQ(test::readFile(at("a")), "A");
  EXPECT_EQ(test::readFile(at("b")), "B");

  EXPECT_TRUE(fm().moveItemAtPath(at("a"), at("c"), &error));
  EXPECT_FALSE(fm().fileExistsAtPath(at("a")));
  EXPECT_EQ(test::readFile(at("c")), "A");

  EXPECT_FALSE(fm().moveItemAtPath(at("a"), at("d"), &error));
  EXPECT_EQ(error.code(), foundation::kFileNoSuchFileError);
}

TEST_F(FileManagerTest, MoveAcrossFileSystemsCopiesThenRemoves) {
  struct stat here, shm;
  if (::stat(dir.path().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev ||
      ::access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "no second writable file system";
  }
  ASSERT_TRUE(fm().createDirectoryAtPath(at("src/sub"), true));
  ASSERT_TRUE(test::writeFile(at("src/sub/f"), "data"));
  const std::string destination = "/dev/shm/qm-fm-move-" + std::to_string(::getpid());
  Error error;
  ASSERT_TRUE(fm().moveItemAtPath(at("src"), destination, &error)) << error.description();
  EXPECT_EQ(test::readFile(destination + "/sub/f"), "data");
  EXPECT_FALSE(fm().fileExistsAtPath(at("src")));
  fm().removeItemAtPath(destination);
}

TEST_F(FileManagerTest, CopiesFilesAndTrees) {
  ASSERT_TRUE(fm().createDirectoryAtPath(at("src/sub"), true));
  ASSERT_TRUE(test::writeFile(at("src/sub/f"), "data"));
  ASSERT_EQ(::chmod(at("src/sub/f").c_str(), 0751), 0);
  ASSERT_EQ(::symlink("sub/f", at("src/link").c_str()), 0);

  Error error;
  ASSERT_TRUE(fm().copyItemAtPath(at("src"), at("dst"), &error)) << error.description();
  EXPECT_EQ(test::readFile(at("dst/sub/f")), "data");
  EXPECT_EQ(modeOf(at("dst/sub/f")), 0751u);
  EXPECT_EQ(fm().attributesOfItemAtPath(at("dst/link"))->type, FileType::SymbolicLink);
  EXPECT_EQ(test::readFile(at("dst/link")), "data");

  EXPECT_FALSE(fm().copyItemAtPath(at("src"), at("dst"), &error));
  EXPECT_EQ(error.code(), foundation::kFileWriteFileExistsError);
  EXPECT_FALSE(fm().copyItemAtPath(at("nothing"), at("dst2"), &error));
  EXPECT_EQ(error.code(), foundation::kFileReadNoSuchFileError);
  EXPECT_FALSE(fm().copyItemAtPath(at("src"), at("src/sub/inner"), &error));  // into itself
  EXPECT_EQ(error.code(), foundation::kFileWriteUnknownError);
  EXPECT_EQ(names(at("src/sub")), std::vector<std::string>{"f"});
}

TEST_F(FileManagerTest, FailedCopyLeavesNoPartialDestination) {
  openToEveryone();
  EXPECT_EQ(runUnprivileged([&] {
              Error error;
              std::string problems = check(fm().createDirectoryAtPath(at("src"), false), "mkdir");
              problems += check(test::writeFile(at("src/a"), "a") && test::writeFile(at("src/z"), "z"), "files");
              problems += check(::chmod(at("src/z").c_str(), 0) == 0, "chmod");
              problems += check(!fm().copyItemAtPath(at("src"), at("dst"), &error), "copy succeeded");
              problems += check(error.code() == foundation::kFileReadNoPermissionError, "code");
              problems += check(names(dir.path()) == std::vector<std::string>{"src"}, "partial copy left");
              return problems;
            }),
            "");
}

TEST_F(FileManagerTest, Attributes) {
  ASSERT_TRUE(test::writeFile(at("f"), "12345"));
  ASSERT_EQ(::chmod(at("f").c_str(), 0604), 0);
  auto attributes = fm().attributesOfItemAtPath(at("f"));
  ASSERT_TRUE(attributes);
  EXPECT_EQ(attributes->size, 5u);
  EXPECT_EQ(attributes->type, FileType::Regular);
  EXPECT_EQ(attributes->posixPermissions, 0604u);
  EXPECT_LT(std::abs(attributes->modificationDate.timeIntervalSinceNow()), 300.0);
  const auto dictionary = attributes->dictionary();
  EXPECT_EQ(dictionary.get("NSFileSize").intValue(), 5);
  EXPECT_EQ(dictionary.get("NSFileType").stringValue(), "NSFileTypeRegular");
  EXPECT_EQ(dictionary.get("NSFilePosixPermissions").intValue(), 0604);

  EXPECT_EQ(fm().attributesOfItemAtPath(dir.path())->type, FileType::Directory);
  Error error;
  EXPECT_FALSE(fm().attributesOfItemAtPath(at("missing"), &error));
  EXPECT_EQ(error.code(), foundation::kFileReadNoSuchFileError);

  // A link is described itself unless asked to follow it; a dangling one cannot be followed.
  ASSERT_EQ(::symlink(at("f").c_str(), at("link").c_str()), 0);
  EXPECT_EQ(fm().attributesOfItemAtPath(at("link"))->type, FileType::SymbolicLink);
  const auto followed = fm().attributesOfItemAtPath(at("link"), nullptr, true);
  ASSERT_TRUE(followed);
  EXPECT_EQ(followed->type, FileType::Regular);
  EXPECT_EQ(followed->size, 5u);
  ASSERT_EQ(::symlink(at("missing").c_str(), at("dangling").c_str()), 0);
  EXPECT_FALSE(fm().attributesOfItemAtPath(at("dangling"), nullptr, true));
}

TEST_F(FileManagerTest, ListsAndEnumerates) {
  ASSERT_TRUE(fm().createDirectoryAtPath(at("b/deep"), true));
  for (const char* name : {"c", ".hidden", "b/x", "b/deep/y", "b/.h2"}) ASSERT_TRUE(test::writeFile(at(name), ""));
  EXPECT_EQ(names(dir.path()), (std::vector<std::string>{".hidden", "b", "c"}));

  struct Case { unsigned options; std::vector<std::string> expected; };
  const Case cases[] = {
      {0, {".hidden", "b", "b/.h2", "b/deep", "b/deep/y", "b/x", "c"}},
      {foundation::DirectoryEnumerationSkipsHiddenFiles, {"b", "b/deep", "b/deep/y", "b/x", "c"}},
      {foundation::DirectoryEnumerationSkipsSubdirectoryDescendants, {".hidden", "b", "c"}},
  };
  for (const Case& c : cases) EXPECT_EQ(fm().enumerate(dir.path(), c.options), c.expected) << c.options;

  std::vector<std::string> folders;
  auto stopped = fm().enumerate(dir.path(), 0, [&](const std::string& path, bool isDirectory) {
    if (isDirectory) folders.push_back(path);
    return path != "b/deep";
  });
  EXPECT_EQ(stopped, (std::vector<std::string>{".hidden", "b", "b/.h2", "b/deep"}));
  EXPECT_EQ(folders, (std::vector<std::string>{"b", "b/deep"}));

  Error error;
  EXPECT_FALSE(fm().contentsOfDirectoryAtPath(at("missing"), &error));
  EXPECT_EQ(error.code(), foundation::kFileReadNoSuchFileError);
  EXPECT_FALSE(fm().contentsOfDirectoryAtPath(at("c"), &error));
  EXPECT_EQ(error.code(), foundation::kFileReadUnknownError);
}

TEST_F(FileManagerTest, ReadsWholeFiles) {
  ASSERT_TRUE(test::writeFile(at("bin"), std::string("a\0b", 3)));
  EXPECT_EQ(fm().contentsAtPath(at("bin")), (Data{'a', 0, 'b'}));
  // A large file, and one whose reported size is 0 although it has content.
  const std::string big(200000, 'x');
  ASSERT_TRUE(test::writeFile(at("big"), big + "\xC3\xA9"));
  EXPECT_EQ(fm().readText(at("big")), big + "\u00e9");
  EXPECT_EQ(fm().contentsAtPath(at("big"))->size(), big.size() + 2);
  auto status = fm().readText("/proc/self/status");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->rfind("Name:", 0), 0u);
  EXPECT_EQ(status->back(), '\n');
  Error error;
  EXPECT_FALSE(fm().contentsAtPath(at("missing"), &error));
  EXPECT_EQ(error.code(), foundation::kFileReadNoSuchFileError);
  EXPECT_FALSE(fm().contentsAtPath(dir.path(), &error));
  EXPECT_EQ(error.code(), foundation::kFileReadUnknownError);
  openToEveryone();
  EXPECT_EQ(runUnprivileged([&] {
              Error denied;
              std::string problems = check(test::writeFile(at("private"), "p"), "write");
              problems += check(::chmod(at("private").c_str(), 0) == 0, "chmod");
              problems += check(!fm().contentsAtPath(at("private"), &denied), "read succeeded");
              return problems + check(denied.code() == foundation::kFileReadNoPermissionError, "code");
            }),
            "");
}

TEST_F(FileManagerTest, ReadsTextOfUnknownEncoding) {
  struct Case { const char* name; std::string bytes; std::optional<std::string> text; StringEncoding encoding; };
  const Case cases[] = {
      {"utf-8 bom", "\xEF\xBB\xBF" "caf\xC3\xA9", "caf\u00e9", StringEncoding::UTF8},
      {"utf-16le bom", std::string("\xFF\xFE" "h\0\xE9\0\x3D\xD8\x00\xDE", 10), "h\u00e9\U0001F600",
       StringEncoding::UTF16LittleEndian},
      {"utf-16be bom", std::string("\xFE\xFF\0h\0\xE9", 6), "h\u00e9", StringEncoding::UTF16BigEndian},
      {"plain utf-8", "127.0.0.1 h\xC3\xA9te", "127.0.0.1 h\u00e9te", StringEncoding::UTF8},
      {"empty", "", "", StringEncoding::UTF8},
      {"latin-1", "caf\xE9 \xFF", "caf\u00e9 \u00ff", StringEncoding::ISOLatin1},
      {"overlong utf-8 is latin-1", "\xC0\xAF", "\u00c0\u00af", StringEncoding::ISOLatin1},
      {"odd utf-16", std::string("\xFF\xFE" "a\0b", 5), std::nullopt, StringEncoding::UTF8},
      {"lone surrogate", std::string("\xFF\xFE\x00\xD8" "a\0", 6), std::nullopt, StringEncoding::UTF8},
      {"bad utf-8 after bom", "\xEF\xBB\xBF\xFF", std::nullopt, StringEncoding::UTF8},
      // Long ASCII runs are skipped a word at a time: what follows them is still checked.
      {"utf-8 after a long ascii run", "0123456789abcde\xC3\xA9" "0123456789\xE2\x80\x83x",
       "0123456789abcde\u00e90123456789\u2003x", StringEncoding::UTF8},
      {"sequence cut at the end of a long run", "0123456789abcdef\xE2\x80", "0123456789abcdef\u00e2\u0080",
       StringEncoding::ISOLatin1},
      {"bad byte after a long ascii run", "0123456789abcdefgh\xFFz", "0123456789abcdefgh\u00ffz",
       StringEncoding::ISOLatin1},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(test::writeFile(at("t"), c.bytes));
    Error error;
    StringEncoding encoding = StringEncoding::UTF8;
    auto text = fm().readText(at("t"), &error, &encoding);
    EXPECT_EQ(text, c.text) << c.name;
    if (c.text) {
      EXPECT_EQ(encoding, c.encoding) << c.name;
    } else {
      EXPECT_EQ(error.code(), foundation::kFileReadInapplicableStringEncodingError) << c.name;
    }
  }
}

TEST(FileManagerSearchPathTest, FollowsTheEnvironmentAtCallTime) {
  ScopedEnv home("HOME", "/home/tester");
  {
    ScopedEnv data("XDG_DATA_HOME", "/x/data/");
    ScopedEnv cache("XDG_CACHE_HOME", "/x/cache");
    ScopedEnv docs("XDG_DOCUMENTS_DIR", "/x/docs");
    ScopedEnv tmp("TMPDIR", "/x/tmp");
    EXPECT_EQ(fm().searchPathDirectory(SearchPathDirectory::ApplicationSupport), "/x/data");
    EXPECT_EQ(fm().searchPathDirectory(SearchPathDirectory::Caches), "/x/cache");
    EXPECT_EQ(fm().searchPathDirectory(SearchPathDirectory::Documents), "/x/docs");
    EXPECT_EQ(fm().searchPathDirectory(SearchPathDirectory::Temporary), "/x/tmp");
  }
  ScopedEnv data("XDG_DATA_HOME", "relative/ignored");
  ScopedEnv cache("XDG_CACHE_HOME", nullptr);
  ScopedEnv docs("XDG_DOCUMENTS_DIR", nullptr);
  ScopedEnv tmp("TMPDIR", nullptr);
  EXPECT_EQ(fm().searchPathDirectory(SearchPathDirectory::ApplicationSupport), "/home/tester/.local/share");
  EXPECT_EQ(fm().searchPathDirectory(SearchPathDirectory::Caches), "/home/tester/.cache");
  EXPECT_EQ(fm().searchPathDirectory(SearchPathDirectory::Documents), "/home/tester/Documents");
  EXPECT_EQ(fm().temporaryDirectory(), "/tmp");
}

}  // namespace
