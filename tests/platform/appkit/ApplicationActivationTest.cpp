#include "platform/appkit/ApplicationActivation.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>
#include <string>
#include <vector>

#include "platform/foundation/NotificationCenter.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

// Records the names of the activation notifications posted while it lives.
class ActivationRecorder {
 public:
  ActivationRecorder() {
    auto& center = foundation::NotificationCenter::defaultCenter();
    for (const char* name : {appkit::kApplicationWillBecomeActiveNotification,
                             appkit::kApplicationDidResignActiveNotification}) {
      tokens_.push_back(center.addObserver(name, nullptr, nullptr,
                                           [this](const foundation::Notification& note) { names.push_back(note.name()); }));
    }
  }
  ~ActivationRecorder() {
    for (auto token : tokens_) foundation::NotificationCenter::defaultCenter().removeObserver(token);
  }
  std::vector<std::string> names;

 private:
  std::vector<foundation::NotificationCenter::ObserverToken> tokens_;
};

TEST(ApplicationActivationTest, FocusComingAndGoingPostsBecomeActiveAndResignActive) {
  test::qtApplication();
  ActivationRecorder recorder;
  auto activation = std::make_unique<appkit::ApplicationActivation>();
  EXPECT_FALSE(activation->isActive());  // nothing shown yet

  QWidget window;
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  ASSERT_TRUE(QTest::qWaitFor([&] { return activation->isActive(); }));
  EXPECT_EQ(recorder.names, std::vector<std::string>{appkit::kApplicationWillBecomeActiveNotification});

  // The offscreen platform never takes the focus away from the application, so the desktop's
  // part is played by raising Qt's own signal; moves between inactive states post nothing.
  emit qApp->applicationStateChanged(Qt::ApplicationInactive);
  emit qApp->applicationStateChanged(Qt::ApplicationHidden);
  EXPECT_FALSE(activation->isActive());
  emit qApp->applicationStateChanged(Qt::ApplicationActive);
  EXPECT_EQ(recorder.names, (std::vector<std::string>{appkit::kApplicationWillBecomeActiveNotification,
                                                      appkit::kApplicationDidResignActiveNotification,
                                                      appkit::kApplicationWillBecomeActiveNotification}));

  // Once it is gone nothing more is posted.
  activation.reset();
  emit qApp->applicationStateChanged(Qt::ApplicationInactive);
  EXPECT_EQ(recorder.names.size(), 3u);
  window.close();
}

}  // namespace
