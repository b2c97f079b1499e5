#include <gtest/gtest.h>

#include <sys/stat.h>

#include "app/FirstVersionImporter.h"
#include "hostfiles/ApplicationExtras.h"
#include "platform/foundation/FileManager.h"
#include "tests/app/AppFixture.h"

namespace {

using app::HostGroupFields;
using test::AppFixture;
using test::pumpUntil;

class FirstVersionImportTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    // The fixture marks the question as asked; these tests are about the first one.
    foundation::UserDefaults::standardUserDefaults().removeObjectForKey("askedToImportV1");
    foundation::UserDefaults::standardUserDefaults().synchronize();
    // A first-version folder: two hostfiles, one in Latin-1; a hidden file, a subfolder with a
    // file inside, and a file that is not text, none of which may be imported.
    folder_ = ApplicationExtras::v1HostsPath();
    ASSERT_EQ(::mkdir((dataDir_.path() + "/Quillmere").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(folder_.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((folder_ + "/Sub").c_str(), 0700), 0);
    ASSERT_TRUE(test::writeFile(folder_ + "/Office.txt", "10.0.0.1 office\n"));
    ASSERT_TRUE(test::writeFile(folder_ + "/Home", "10.0.0.2 caf\xe9\n"));
    ASSERT_TRUE(test::writeFile(folder_ + "/.hidden", "10.0.0.3 hidden\n"));
    ASSERT_TRUE(test::writeFile(folder_ + "/Sub/Inner.txt", "10.0.0.4 inner\n"));
    ASSERT_TRUE(test::writeFile(folder_ + "/Broken", "\xff\xfe\x41"));  // UTF-16 of odd length
  }

  const appkit::Alert& onlyQuestion() {
    EXPECT_EQ(alerts_->presentations().size(), 1u);
    return alerts_->presentations().front().alert;
  }

  // Runs the loop a little so that any save that was (wrongly) started would have finished.
  void settle() { pumpUntil([] { return false; }, 0.3); }

  std::string folder_;
};

TEST_F(FirstVersionImportTest, TheFirstLoadAsksOnceAndYesImportsEveryTopLevelFile) {
  launch();
  const appkit::Alert& question = onlyQuestion();
  EXPECT_EQ(question.messageText(), "Would you like to import your data from Quillmere 1.0?");
  EXPECT_EQ(question.informativeText(), "");
  EXPECT_EQ(question.buttonTitles(), (std::vector<std::string>{"Yes", "No"}));
  EXPECT_TRUE(alerts_->presentations().front().asSheet);
  EXPECT_EQ(alerts_->presentations().front().window, window().window());
  EXPECT_EQ(events_, std::vector<std::string>{"importV1"});

  ASSERT_TRUE(pumpUntil([&] { return titles().size() == 3; }));
  settle();
  EXPECT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "Home", "Office.txt"}));
  const auto home = list().hostGroupAt(1);
  EXPECT_EQ(HostGroupFields::contentsProxy(*home), "10.0.0.2 caf\u00e9\n");
  EXPECT_EQ(HostGroupFields::contentsProxy(*list().hostGroupAt(2)), "10.0.0.1 office\n");
  for (const auto& record : {home, list().hostGroupAt(2)}) {
    EXPECT_TRUE(HostGroupFields::isEnabled(*record));
    EXPECT_TRUE(HostGroupFields::isEditable(*record));
    EXPECT_FALSE(HostGroupFields::isRemote(*record));
    EXPECT_FALSE(HostGroupFields::isEtcHostsPreview(*record));
    EXPECT_EQ(HostGroupFields::remoteURL(*record), "");
    EXPECT_EQ(HostGroupFields::sortOrder(*record), 1);
  }

  // The flag was written to disk: a later run does not ask again, and imports nothing more.
  relaunch();
  settle();
  EXPECT_EQ(alerts_->presentations().size(), 1u);
  EXPECT_EQ(events_, std::vector<std::string>{"importV1"});
  EXPECT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "Home", "Office.txt"}));
}

TEST_F(FirstVersionImportTest, NoImportsNothingSendsNoEventAndIsNotAskedAgain) {
  alerts_->answerWith(appkit::kAlertSecondButtonReturn);
  launch();
  onlyQuestion();
  settle();
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(titles(), std::vector<std::string>{"/etc/hosts"});

  relaunch();
  settle();
  EXPECT_EQ(alerts_->presentations().size(), 1u);
  EXPECT_EQ(titles(), std::vector<std::string>{"/etc/hosts"});
}

TEST_F(FirstVersionImportTest, TheMenuActionAsksAgainAndASecondImportMakesSecondCopies) {
  foundation::UserDefaults::standardUserDefaults().set(true, "askedToImportV1");
  launch();
  EXPECT_TRUE(alerts_->presentations().empty());

  window().askToImportV1();
  ASSERT_TRUE(pumpUntil([&] { return titles().size() == 3; }));
  window().askToImportV1();
  ASSERT_TRUE(pumpUntil([&] { return titles().size() == 5; }));
  settle();
  EXPECT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "Home", "Home", "Office.txt", "Office.txt"}));
  EXPECT_EQ(events_, (std::vector<std::string>{"importV1", "importV1"}));
  EXPECT_EQ(test::readFile(folder_ + "/Office.txt"), "10.0.0.1 office\n");  // the source stays
}

TEST_F(FirstVersionImportTest, AMissingFolderImportsNothingAndSaysNothing) {
  ASSERT_TRUE(foundation::FileManager::defaultManager().removeItemAtPath(folder_));
  launch();
  onlyQuestion();
  settle();
  EXPECT_EQ(events_, std::vector<std::string>{"importV1"});
  EXPECT_EQ(titles(), std::vector<std::string>{"/etc/hosts"});
  EXPECT_TRUE(app::FirstVersionImporter::filesToImport(folder_).empty());
}

}  // namespace
