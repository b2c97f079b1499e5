#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/appkit/Alert.h"
#include "platform/appkit/AlertPresenter.h"
#include "platform/appkit/FakeAlertPresenter.h"
#include "platform/appkit/MessageBoxAlertPresenter.h"
#include "platform/foundation/Bundle.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

appkit::Alert deleteQuestion() {
  appkit::Alert alert;
  alert.setMessageText("Are you sure you want to delete this hostfile?");
  alert.setInformativeText("The contents stay until you apply.");
  alert.addButtonWithTitle("Yes");
  alert.addButtonWithTitle("No");
  return alert;
}

// The message box currently open, if any.
QMessageBox* openMessageBox() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) return box;
  }
  return nullptr;
}

QAbstractButton* buttonTitled(QMessageBox& box, const QString& title) {
  for (QAbstractButton* button : box.buttons()) {
    if (button->text() == title) return button;
  }
  return nullptr;
}

class AlertTest : public ::testing::Test {
 protected:
  void SetUp() override { test::qtApplication(); }
  void TearDown() override { appkit::AlertPresenter::setShared(nullptr); }
};

TEST_F(AlertTest, ButtonsAnswerInOrderAndAnAlertWithoutButtonsShowsOK) {
  appkit::Alert alert;
  EXPECT_EQ(alert.buttonTitles(), std::vector<std::string>{"OK"});
  EXPECT_EQ(alert.addButtonWithTitle("Take Another Look"), appkit::kAlertFirstButtonReturn);
  EXPECT_EQ(alert.addButtonWithTitle("Apply Changes Anyway"), appkit::kAlertSecondButtonReturn);
  EXPECT_EQ(alert.addButtonWithTitle("Third"), appkit::kAlertThirdButtonReturn);
  EXPECT_EQ(alert.buttonTitles(), (std::vector<std::string>{"Take Another Look", "Apply Changes Anyway", "Third"}));
}

TEST_F(AlertTest, FakePresenterRecordsAlertsAndAnswersAsScripted) {
  auto fake = std::make_shared<appkit::FakeAlertPresenter>();
  appkit::AlertPresenter::setShared(fake);
  QWidget window;
  fake->answerWith(appkit::kAlertSecondButtonReturn);

  std::vector<long> codes;
  deleteQuestion().beginSheetModalForWindow(&window, [&](long code) { codes.push_back(code); });
  deleteQuestion().beginSheetModalForWindow(&window, [&](long code) { codes.push_back(code); });
  const long modal = deleteQuestion().runModal();

  // Scripted first, then the default button once the script runs out.
  EXPECT_EQ(codes, (std::vector<long>{appkit::kAlertSecondButtonReturn, appkit::kAlertFirstButtonReturn}));
  EXPECT_EQ(modal, appkit::kAlertFirstButtonReturn);
  ASSERT_EQ(fake->presentations().size(), 3u);
  const auto& first = fake->presentations()[0];
  EXPECT_EQ(first.alert.messageText(), "Are you sure you want to delete this hostfile?");
  EXPECT_EQ(first.alert.buttonTitles(), (std::vector<std::string>{"Yes", "No"}));
  EXPECT_EQ(first.window, &window);
  EXPECT_TRUE(first.asSheet);
  EXPECT_FALSE(fake->presentations()[2].asSheet);
}

TEST_F(AlertTest, FakePresenterCanHoldASheetOpenUntilEnded) {
  appkit::FakeAlertPresenter fake;
  fake.holdSheets(true);
  std::optional<long> answer;
  fake.beginSheetModal(deleteQuestion(), nullptr, [&](long code) { answer = code; });
  EXPECT_FALSE(answer);
  EXPECT_EQ(fake.pendingSheetCount(), 1u);
  EXPECT_TRUE(fake.endSheet(appkit::kAlertSecondButtonReturn));
  EXPECT_EQ(answer, appkit::kAlertSecondButtonReturn);
  EXPECT_FALSE(fake.endSheet(appkit::kAlertFirstButtonReturn));
}

TEST_F(AlertTest, SheetIsAWindowModalMessageBoxAnsweringWithTheClickedButton) {
  const struct {
    const char* click;
    long expected;
  } cases[] = {{"Yes", appkit::kAlertFirstButtonReturn}, {"No", appkit::kAlertSecondButtonReturn}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.click);
    QWidget window;
    window.show();
    appkit::MessageBoxAlertPresenter presenter;
    std::vector<long> codes;
    presenter.beginSheetModal(deleteQuestion(), &window, [&](long code) { codes.push_back(code); });

    QMessageBox* box = openMessageBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->parentWidget(), &window);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->text(), "Are you sure you want to delete this hostfile?");
    EXPECT_EQ(box->informativeText(), "The contents stay until you apply.");
    EXPECT_EQ(static_cast<QAbstractButton*>(box->defaultButton()), buttonTitled(*box, "Yes"));
    EXPECT_TRUE(codes.empty()) << "the sheet must not block or answer by itself";

    QAbstractButton* button = buttonTitled(*box, c.click);
    ASSERT_NE(button, nullptr);
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(codes, std::vector<long>{c.expected});
  }
}

// A sheet asked for before its window is on screen opens once the window shows, so that it is
// placed over its window and above it; the box carries the application's name.
TEST_F(AlertTest, ASheetOnAWindowNotYetShownOpensWhenItShows) {
  foundation::Bundle::setMainBundleForTesting(std::make_shared<foundation::Bundle>(
      "/nonexistent", "/nonexistent", foundation::Dictionary{{"CFBundleName", foundation::Value("Quillmere")}}));
  QWidget window;
  QWidget* inside = new QWidget(&window);
  appkit::MessageBoxAlertPresenter presenter;
  std::vector<long> codes;
  presenter.beginSheetModal(deleteQuestion(), inside, [&](long code) { codes.push_back(code); });
  QCoreApplication::processEvents();
  EXPECT_EQ(openMessageBox(), nullptr);

  window.show();
  QMessageBox* box = nullptr;
  ASSERT_TRUE(QTest::qWaitFor([&] { return (box = openMessageBox()) != nullptr; }));
  EXPECT_EQ(box->parentWidget(), &window);  // the top-level window of the widget given
  EXPECT_EQ(box->windowTitle(), "Quillmere");
  ASSERT_NE(box->windowHandle(), nullptr);
  EXPECT_EQ(box->windowHandle()->transientParent(), window.windowHandle());
  QTest::mouseClick(buttonTitled(*box, "No"), Qt::LeftButton);
  EXPECT_EQ(codes, std::vector<long>{appkit::kAlertSecondButtonReturn});
  foundation::Bundle::setMainBundleForTesting(nullptr);
}

TEST_F(AlertTest, EscapeAnswersCancelAndIsRefusedWhenNoButtonMeansCancel) {
  QWidget window;
  window.show();
  appkit::MessageBoxAlertPresenter presenter;

  appkit::Alert withCancel;
  withCancel.addButtonWithTitle("Save");
  const long cancelCode = withCancel.addButtonWithTitle("Cancel");
  std::vector<long> codes;
  presenter.beginSheetModal(withCancel, &window, [&](long code) { codes.push_back(code); });
  ASSERT_NE(openMessageBox(), nullptr);
  QTest::keyClick(openMessageBox(), Qt::Key_Escape);
  EXPECT_EQ(codes, std::vector<long>{cancelCode});

  // "Yes"/"No" has no cancel: Escape must not pick an answer for the user.
  codes.clear();
  presenter.beginSheetModal(deleteQuestion(), &window, [&](long code) { codes.push_back(code); });
  QTest::qWait(50);  // lets the first box's deferred deletion happen
  QMessageBox* box = openMessageBox();
  ASSERT_NE(box, nullptr);
  QTest::keyClick(box, Qt::Key_Escape);
  EXPECT_TRUE(codes.empty());
  EXPECT_TRUE(box->isVisible());
  QTest::mouseClick(buttonTitled(*box, "No"), Qt::LeftButton);
  EXPECT_EQ(codes, std::vector<long>{appkit::kAlertSecondButtonReturn});
}

TEST_F(AlertTest, RunModalReturnsTheCodeOfTheButtonClickedInsideItsLoop) {
  appkit::MessageBoxAlertPresenter presenter;
  bool sawApplicationModalBox = false;
  QTimer::singleShot(0, [&] {
    QMessageBox* box = openMessageBox();
    if (!box) return;
    sawApplicationModalBox = box->windowModality() == Qt::ApplicationModal;
    QTest::mouseClick(buttonTitled(*box, "No"), Qt::LeftButton);
  });
  EXPECT_EQ(presenter.runModal(deleteQuestion()), appkit::kAlertSecondButtonReturn);
  EXPECT_TRUE(sawApplicationModalBox);
}

}  // namespace
