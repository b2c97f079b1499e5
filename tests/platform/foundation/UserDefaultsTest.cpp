#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "tests/support/TempDir.h"

namespace {

using foundation::Array;
using foundation::Data;
using foundation::Date;
using foundation::Dictionary;
using foundation::FileManager;
using foundation::UserDefaults;
using foundation::Value;

constexpr const char* kChildSuite = "org.example.child";
const Date kChildDate = Date::fromTimeIntervalSinceReferenceDate(818633401.125);

// Started with QM_DEFAULTS_CHILD set, the test binary is a second process of the program: before
// main it writes or checks defaults and leaves through exit(). The writer never synchronizes, so
// only the flush at exit can have saved its values.
int runChildIfAsked() {
  const char* mode = std::getenv("QM_DEFAULTS_CHILD");
  const char* config = std::getenv("QM_DEFAULTS_CHILD_CONFIG");
  if (!mode || !config) return 0;
  ::setenv("XDG_CONFIG_HOME", config, 1);
  if (std::string(mode) == "late") {
    // Registered before defaults are first used, so it runs after everything they set up for
    // exit, as a queue that outlives main would.
    std::atexit([] {
      UserDefaults late(kChildSuite);
      if (!late.set(7, "late") || !late.synchronize()) _exit(4);
    });
  }
  auto* defaults = new UserDefaults(kChildSuite);  // kept alive to the end, as an application's would be
  if (std::string(mode) == "write" || std::string(mode) == "late") {
    defaults->set(true, "flag");
    defaults->set(42, "count");
    defaults->set(kChildDate, "when");
    defaults->set(Array{"a", 2.5}, "list");
    std::exit(0);
  }
  const bool ok = defaults->objectForKey("flag").isBool() && defaults->boolForKey("flag") &&
                  defaults->stringForKey("fromParent") == "parent" && defaults->integerForKey("count") == 43;
  std::exit(ok ? 0 : 3);
}
const int childMode = runChildIfAsked();

int runChild(const std::string& mode, const std::string& config) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::setenv("QM_DEFAULTS_CHILD", mode.c_str(), 1);
    ::setenv("QM_DEFAULTS_CHILD_CONFIG", config.c_str(), 1);
    ::execl("/proc/self/exe", "test_platform_foundation", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
}

// Each test gets its own config folder, so stores (shared per file) never leak between tests.
class UserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1); }
  void TearDown() override { ::setenv("XDG_CONFIG_HOME", original.c_str(), 1); }

  std::string fileFor(const std::string& suite) const { return config.file(suite + ".plist"); }

  test::TempDir config{"qm-defaults"};
  std::string original = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
};

TEST_F(UserDefaultsTest, TypedGettersConvertLikeThePlatform) {
  UserDefaults defaults("org.example.getters");
  ASSERT_TRUE(defaults.set(Dictionary{{"k", 1}}, "dict"));
  for (const auto& [key, value] : Dictionary{{"yes", "YES"}, {"true", "True"}, {"seven", "7 days"}, {"no", "no"},
                                             {"one", true}, {"pi", 3.75}, {"big", 5000000000LL},
                                             {"blob", Data{1, 2}}, {"list", Array{1}}}) {
    ASSERT_TRUE(defaults.set(value, key)) << key;
  }
  struct Case { const char* key; bool b; std::int64_t i; double d; std::optional<std::string> s; };
  const Case cases[] = {
      {"yes", true, 0, 0.0, "YES"},      {"true", true, 0, 0.0, "True"},  {"seven", true, 7, 7.0, "7 days"},
      {"no", false, 0, 0.0, "no"},       {"one", true, 1, 1.0, "1"},      {"pi", true, 3, 3.75, "3.75"},
      {"big", true, 5000000000LL, 5e9, "5000000000"},
      {"blob", false, 0, 0.0, std::nullopt}, {"missing", false, 0, 0.0, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(defaults.boolForKey(c.key), c.b) << c.key;
    EXPECT_EQ(defaults.integerForKey(c.key), c.i) << c.key;
    EXPECT_EQ(defaults.doubleForKey(c.key), c.d) << c.key;
    EXPECT_EQ(defaults.stringForKey(c.key), c.s) << c.key;
  }
  EXPECT_EQ(defaults.dataForKey("blob"), (Data{1, 2}));
  EXPECT_EQ(defaults.dataForKey("no"), (Data{'n', 'o'}));
  EXPECT_EQ(defaults.arrayForKey("list"), Array{1});
  EXPECT_EQ(defaults.arrayForKey("dict"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("dict"), (Dictionary{{"k", 1}}));
  EXPECT_EQ(defaults.dictionaryForKey("list"), std::nullopt);
}

TEST_F(UserDefaultsTest, RegistrationDomainIsTheFallback) {
  UserDefaults defaults("org.example.registered");
  defaults.registerDefaults(Dictionary{{"enabled", true}, {"interval", 30}});
  defaults.registerDefaults(Dictionary{{"interval", 60}});
  EXPECT_TRUE(defaults.boolForKey("enabled"));
  EXPECT_EQ(defaults.integerForKey("interval"), 60);

  ASSERT_TRUE(defaults.set(false, "enabled"));
  EXPECT_FALSE(defaults.boolForKey("enabled"));
  EXPECT_EQ(defaults.dictionaryRepresentation(), (Dictionary{{"enabled", false}, {"interval", 60}}));
  EXPECT_EQ(defaults.persistentDomain(), (Dictionary{{"enabled", false}}));

  defaults.removeObjectForKey("enabled");
  EXPECT_TRUE(defaults.boolForKey("enabled"));
  ASSERT_TRUE(defaults.set(1, "gone"));
  ASSERT_TRUE(defaults.set(Value(), "gone"));  // null removes
  EXPECT_TRUE(defaults.objectForKey("gone").isNull());

  // What a property list cannot hold is refused and changes nothing.
  EXPECT_FALSE(defaults.set(Array{1, Value()}, "bad"));
  EXPECT_FALSE(defaults.set(Value(std::make_shared<foundation::Object>()), "bad"));
  EXPECT_FALSE(defaults.set(Date::fromTimeIntervalSinceReferenceDate(std::nan("")), "bad"));
  EXPECT_TRUE(defaults.objectForKey("bad").isNull());

  // The registration domain is never saved.
  ASSERT_TRUE(defaults.synchronize());
  auto saved = foundation::PropertyListSerialization::propertyListWithData(
      *FileManager::defaultManager().contentsAtPath(fileFor("org.example.registered")));
  ASSERT_TRUE(saved);
  EXPECT_TRUE(saved->dictionaryValue().empty());
}

TEST_F(UserDefaultsTest, SavesABinaryPropertyListKeepingTypes) {
  const Date when = Date::fromTimeIntervalSinceReferenceDate(818633401.25);
  {
    UserDefaults defaults("org.example.saved");
    ASSERT_TRUE(defaults.set(true, "flag"));
    ASSERT_TRUE(defaults.set(1, "one"));
    ASSERT_TRUE(defaults.set(0.5, "half"));
    ASSERT_TRUE(defaults.set(when, "when"));
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_TRUE(defaults.synchronize());  // nothing changed: still up to date
  }
  foundation::PropertyListFormat format = foundation::PropertyListFormat::XML;
  auto saved = foundation::PropertyListSerialization::propertyListWithData(
      *FileManager::defaultManager().contentsAtPath(fileFor("org.example.saved")), 0, &format);
  ASSERT_TRUE(saved);
  EXPECT_EQ(format, foundation::PropertyListFormat::Binary);
  EXPECT_EQ(FileManager::defaultManager().attributesOfItemAtPath(fileFor("org.example.saved"))->posixPermissions, 0600u);

  UserDefaults reread("org.example.saved");
  EXPECT_EQ(reread.objectForKey("flag").type(), Value::Type::Bool);
  EXPECT_EQ(reread.objectForKey("one").type(), Value::Type::Int);
  EXPECT_EQ(reread.objectForKey("half").type(), Value::Type::Double);
  EXPECT_NEAR(reread.objectForKey("when").dateValue().timeIntervalSince(when), 0.0, 1e-6);
}

TEST_F(UserDefaultsTest, ValuesSurviveANewProcess) {
  ASSERT_EQ(runChild("write", config.path()), 0);
  {
    UserDefaults defaults(kChildSuite);
    EXPECT_EQ(defaults.objectForKey("flag").type(), Value::Type::Bool);
    EXPECT_EQ(defaults.objectForKey("count"), Value(42));
    EXPECT_EQ(defaults.objectForKey("count").type(), Value::Type::Int);
    EXPECT_NEAR(defaults.objectForKey("when").dateValue().timeIntervalSince(kChildDate), 0.0, 1e-6);
    EXPECT_EQ(defaults.arrayForKey("list"), (Array{"a", 2.5}));
    ASSERT_TRUE(defaults.set("parent", "fromParent"));
    ASSERT_TRUE(defaults.set(43, "count"));
    ASSERT_TRUE(defaults.synchronize());
  }
  EXPECT_EQ(runChild("read", config.path()), 0);
}

TEST_F(UserDefaultsTest, DefaultsStillWorkWhileTheProcessExits) {
  ASSERT_EQ(runChild("late", config.path()), 0);
  UserDefaults defaults(kChildSuite);
  EXPECT_EQ(defaults.objectForKey("count"), Value(42));
  EXPECT_EQ(defaults.objectForKey("late"), Value(7));
}

TEST_F(UserDefaultsTest, ChangesAreSavedSoonWithoutSynchronize) {
  UserDefaults defaults("org.example.soon");
  ASSERT_TRUE(defaults.set("v", "k"));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!FileManager::defaultManager().fileExistsAtPath(fileFor("org.example.soon")) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  auto saved = foundation::PropertyListSerialization::propertyListWithData(
      FileManager::defaultManager().contentsAtPath(fileFor("org.example.soon")).value_or(Data()));
  ASSERT_TRUE(saved);
  EXPECT_EQ((*saved)["k"].stringValue(), "v");
}

TEST_F(UserDefaultsTest, ACorruptFileIsSetAsideNotOverwritten) {
  struct Case { const char* name; std::string content; };
  const Case cases[] = {{"garbage", "not a property list"}, {"array", ""}};
  for (const Case& c : cases) {
    const std::string suite = std::string("org.example.corrupt-") + c.name;
    std::string content = c.content;
    if (content.empty()) {  // a valid property list, but not a dictionary
      auto data = foundation::PropertyListSerialization::dataWithPropertyList(Array{1},
                                                                              foundation::PropertyListFormat::Binary);
      content.assign(data->begin(), data->end());
    }
    ASSERT_TRUE(test::writeFile(fileFor(suite), content));
    std::vector<std::string> lines;
    auto previous = foundation::setLogSink([&](const std::string& line) { lines.push_back(line); });

    UserDefaults defaults(suite);
    defaults.registerDefaults(Dictionary{{"fallback", 1}});
    EXPECT_EQ(defaults.integerForKey("fallback"), 1) << c.name;
    ASSERT_TRUE(defaults.set(2, "fresh"));
    EXPECT_TRUE(defaults.synchronize()) << c.name;
    foundation::setLogSink(previous);

    std::vector<std::string> aside;
    const auto listing = FileManager::defaultManager().contentsOfDirectoryAtPath(config.path());
    ASSERT_TRUE(listing);
    for (const std::string& name : *listing) {
      if (name.rfind(suite + ".plist.corrupt-", 0) == 0) aside.push_back(name);
    }
    ASSERT_EQ(aside.size(), 1u) << c.name;
    EXPECT_EQ(test::readFile(config.file(aside[0])), content) << c.name;
    ASSERT_EQ(lines.size(), 1u) << c.name;
    EXPECT_NE(lines[0].find(aside[0]), std::string::npos) << lines[0];
    auto saved = foundation::PropertyListSerialization::propertyListWithData(
        *FileManager::defaultManager().contentsAtPath(fileFor(suite)));
    ASSERT_TRUE(saved) << c.name;
    EXPECT_EQ((*saved)["fresh"], Value(2)) << c.name;
  }
}

TEST_F(UserDefaultsTest, AnUnreadableFileIsNeverReplaced) {
  // A folder where the file should be cannot be read, and is not corrupt data to set aside.
  ASSERT_TRUE(FileManager::defaultManager().createDirectoryAtPath(fileFor("org.example.unreadable"), false));
  auto previous = foundation::setLogSink([](const std::string&) {});
  UserDefaults defaults("org.example.unreadable");
  ASSERT_TRUE(defaults.set(1, "k"));
  EXPECT_EQ(defaults.integerForKey("k"), 1);  // kept in memory
  EXPECT_FALSE(defaults.synchronize());
  foundation::setLogSink(previous);
  bool isDirectory = false;
  EXPECT_TRUE(FileManager::defaultManager().fileExistsAtPath(fileFor("org.example.unreadable"), &isDirectory));
  EXPECT_TRUE(isDirectory);
}

TEST_F(UserDefaultsTest, OneSuiteIsOneStoreAndNamesStayInTheFolder) {
  UserDefaults first("org.example.shared");
  UserDefaults second("org.example.shared");
  ASSERT_TRUE(first.set("x", "k"));
  EXPECT_EQ(second.stringForKey("k"), "x");

  UserDefaults sneaky("../../escape/attempt");
  EXPECT_EQ(sneaky.filePath(), config.file(".._.._escape_attempt.plist"));
}

TEST_F(UserDefaultsTest, ConcurrentUseFromManyThreads) {
  UserDefaults defaults("org.example.threads");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&defaults, t] {
      for (int i = 0; i < 200; ++i) {
        const std::string key = "t" + std::to_string(t) + "-" + std::to_string(i);
        defaults.set(i, key);
        defaults.integerForKey(key);
        defaults.dictionaryRepresentation();
        if (i % 50 == 0) defaults.synchronize();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(defaults.synchronize());
  auto saved = foundation::PropertyListSerialization::propertyListWithData(
      *FileManager::defaultManager().contentsAtPath(fileFor("org.example.threads")));
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->dictionaryValue().size(), 1600u);
  EXPECT_EQ((*saved)["t7-199"], Value(199));
}

TEST_F(UserDefaultsTest, StandardDefaultsUseTheMainBundleIdentifier) {
  foundation::Bundle::setMainBundleForTesting(std::make_shared<foundation::Bundle>(
      "/b", "/b/Resources", Dictionary{{foundation::kCFBundleIdentifierKey, "org.example.standard"}}));
  UserDefaults::resetStandardUserDefaultsForTesting();
  UserDefaults& standard = UserDefaults::standardUserDefaults();
  EXPECT_EQ(&standard, &UserDefaults::standardUserDefaults());
  EXPECT_EQ(standard.filePath(), fileFor("org.example.standard"));
  ASSERT_TRUE(standard.set(true, "k"));
  EXPECT_TRUE(standard.synchronize());
  EXPECT_TRUE(FileManager::defaultManager().fileExistsAtPath(fileFor("org.example.standard")));
  UserDefaults::resetStandardUserDefaultsForTesting();
  foundation::Bundle::setMainBundleForTesting(nullptr);
}

}  // namespace
