#include "telemetry/core/Internals/DelegateForwarder/TLAppDelegateForwarder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/appkit/Application.h"
#include "platform/foundation/Bundle.h"
#include "telemetry/core/TLTelemetry.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

std::shared_ptr<foundation::Bundle> bundleWith(std::optional<foundation::Dictionary> info) {
  return std::make_shared<foundation::Bundle>("/nonexistent", "/nonexistent/Resources", std::move(info));
}

class RecordingAppDelegate : public appkit::ApplicationDelegate {
 public:
  void applicationDidFinishLaunching() override { calls.push_back("own didFinishLaunching"); }
  std::vector<std::string> calls;
};

class TLDelegateForwarderTest : public testing::Test {
 protected:
  TLDelegateForwarderTest() {
    TLDelegateForwarder::resetTraceBufferForTesting();
    TLAppDelegateForwarder::resetSharedInstance();
    forwarder = TLAppDelegateForwarder::sharedInstance();
  }
  ~TLDelegateForwarderTest() override { foundation::Bundle::setMainBundleForTesting(nullptr); }

  std::shared_ptr<TLAppDelegateForwarder> forwarder;
  test::TLLogRecorder logs;
};

TEST_F(TLDelegateForwarderTest, InformationKeySwitchesTheForwarder) {
  struct Case {
    const char* name;
    std::optional<foundation::Dictionary> info;
    bool enabled;
  };
  foundation::Dictionary off;
  off.set(TLAppDelegateForwarder::kEnabledKey, foundation::Value(false));
  foundation::Dictionary on;
  on.set(TLAppDelegateForwarder::kEnabledKey, foundation::Value(true));
  const std::vector<Case> cases = {{"no dictionary", std::nullopt, true},
                                   {"no key", foundation::Dictionary(), true},
                                   {"NO", off, false},
                                   {"YES", on, true}};
  for (const Case& entry : cases) {
    SCOPED_TRACE(entry.name);
    foundation::Bundle::setMainBundleForTesting(bundleWith(entry.info));
    TLAppDelegateForwarder::resetSharedInstance();
    forwarder = TLAppDelegateForwarder::sharedInstance();
    forwarder->setEnabledFromPlistForKey(TLAppDelegateForwarder::kEnabledKey);
    EXPECT_EQ(forwarder->isEnabled(), entry.enabled);
    auto custom = std::make_shared<TLCustomApplicationDelegate>();
    custom->setMethod("ping:returnedValue:", [](const foundation::Array&) { return foundation::Value("pong"); });
    // A disabled forwarder takes no custom delegate and registers no callback.
    forwarder->addDelegate(custom);
    EXPECT_EQ(forwarder->forwardInvocation("ping:returnedValue:", {foundation::Value("none")}),
              foundation::Value(entry.enabled ? "pong" : "none"));
    forwarder->addDelegateSelectorToSwizzle("applicationDidFinishLaunching");
    EXPECT_EQ(forwarder->selectorsToSwizzle().empty(), !entry.enabled);
  }
}

TEST_F(TLDelegateForwarderTest, TracesWaitForTheLogLevelAndThenRunAtOnce) {
  foundation::Bundle::setMainBundleForTesting(bundleWith(std::nullopt));
  forwarder->setEnabledFromPlistForKey(TLAppDelegateForwarder::kEnabledKey);
  TLDelegateForwarder::addTraceBlock([] { TLLogWarning(kTLLogTag, "second trace"); });
  EXPECT_TRUE(logs.entries().empty());

  TLTelemetry::setLogLevel(TLLogLevelVerbose);
  std::vector<std::string> lines;
  for (const auto& entry : logs.entries()) lines.push_back(entry.message);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Start buffering traces.",
                       "Delegate forwarder for info.plist key 'TelemetryAppDelegateForwarderEnabled' enabled. It may "
                       "use swizzling.",
                       "second trace", "Stop buffering traces, flushed."}));

  TLDelegateForwarder::addTraceBlock([] { TLLogWarning(kTLLogTag, "later trace"); });
  TLTelemetry::setLogLevel(TLLogLevelDebug);
  EXPECT_EQ(logs.entries().size(), 5u);
  EXPECT_EQ(logs.entries().back().message, "later trace");
}

TEST_F(TLDelegateForwarderTest, ChainingCallPassesEachReturnValueOn) {
  EXPECT_EQ(forwarder->forwardInvocation("count:returnedValue:", {foundation::Value(1), foundation::Value(7)}),
            foundation::Value(7));

  std::vector<foundation::Array> seen;
  auto first = std::make_shared<TLCustomApplicationDelegate>();
  first->setMethod("count:returnedValue:", [&](const foundation::Array& arguments) {
    seen.push_back(arguments);
    return foundation::Value(arguments.back().intValue() + 10);
  });
  auto second = std::make_shared<TLCustomApplicationDelegate>();
  second->setMethod("count:returnedValue:", [&](const foundation::Array& arguments) {
    seen.push_back(arguments);
    return foundation::Value(arguments.back().intValue() * 2);
  });
  auto deaf = std::make_shared<TLCustomApplicationDelegate>();
  forwarder->addDelegate(first);
  forwarder->addDelegate(deaf);
  forwarder->addDelegate(second);

  EXPECT_EQ(forwarder->forwardInvocation("count:returnedValue:", {foundation::Value(1), foundation::Value(7)}),
            foundation::Value(34));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].back(), foundation::Value(17));
}

// The application's own callback still runs, and the custom delegates hear it after it.
TEST_F(TLDelegateForwarderTest, SetDelegateSlotHandsTheCallbacksToCustomDelegates) {
  int argc = 1;
  char name[] = "forwarder-test";
  char* argv[] = {name, nullptr};
  appkit::Application application(argc, argv);

  auto custom = std::make_shared<TLCustomApplicationDelegate>();
  std::vector<std::string>* calls = nullptr;
  custom->setMethod(appkit::ApplicationDelegate::kDidFinishLaunching, [&](const foundation::Array&) {
    calls->push_back("custom didFinishLaunching");
    return foundation::Value();
  });
  forwarder->addDelegate(custom);
  forwarder->addDelegateSelectorToSwizzle(appkit::ApplicationDelegate::kDidFinishLaunching);
  forwarder->addDelegateSelectorToSwizzle("applicationDidChangeScreenParameters");

  auto delegate = std::make_shared<RecordingAppDelegate>();
  calls = &delegate->calls;
  application.setDelegate(delegate);
  ASSERT_EQ(application.delegate(), delegate);
  EXPECT_TRUE(forwarder->selectorsToSwizzle().empty());
  EXPECT_TRUE(delegate->respondsToName("applicationDidChangeScreenParameters"));

  delegate->perform(appkit::ApplicationDelegate::kDidFinishLaunching);
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"own didFinishLaunching", "custom didFinishLaunching"}));
  // The other callbacks are the delegate's own still.
  EXPECT_EQ(delegate->perform(appkit::ApplicationDelegate::kShouldTerminateAfterLastWindowClosed), foundation::Value(true));
}

}  // namespace
