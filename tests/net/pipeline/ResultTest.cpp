#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "net/pipeline/Result.h"
#include "platform/foundation/Error.h"
#include "tests/net/pipeline/PipelineTestSupport.h"

namespace {

using pipeline::AnyError;
using pipeline::Result;

AnyError someError(long code = 7) { return AnyError(foundation::Error::withDescription("Test", code, "broken")); }

TEST(Result, InspectionAndTexts) {
  const auto error = someError();
  const auto ok = Result<std::string>::success("");
  const auto bad = Result<std::string>::failure(error);

  EXPECT_TRUE(ok.isSuccess());
  EXPECT_FALSE(ok.isFailure());
  EXPECT_EQ(ok.value(), std::string());
  EXPECT_FALSE(ok.error());
  EXPECT_EQ(ok.description(), "SUCCESS");
  EXPECT_EQ(ok.debugDescription(), "SUCCESS: ");

  EXPECT_TRUE(bad.isFailure());
  EXPECT_FALSE(bad.value());
  EXPECT_EQ(*bad.error(), error);
  EXPECT_EQ(bad.description(), "FAILURE");
  EXPECT_EQ(bad.debugDescription(), "FAILURE: " + error.description());

  EXPECT_EQ(Result<int>::success(42).debugDescription(), "SUCCESS: 42");
  EXPECT_EQ(Result<double>::success(1.5).debugDescription(), "SUCCESS: 1.5");
  EXPECT_EQ(Result<bool>::success(true).debugDescription(), "SUCCESS: true");
}

TEST(Result, ConstructionFromCallbackCapturesWhatIsThrown) {
  int calls = 0;
  Result<int> fine([&] { ++calls; return 3; });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(fine.value(), 3);

  const auto error = someError();
  Result<int> raised([&]() -> int { error.raise(); });
  EXPECT_EQ(*raised.error(), error);  // the very object, not a copy

  Result<int> standard([]() -> int { throw std::runtime_error("disk on fire"); });
  ASSERT_TRUE(standard.isFailure());
  EXPECT_EQ(standard.error()->localizedDescription(), "disk on fire");

  Result<int> platform([]() -> int { throw foundation::Error::withDescription("D", 2, "plain"); });
  ASSERT_TRUE(platform.error()->is<foundation::Error>());
  EXPECT_EQ(platform.error()->as<foundation::Error>()->code(), 2);
}

TEST(Result, UnwrapRaisesTheStoredErrorItself) {
  const auto error = someError();
  EXPECT_EQ(Result<int>::success(5).unwrap(), 5);
  auto thrown = test::thrownBy([&] { Result<int>::failure(error).unwrap(); });
  ASSERT_TRUE(thrown);
  EXPECT_EQ(*thrown, error);
}

TEST(Result, MapAndFlatMapKeepTheErrorAndCatchRaises) {
  const auto error = someError();
  int calls = 0;
  auto mapped = Result<int>::failure(error).map([&](int v) { ++calls; return std::to_string(v); });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(*mapped.error(), error);

  auto text = Result<int>::success(4).map([](int v) { return std::to_string(v * 2); });
  EXPECT_EQ(text.value(), "8");

  const auto raised = someError(9);
  auto flat = Result<int>::success(4).flatMap([&](int) -> std::string { raised.raise(); });
  EXPECT_EQ(*flat.error(), raised);

  auto flatFailure = Result<int>::failure(error).flatMap([&](int v) { ++calls; return v; });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(*flatFailure.error(), error);
}

TEST(Result, MapErrorAndFlatMapError) {
  const auto original = someError(1);
  const auto replacement = someError(2);
  int calls = 0;

  auto kept = Result<int>::success(1).mapError([&](const AnyError&) { ++calls; return replacement; });
  EXPECT_EQ(kept.value(), 1);
  EXPECT_EQ(calls, 0);

  auto swapped = Result<int>::failure(original).mapError([&](const AnyError&) { return replacement; });
  EXPECT_EQ(*swapped.error(), replacement);

  auto wrapped = Result<int>::failure(original).mapError(
      [](const AnyError& e) { return foundation::Error::withDescription("Wrapped", 3, e.localizedDescription()); });
  ASSERT_TRUE(wrapped.error()->is<foundation::Error>());
  EXPECT_EQ(wrapped.error()->localizedDescription(), "broken");

  const auto raised = someError(3);
  auto flat = Result<int>::failure(original).flatMapError([&](const AnyError&) -> AnyError { raised.raise(); });
  EXPECT_EQ(*flat.error(), raised);  // the raised error, not the one it was given

  auto flatOk = Result<int>::success(8).flatMapError([&](const AnyError& e) { ++calls; return e; });
  EXPECT_EQ(flatOk.value(), 8);
  EXPECT_EQ(calls, 0);
}

TEST(Result, SideEffectsRunOnTheirCaseAndLetRaisesThrough) {
  const auto error = someError();
  std::string seen;
  auto ok = Result<int>::success(2);
  auto bad = Result<int>::failure(error);

  EXPECT_EQ(ok.withValue([&](int v) { seen += "value" + std::to_string(v); }).value(), 2);
  bad.withValue([&](int) { seen += "!"; });
  bad.withError([&](const AnyError& e) { seen += e == error ? " error" : " other"; });
  ok.withError([&](const AnyError&) { seen += "!"; });
  ok.ifSuccess([&] { seen += " success"; });
  bad.ifSuccess([&] { seen += "!"; });
  EXPECT_EQ(ok.ifFailure([&] { seen += "!"; }).value(), 2);
  bad.ifFailure([&] { seen += " failure"; });
  EXPECT_EQ(seen, "value2 error success failure");

  const auto raised = someError(5);
  auto thrown = test::thrownBy([&] { ok.withValue([&](int) { raised.raise(); }); });
  ASSERT_TRUE(thrown);
  EXPECT_EQ(*thrown, raised);
}

TEST(AnyError, CopiesShareIdentityAndFreshWrapsDoNot) {
  foundation::Error platform = foundation::Error::withDescription("D", 1, "x");
  AnyError a(platform);
  AnyError copy = a;
  AnyError other(platform);
  EXPECT_EQ(a, copy);
  EXPECT_EQ(a.identity(), copy.identity());
  EXPECT_FALSE(a == other);
  EXPECT_EQ(a.localizedDescription(), "x");
  EXPECT_EQ(a.description(), platform.description());
  EXPECT_EQ(a.as<std::string>(), nullptr);
}

}  // namespace
