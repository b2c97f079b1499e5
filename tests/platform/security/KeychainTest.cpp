#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/foundation/Bundle.h"
#include "platform/security/Keychain.h"
#include "tests/support/TempDir.h"

namespace {

using foundation::Data;
using foundation::Dictionary;
using foundation::Value;
using security::Keychain;
using namespace security;

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

Dictionary item(const std::string& service, const std::string& account) {
  return {{kSecClass, kSecClassGenericPassword}, {kSecAttrService, service}, {kSecAttrAccount, account}};
}

Dictionary with(Dictionary dictionary, const std::string& key, Value value) {
  dictionary.set(key, std::move(value));
  return dictionary;
}

Value find(const Keychain& keychain, const std::string& service, const std::string& account, OSStatus* status) {
  Value result;
  *status = keychain.copyMatching(with(item(service, account), kSecReturnData, true), &result);
  return result;
}

TEST(Keychain, AddFindUpdateDeleteWithTheStatusCodes) {
  test::TempDir folder;
  const Keychain keychain(folder.file("store/keychain"));
  OSStatus status = 0;
  find(keychain, "svc", "key", &status);
  EXPECT_EQ(status, errSecItemNotFound);

  EXPECT_EQ(keychain.add(with(item("svc", "key"), kSecValueData, bytes("one"))), errSecSuccess);
  EXPECT_EQ(keychain.add(with(item("svc", "key"), kSecValueData, bytes("two"))), errSecDuplicateItem);
  EXPECT_EQ(keychain.add(with(item("svc", "other"), kSecValueData, bytes("three"))), errSecSuccess);
  EXPECT_EQ(find(keychain, "svc", "key", &status), Value(bytes("one")));
  EXPECT_EQ(status, errSecSuccess);

  EXPECT_EQ(keychain.update(item("svc", "key"), {{kSecValueData, bytes("changed")}}), errSecSuccess);
  EXPECT_EQ(find(keychain, "svc", "key", &status), Value(bytes("changed")));
  EXPECT_EQ(keychain.update(item("svc", "missing"), {{kSecValueData, bytes("x")}}), errSecItemNotFound);
  // Renaming onto an existing identity is refused and changes nothing.
  EXPECT_EQ(keychain.update(item("svc", "key"), {{kSecAttrAccount, "other"}}), errSecDuplicateItem);
  EXPECT_EQ(find(keychain, "svc", "other", &status), Value(bytes("three")));
  // Renaming moves the item: the old identity is gone.
  EXPECT_EQ(keychain.update(item("svc", "key"), {{kSecAttrAccount, "moved"}}), errSecSuccess);
  EXPECT_EQ(find(keychain, "svc", "moved", &status), Value(bytes("changed")));
  find(keychain, "svc", "key", &status);
  EXPECT_EQ(status, errSecItemNotFound);
  EXPECT_EQ(keychain.update(item("svc", "moved"), {{kSecAttrAccount, "key"}}), errSecSuccess);

  EXPECT_EQ(keychain.remove(item("svc", "key")), errSecSuccess);
  EXPECT_EQ(keychain.remove(item("svc", "key")), errSecItemNotFound);
  find(keychain, "svc", "key", &status);
  EXPECT_EQ(status, errSecItemNotFound);
  EXPECT_EQ(find(keychain, "svc", "other", &status), Value(bytes("three")));
}

TEST(Keychain, QueriesWithoutAnAccountMatchTheWholeService) {
  test::TempDir folder;
  const Keychain keychain(folder.file("keychain"));
  for (const char* account : {"a", "b"}) ASSERT_EQ(keychain.add(item("mine", account)), errSecSuccess);
  ASSERT_EQ(keychain.add(item("theirs", "a")), errSecSuccess);

  const Dictionary service{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, "mine"}};
  Value result;
  ASSERT_EQ(keychain.copyMatching(with(with(service, kSecReturnAttributes, true), kSecMatchLimit, kSecMatchLimitAll), &result),
            errSecSuccess);
  ASSERT_TRUE(result.isArray());
  ASSERT_EQ(result.arrayValue().size(), 2u);
  EXPECT_EQ(result[1][kSecAttrAccount], Value("b"));
  EXPECT_EQ(result[1][kSecAttrService], Value("mine"));
  EXPECT_FALSE(result[1].dictionaryValue().contains(kSecValueData));

  // Without a return key only the status says whether anything matched.
  EXPECT_EQ(keychain.copyMatching(service, &result), errSecSuccess);
  EXPECT_TRUE(result.isNull());

  EXPECT_EQ(keychain.remove(service), errSecSuccess);
  EXPECT_EQ(keychain.copyMatching(service, nullptr), errSecItemNotFound);
  EXPECT_EQ(keychain.copyMatching(item("theirs", "a"), nullptr), errSecSuccess);
}

TEST(Keychain, RefusesMalformedQueries) {
  test::TempDir folder;
  const Keychain keychain(folder.file("keychain"));
  const struct {
    const char* name;
    Dictionary attributes;
    OSStatus expected;
  } cases[] = {
      {"no class", {{kSecAttrService, "s"}}, errSecParam},
      {"class not text", {{kSecClass, 1}}, errSecParam},
      {"internet password", {{kSecClass, "inet"}, {kSecAttrService, "s"}}, errSecUnimplemented},
      {"service not text", with(item("s", "a"), kSecAttrService, 5), errSecParam},
      {"data of a wrong type", with(item("s", "a"), kSecValueData, 5), errSecParam},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(keychain.add(c.attributes), c.expected) << c.name;
    EXPECT_EQ(keychain.copyMatching(c.attributes, nullptr), c.name == std::string("data of a wrong type")
                                                                ? errSecItemNotFound
                                                                : c.expected)
        << c.name;
  }
  EXPECT_FALSE(std::filesystem::exists(keychain.path()));
}

// The one item file in `folder` (the keychain holds one item when this is called).
std::string onlyItemFile(const std::string& folder) {
  std::vector<std::string> items;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".item") items.push_back(entry.path().string());
  }
  EXPECT_EQ(items.size(), 1u);
  return items.empty() ? std::string() : items.front();
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 0777;
}

TEST(Keychain, DefaultStoreIsPrivateToTheUserAndPersists) {
  const std::string expected = std::string(std::getenv("XDG_DATA_HOME")) + "/quillmere/keychain";
  ASSERT_EQ(Keychain::defaultPath(), expected);
  itemDelete(item("persist", "k"));
  ASSERT_EQ(itemAdd(with(item("persist", "k"), kSecValueData, bytes("secret"))), errSecSuccess);

  EXPECT_EQ(modeOf(expected), 0700u);
  EXPECT_EQ(modeOf(onlyItemFile(expected)), 0600u);
  for (const auto& entry : std::filesystem::directory_iterator(expected)) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
  }
  // A new keychain object on the same folder sees the item: it is on disk, not in memory.
  OSStatus status = 0;
  EXPECT_EQ(find(Keychain(expected), "persist", "k", &status), Value(bytes("secret")));
  EXPECT_EQ(itemUpdate(item("persist", "k"), {{kSecValueData, bytes("new")}}), errSecSuccess);
  Value result;
  EXPECT_EQ(itemCopyMatching(with(item("persist", "k"), kSecReturnData, true), &result), errSecSuccess);
  EXPECT_EQ(result, Value(bytes("new")));
  EXPECT_EQ(modeOf(onlyItemFile(expected)), 0600u);
  EXPECT_EQ(itemDelete(item("persist", "k")), errSecSuccess);
}

TEST(Keychain, AccessForOthersIsTakenAwayNeverGiven) {
  test::TempDir folder;
  const Keychain keychain(folder.file("keychain"));
  ASSERT_EQ(keychain.add(with(item("s", "a"), kSecValueData, bytes("x"))), errSecSuccess);
  const std::string file = onlyItemFile(keychain.path());

  // Opened up by someone: a read closes both again.
  ASSERT_EQ(chmod(keychain.path().c_str(), 0777), 0);
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  OSStatus status = 0;
  EXPECT_EQ(find(keychain, "s", "a", &status), Value(bytes("x")));
  EXPECT_EQ(modeOf(keychain.path()), 0700u);
  EXPECT_EQ(modeOf(file), 0600u);

  // Narrower than usual: left as it is.
  ASSERT_EQ(chmod(file.c_str(), 0400), 0);
  EXPECT_EQ(find(keychain, "s", "a", &status), Value(bytes("x")));
  EXPECT_EQ(modeOf(file), 0400u);
}

TEST(Keychain, RefusesWhatIsNotThePlainPrivateFolder) {
  test::TempDir folder;
  const Keychain real(folder.file("real"));
  ASSERT_EQ(real.add(item("s", "a")), errSecSuccess);
  std::filesystem::create_directory_symlink(real.path(), folder.file("link"));
  ASSERT_TRUE(test::writeFile(folder.file("plain-file"), "old store"));
  ASSERT_TRUE(test::writeFile(folder.file("file-parent"), ""));

  for (const char* name : {"link", "plain-file", "file-parent/keychain"}) {
    const Keychain keychain(folder.file(name));
    EXPECT_EQ(keychain.add(item("s", "b")), errSecIO) << name;
    EXPECT_EQ(keychain.copyMatching(item("s", "a"), nullptr), errSecIO) << name;
  }
  EXPECT_EQ(test::readFile(folder.file("plain-file")), "old store");
  EXPECT_EQ(real.copyMatching(item("s", "b"), nullptr), errSecItemNotFound);

  // A folder that belongs to someone else (only root can arrange that).
  if (chown(real.path().c_str(), 4242, 4242) != 0) GTEST_SKIP() << "cannot give the folder away";
  EXPECT_EQ(real.copyMatching(item("s", "a"), nullptr), errSecIO);
  EXPECT_EQ(real.add(item("s", "b")), errSecIO);
}

TEST(Keychain, DefaultStoreIsNamedAfterTheBundleIdentifier) {
  test::TempDir folder;
  foundation::Bundle::setMainBundleForTesting(std::make_shared<const foundation::Bundle>(
      folder.path(), folder.file("Resources"),
      Dictionary{{foundation::kCFBundleIdentifierKey, "org.example.KeychainTest"}}));
  const std::string path = Keychain::defaultPath();
  foundation::Bundle::setMainBundleForTesting(nullptr);
  EXPECT_EQ(path, std::string(std::getenv("XDG_DATA_HOME")) + "/org.example.KeychainTest/keychain");
}

TEST(Keychain, DamagedItemIsReportedAndNotOverwritten) {
  test::TempDir folder;
  const Keychain keychain(folder.file("keychain"));
  ASSERT_EQ(keychain.add(item("s", "a")), errSecSuccess);
  const std::string file = onlyItemFile(keychain.path());
  for (const char* damage : {"", "bplist00 truncated", "<plist><string>not an item</string></plist>"}) {
    ASSERT_TRUE(test::writeFile(file, damage));
    EXPECT_EQ(keychain.add(item("s", "a")), errSecDecode) << damage;
    EXPECT_EQ(keychain.copyMatching(item("s", "a"), nullptr), errSecDecode) << damage;
    // A query over the whole service cannot tell whether the damaged item matches.
    EXPECT_EQ(keychain.copyMatching({{kSecClass, kSecClassGenericPassword}, {kSecAttrService, "s"}}, nullptr),
              errSecDecode)
        << damage;
    EXPECT_EQ(test::readFile(file), damage);
  }
  // Deleting it by its identity still works, so a damaged item can be replaced.
  EXPECT_EQ(keychain.remove(item("s", "a")), errSecSuccess);
  EXPECT_EQ(keychain.add(item("s", "a")), errSecSuccess);
}

TEST(Keychain, ProcessesAddingAtOnceLoseNothing) {
  test::TempDir folder;
  const Keychain keychain(folder.file("shared/keychain"));
  constexpr int kProcesses = 4;
  constexpr int kItems = 15;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int failures = 0;
      for (int i = 0; i < kItems; ++i) {
        failures += keychain.add(item("svc", std::to_string(p) + "-" + std::to_string(i))) != errSecSuccess;
      }
      _exit(failures);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Value all;
  ASSERT_EQ(keychain.copyMatching({{kSecClass, kSecClassGenericPassword}, {kSecReturnAttributes, true},
                                   {kSecMatchLimit, kSecMatchLimitAll}},
                                  &all),
            errSecSuccess);
  EXPECT_EQ(all.arrayValue().size(), static_cast<std::size_t>(kProcesses * kItems));
}

}  // namespace
