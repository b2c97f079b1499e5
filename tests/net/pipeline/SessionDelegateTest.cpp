// The session delegate and task delegates driven directly, as a URL session would call them, over
// tasks that are never resumed: the completion gate's order, the first error, the override slots,
// a data task that becomes a download, and the built-in answers of the task delegates.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "net/pipeline/DataRequest.h"
#include "net/pipeline/DownloadTaskDelegate.h"
#include "net/pipeline/Notifications.h"
#include "net/pipeline/SessionDelegate.h"
#include "net/pipeline/SessionManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/URLError.h"

namespace {

using foundation::pumpMainUntil;
using pipeline::AnyError;
using Disposition = net::URLSessionAuthChallengeDisposition;

struct FakeSession {
  std::shared_ptr<pipeline::SessionManager> manager = pipeline::SessionManager::create(
      net::URLSessionConfiguration::ephemeralSessionConfiguration());
  std::shared_ptr<pipeline::SessionDelegate> delegate = manager->delegate();
  net::URLSessionPtr session = manager->session();

  // The manager's end invalidates the session, which cancels the never-resumed tasks through the
  // delegate queue. Waiting for the end of that keeps those callbacks inside the test, not racing
  // the process's exit.
  ~FakeSession() {
    auto invalid = std::make_shared<std::atomic<bool>>(false);
    delegate->sessionDidBecomeInvalidWithError.set([invalid](const auto&, const auto&) { *invalid = true; });
    manager.reset();
    EXPECT_TRUE(pumpMainUntil([&] { return invalid->load(); })) << "the session never became invalid";
  }

  // A registered data request over a task that is never resumed.
  std::shared_ptr<pipeline::DataRequest> dataRequest() {
    auto urlRequest = net::URLRequest(*net::URL::fromString("http://127.0.0.1:9/never"));
    auto task = session->dataTask(urlRequest);
    auto request = pipeline::DataRequest::create(
        session, pipeline::RequestTask::data(std::make_shared<pipeline::DataRequest::Requestable>(urlRequest), task));
    delegate->setRequest(request, task);
    return request;
  }
};

AnyError urlError(long code) { return AnyError(net::makeURLError(code)); }

long platformCode(const std::optional<AnyError>& error) {
  const auto* platform = error ? error->as<foundation::Error>() : nullptr;
  return platform ? platform->code() : 0;
}

TEST(CompletionGate, HandlersWaitForCompletionThenRunInOrderAndLateOnesRunAtOnce) {
  FakeSession fake;
  auto request = fake.dataRequest();
  std::mutex mutex;
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  auto handler = [&](int id) {
    return [&, id](const pipeline::DataResponse<foundation::Data>&) {
      std::lock_guard lock(mutex);
      order.push_back(id);
    };
  };
  // Serializers that note whether two ever run at once on the gate.
  auto slowSerializer = pipeline::DataResponseSerializer<foundation::Data>(
      [&](const auto&, const auto&, const auto& data, const auto&) {
        if (running.fetch_add(1) > 0) overlapped = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        running.fetch_sub(1);
        return pipeline::Result<foundation::Data>::success(data.value_or(foundation::Data{}));
      });
  request->response(nullptr, slowSerializer, handler(1));
  request->response(nullptr, slowSerializer, handler(2));
  EXPECT_FALSE(pumpMainUntil([&] { return !order.empty(); }, 0.2)) << "no handler runs before completion";
  EXPECT_FALSE(request->endTime());

  fake.delegate->didCompleteWithError(fake.session, request->task(), std::nullopt);
  ASSERT_TRUE(pumpMainUntil([&] { return order.size() == 2; }));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_FALSE(overlapped.load());
  EXPECT_TRUE(request->endTime());

  request->response(nullptr, slowSerializer, handler(3));
  ASSERT_TRUE(pumpMainUntil([&] { return order.size() == 3; }));
  EXPECT_EQ(order.back(), 3);
}

TEST(CompletionGate, FirstRecordedErrorWinsOverTheReportedOne) {
  FakeSession fake;
  auto request = fake.dataRequest();
  request->delegate()->setError(urlError(net::URLErrorCannotMoveFile));
  std::optional<pipeline::DefaultDataResponse> received;
  request->response([&](const auto& r) { received = r; });
  fake.delegate->didCompleteWithError(fake.session, request->task(), net::makeURLError(net::URLErrorTimedOut));
  ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); }));
  EXPECT_EQ(platformCode(received->error()), net::URLErrorCannotMoveFile);
}

TEST(CompletionGate, CompletionOverrideOfTheTaskDelegateKeepsTheGateClosed) {
  FakeSession fake;
  auto request = fake.dataRequest();
  std::atomic<bool> overridden{false};
  request->delegate()->taskDidCompleteWithError.set([&](const auto&, const auto&, const auto&) { overridden = true; });
  bool ran = false;
  request->response([&](const auto&) { ran = true; });
  fake.delegate->didCompleteWithError(fake.session, request->task(), std::nullopt);
  EXPECT_TRUE(overridden.load());
  EXPECT_FALSE(pumpMainUntil([&] { return ran; }, 0.2));
  // The override must not outlive this test's locals. Nothing will open the gate now: the session
  // has forgotten the request, so the cancellation at its end does not reach it. Opened here, the
  // held handler runs and lets go of the request it keeps alive.
  request->delegate()->taskDidCompleteWithError.set(nullptr);
  request->delegate()->queue()->setSuspended(false);
  EXPECT_TRUE(pumpMainUntil([&] { return ran; }));
}

TEST(SessionDelegateOverrides, CompletionTakingOverrideWins) {
  FakeSession fake;
  std::atomic<int> plainCalls{0};
  std::optional<Disposition> answered;
  fake.delegate->sessionDidReceiveChallenge.set([&](const auto&, const auto&) {
    ++plainCalls;
    return pipeline::ChallengeAnswer{Disposition::UseCredential, nullptr};
  });
  fake.delegate->sessionDidReceiveChallengeWithCompletion.set(
      [&](const auto&, const auto&, const net::ChallengeCompletion& completion) {
        completion(Disposition::RejectProtectionSpace, nullptr);
      });
  net::URLAuthenticationChallenge challenge(
      net::URLProtectionSpace("127.0.0.1", 80, "http", std::nullopt, std::string(net::kURLAuthenticationMethodHTTPBasic)),
      nullptr, 0, nullptr, std::nullopt);
  fake.delegate->didReceiveChallenge(fake.session, challenge, [&](Disposition d, auto) { answered = d; });
  EXPECT_EQ(answered, Disposition::RejectProtectionSpace);
  EXPECT_EQ(plainCalls.load(), 0);

  auto request = fake.dataRequest();
  std::optional<std::optional<net::URLRequest>> redirect;
  const net::URLRequest proposed(*net::URL::fromString("http://127.0.0.1:9/next"));
  fake.delegate->willPerformHTTPRedirection(fake.session, request->task(), nullptr, proposed,
                                            [&](std::optional<net::URLRequest> r) { redirect = r; });
  ASSERT_TRUE(redirect && *redirect);
  EXPECT_EQ((*redirect)->url()->absoluteString(), "http://127.0.0.1:9/next");
  fake.delegate->taskWillPerformHTTPRedirection.set(
      [](const auto&, const auto&, const auto&, const auto&) -> std::optional<net::URLRequest> { return std::nullopt; });
  fake.delegate->willPerformHTTPRedirection(fake.session, request->task(), nullptr, proposed,
                                            [&](std::optional<net::URLRequest> r) { redirect = r; });
  EXPECT_FALSE(*redirect) << "the override's none means: do not follow";
}

TEST(SessionDelegateOverrides, RespondsToOptionalCallbacksOnlyWhileSet) {
  FakeSession fake;
  using C = net::URLSessionCallback;
  EXPECT_FALSE(fake.delegate->respondsTo(C::DidBecomeInvalid));
  EXPECT_FALSE(fake.delegate->respondsTo(C::DataTaskDidReceiveResponse));
  EXPECT_FALSE(fake.delegate->respondsTo(C::StreamTaskReadClosed));
  EXPECT_TRUE(fake.delegate->respondsTo(C::TaskDidComplete));
  EXPECT_TRUE(fake.delegate->respondsTo(C::DataTaskDidReceiveData));
  fake.delegate->sessionDidBecomeInvalidWithError.set([](const auto&, const auto&) {});
  fake.delegate->dataTaskDidReceiveResponseWithCompletion.set([](const auto&, const auto&, const auto&, const auto&) {});
  EXPECT_TRUE(fake.delegate->respondsTo(C::DidBecomeInvalid));
  EXPECT_TRUE(fake.delegate->respondsTo(C::DataTaskDidReceiveResponse));
}

TEST(SessionDelegateOverrides, TaskDidCompleteRunsInsideCompletionAndUnregisteredTasksStillPost) {
  FakeSession fake;
  auto task = fake.session->dataTask(net::URLRequest(*net::URL::fromString("http://127.0.0.1:9/x")));
  std::atomic<int> overrideCalls{0};
  fake.delegate->taskDidComplete.set([&](const auto&, const auto&, const auto&) { ++overrideCalls; });
  std::optional<foundation::Dictionary> userInfo;
  auto token = foundation::NotificationCenter::defaultCenter().addObserver(
      pipeline::Notification::Name::Task::DidComplete, static_cast<const foundation::Object*>(fake.delegate.get()),
      nullptr, [&](const foundation::Notification& n) { userInfo = n.userInfo(); });
  fake.delegate->didCompleteWithError(fake.session, task, std::nullopt);
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(overrideCalls.load(), 1);
  fake.delegate->taskDidComplete.set(nullptr);
  ASSERT_TRUE(userInfo);
  EXPECT_EQ(userInfo->keys(), std::vector<std::string>{pipeline::Notification::Key::Task});
}

TEST(SessionDelegateForwarding, DataTaskThatBecomesADownloadMovesItsRequest) {
  FakeSession fake;
  auto request = fake.dataRequest();
  auto dataTask = std::static_pointer_cast<net::URLSessionDataTask>(request->task());
  auto downloadTask = fake.session->downloadTask(net::URLRequest(*net::URL::fromString("http://127.0.0.1:9/d")));
  fake.delegate->didBecomeDownloadTask(fake.session, dataTask, downloadTask);
  EXPECT_EQ(fake.delegate->request(downloadTask), request);
  EXPECT_FALSE(fake.delegate->request(dataTask));
  auto newDelegate = std::dynamic_pointer_cast<pipeline::DownloadTaskDelegate>(request->delegate());
  ASSERT_TRUE(newDelegate);
  EXPECT_EQ(newDelegate->task(), downloadTask);
}

TEST(SessionDelegateForwarding, ReceivedDataIsCollectedOrStreamedAndCounted) {
  FakeSession fake;
  auto request = fake.dataRequest();
  auto task = std::static_pointer_cast<net::URLSessionDataTask>(request->task());
  const foundation::Data chunk{'a', 'b', 'c'};
  fake.delegate->didReceiveData(fake.session, task, chunk);
  EXPECT_EQ(request->dataDelegate()->data(), chunk);
  EXPECT_EQ(request->progress()->totalUnitCount(), net::kURLSessionTransferSizeUnknown) << "no response yet";
  EXPECT_TRUE(request->delegate()->initialResponseTime());

  std::vector<foundation::Data> streamed;
  request->stream([&](const foundation::Data& d) { streamed.push_back(d); });
  fake.delegate->didReceiveData(fake.session, task, chunk);
  EXPECT_FALSE(request->dataDelegate()->data());
  EXPECT_EQ(request->dataDelegate()->mutableData(), chunk) << "streamed chunks are not collected";
  EXPECT_EQ(streamed.size(), 1u);
  EXPECT_EQ(request->dataDelegate()->totalBytesReceived(), 6);
  EXPECT_EQ(request->progress()->completedUnitCount(), 6);

  request->stream(nullptr);
  fake.delegate->didReceiveData(fake.session, task, chunk);
  EXPECT_EQ(request->dataDelegate()->data()->size(), 6u);
}

TEST(SessionDelegateForwarding, ABodyHandedOnKeepsItsBytesWhileLaterChunksGoToACopy) {
  FakeSession fake;
  auto request = fake.dataRequest();
  auto task = std::static_pointer_cast<net::URLSessionDataTask>(request->task());
  const auto delegate = request->dataDelegate();
  const foundation::Data ab{'a', 'b'}, abcd{'a', 'b', 'c', 'd'};
  fake.delegate->didReceiveData(fake.session, task, ab);
  const auto first = delegate->sharedData();
  EXPECT_EQ(delegate->sharedData(), first) << "asked twice, one body";

  fake.delegate->didReceiveData(fake.session, task, foundation::Data{'c', 'd'});
  EXPECT_EQ(**first, ab);
  EXPECT_EQ(**delegate->sharedData(), abcd);
  EXPECT_EQ(delegate->data(), abcd);
  EXPECT_EQ(delegate->mutableData(), abcd);

  request->stream([](const foundation::Data&) {});
  EXPECT_FALSE(*delegate->sharedData()) << "no body while the chunks are streamed";
  request->stream(nullptr);
  delegate->reset();
  EXPECT_EQ(**delegate->sharedData(), foundation::Data());
  EXPECT_EQ(**first, ab);
}

TEST(TaskDelegateAnswers, ChallengesAndResumeDataWithoutAServer) {
  FakeSession fake;
  auto request = fake.dataRequest();
  auto taskDelegate = request->delegate();
  request->authenticate("user", "secret");
  auto basic = [](long failures) {
    return net::URLAuthenticationChallenge(net::URLProtectionSpace("127.0.0.1", 9, "http", std::string("realm"),
                                                                   std::string(net::kURLAuthenticationMethodHTTPBasic)),
                                           nullptr, failures, nullptr, std::nullopt);
  };
  struct Case {
    net::URLAuthenticationChallenge challenge;
    Disposition expected;
  };
  const std::vector<Case> cases = {
      {basic(0), Disposition::UseCredential},
      {basic(1), Disposition::RejectProtectionSpace},
      {net::URLAuthenticationChallenge(net::URLProtectionSpace::serverTrustSpace("127.0.0.1", 443, nullptr), nullptr, 0,
                                       nullptr, std::nullopt),
       Disposition::PerformDefaultHandling},
  };
  for (const auto& c : cases) {
    std::optional<Disposition> answered;
    std::shared_ptr<const net::URLCredential> credential;
    fake.delegate->taskDidReceiveChallenge(fake.session, request->task(), c.challenge, [&](Disposition d, auto cred) {
      answered = d;
      credential = cred;
    });
    EXPECT_EQ(answered, c.expected);
    if (c.expected == Disposition::UseCredential) {
      EXPECT_EQ(credential->user(), "user");
    }
  }

  // A failed download whose error carries resume data keeps it.
  auto download = std::make_shared<pipeline::DownloadTaskDelegate>(nullptr);
  foundation::Error error(foundation::kURLErrorDomain, net::URLErrorNetworkConnectionLost,
                          foundation::Dictionary{{net::kURLSessionDownloadTaskResumeData, foundation::Data{1, 2}}});
  download->didCompleteWithError(fake.session, nullptr, AnyError(error));
  EXPECT_EQ(download->data(), (foundation::Data{1, 2}));
}

}  // namespace
