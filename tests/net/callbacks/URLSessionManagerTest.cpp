// The URL session manager and its task delegates against a loopback server: completion on the
// right queues, the completion notification and its keys, downloads and their moves, progress,
// the resume and suspend notifications, invalidation, the task lists, the override blocks,
// archiving and copying.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "net/callbacks/RLJSONResponseSerializer.h"
#include "net/callbacks/RLStreamingMultipartFormData.h"
#include "net/callbacks/RLTaskResumeSuspendHook.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/net/URLError.h"
#include "tests/net/callbacks/SessionManagerTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using foundation::Value;
using test::NotificationRecorder;
using test::Outcome;

Value json(const std::string& text) {
  return *foundation::JSONSerialization::JSONObjectWithData(foundation::Data(text.begin(), text.end()));
}

std::string text(const Value& data) { return std::string(data.dataValue().begin(), data.dataValue().end()); }

class URLSessionManagerTest : public testing::Test {
 protected:
  net::URLRequest request(const std::string& path, const std::string& method = "GET") {
    net::URLRequest made(*net::URL::fromString(server.url(path)));
    made.setHTTPMethod(method);
    return made;
  }

  test::RecordingServer server;
  std::shared_ptr<RLURLSessionManager> manager = RLURLSessionManager::create();
  test::ManagerEnd end{manager};
};

TEST_F(URLSessionManagerTest, ADataTaskEndsOnTheMainQueueThenNotifiesWithItsKeys) {
  NotificationRecorder recorder({RLNetworkingTaskDidCompleteNotification});
  Outcome outcome;
  bool notifiedBeforeHandler = false;
  auto handler = outcome.handler();
  auto task = manager->dataTaskWithRequest(request("/json"), [&](const RLURLResponsePtr& r, const Value& o,
                                                                 const std::optional<foundation::Error>& e) {
    notifiedBeforeHandler = !recorder.entries().empty();
    handler(r, o, e);
  });
  EXPECT_EQ(task->state(), net::URLSessionTaskState::Suspended);
  EXPECT_EQ(task->taskDescription(), manager->taskDescriptionForSessionTasks());
  ASSERT_TRUE(manager->delegateForTask(task));
  ASSERT_TRUE(manager->downloadProgressForTask(task));

  task->resume();
  ASSERT_TRUE(test::waitForOutcome(outcome));
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_TRUE(outcome.onMainThread);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.object, json("{\"ok\":true}"));
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return !recorder.entries().empty(); }));
  EXPECT_FALSE(notifiedBeforeHandler);

  const auto posted = recorder.entries();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_TRUE(posted[0].onMainThread);
  EXPECT_EQ(posted[0].object.get(), test::objectOf(task));
  const auto& info = posted[0].userInfo;
  EXPECT_EQ(info.get(RLNetworkingTaskDidCompleteResponseSerializerKey).objectValue(), manager->responseSerializer());
  EXPECT_EQ(text(info.get(RLNetworkingTaskDidCompleteResponseDataKey)), "{\"ok\":true}");
  EXPECT_EQ(info.get(RLNetworkingTaskDidCompleteSerializedResponseKey), outcome.object);
  EXPECT_FALSE(info.contains(RLNetworkingTaskDidCompleteErrorKey));
  EXPECT_FALSE(info.contains(RLNetworkingTaskDidCompleteAssetPathKey));
  // The delegate left the table when the task completed.
  EXPECT_FALSE(manager->delegateForTask(task));
  EXPECT_FALSE(manager->downloadProgressForTask(task));
}

TEST_F(URLSessionManagerTest, EmptyBodiesRejectedResponsesAndTransportErrors) {
  struct Case {
    const char* path;
    Value object;
    std::string errorDomain;  // empty for none
    long errorCode;
    bool serializedKey;
    std::size_t minimumData;  // bytes under the data key
  } cases[] = {
      // The serializer still runs on an empty body; the data key holds the empty body.
      {"/empty", Value(), "", 0, false, 0},
      // A refused status comes with the parsed body; both reach the handler and the notification.
      {"/missing", json("{\"error\":\"missing\"}"), RLURLResponseSerializationErrorDomain, -1011, true, 19},
      // A transport error after some bytes: no object, the bytes only in the notification.
      {"/partial", Value(), foundation::kURLErrorDomain, 0, false, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    NotificationRecorder recorder({RLNetworkingTaskDidCompleteNotification});
    Outcome outcome;
    auto task = manager->dataTaskWithRequest(request(c.path), outcome.handler());
    task->resume();
    ASSERT_TRUE(test::waitForOutcome(outcome));
    EXPECT_EQ(outcome.calls, 1);
    EXPECT_EQ(outcome.object, c.object);
    EXPECT_EQ(outcome.error.has_value(), !c.errorDomain.empty());
    if (outcome.error) {
      EXPECT_EQ(outcome.error->domain(), c.errorDomain);
      if (c.errorCode) {
        EXPECT_EQ(outcome.error->code(), c.errorCode);
      }
    }
    ASSERT_TRUE(foundation::pumpMainUntil([&] { return !recorder.entries().empty(); }));
    const auto info = recorder.entries()[0].userInfo;
    EXPECT_TRUE(info.contains(RLNetworkingTaskDidCompleteResponseSerializerKey));
    ASSERT_TRUE(info.get(RLNetworkingTaskDidCompleteResponseDataKey).isData());
    EXPECT_GE(info.get(RLNetworkingTaskDidCompleteResponseDataKey).dataValue().size(), c.minimumData);
    if (c.minimumData == 0) {
      EXPECT_TRUE(info.get(RLNetworkingTaskDidCompleteResponseDataKey).dataValue().empty());
    }
    EXPECT_EQ(info.contains(RLNetworkingTaskDidCompleteSerializedResponseKey), c.serializedKey);
    const auto error = info.get(RLNetworkingTaskDidCompleteErrorKey).objectAs<foundation::Error>();
    EXPECT_EQ(error != nullptr, outcome.error.has_value());
    if (error && outcome.error) {
      EXPECT_EQ(*error, *outcome.error);
    }
  }
}

// A body can be hundreds of megabytes: the response object, the error that carries the body and
// the notification must all hold the one buffer the task collected, not copies of it.
TEST_F(URLSessionManagerTest, TheBodyReachesTheHandlerTheErrorAndTheNotificationAsOneBuffer) {
  manager->setResponseSerializer(RLHTTPResponseSerializer::serializer());
  for (const char* path : {"/json", "/missing"}) {
    SCOPED_TRACE(path);
    NotificationRecorder recorder({RLNetworkingTaskDidCompleteNotification});
    Outcome outcome;
    manager->dataTaskWithRequest(request(path), outcome.handler())->resume();
    ASSERT_TRUE(test::waitForOutcome(outcome));
    ASSERT_TRUE(outcome.object.isData());
    EXPECT_FALSE(outcome.object.dataValue().empty());
    const foundation::Data* body = &outcome.object.dataValue();
    if (outcome.error) {
      EXPECT_EQ(&outcome.error->userInfo().get(RLNetworkingOperationFailingURLResponseDataErrorKey).dataValue(), body);
    }
    ASSERT_TRUE(foundation::pumpMainUntil([&] { return !recorder.entries().empty(); }));
    const auto info = recorder.entries()[0].userInfo;
    EXPECT_EQ(&info.get(RLNetworkingTaskDidCompleteResponseDataKey).dataValue(), body);
    EXPECT_EQ(&info.get(RLNetworkingTaskDidCompleteSerializedResponseKey).dataValue(), body);
  }
}

TEST_F(URLSessionManagerTest, AnotherCompletionQueueRunsTheHandlerInTheGroupAndTheNotificationStaysOnMain) {
  const auto queue = dispatch::Queue::createSerial("test.completion");
  const auto group = dispatch::Group::create();
  manager->setCompletionQueue(queue);
  manager->setCompletionGroup(group);
  NotificationRecorder recorder({RLNetworkingTaskDidCompleteNotification});
  std::atomic<bool> onQueue{false}, handled{false};
  manager
      ->dataTaskWithRequest(request("/json"),
                            [&](const RLURLResponsePtr&, const Value&, const std::optional<foundation::Error>&) {
                              onQueue = queue->isCurrent();
                              handled = true;
                            })
      ->resume();
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return handled.load(); }, 20));
  EXPECT_TRUE(group->wait(dispatch::Duration(std::chrono::seconds(5))));
  EXPECT_TRUE(onQueue);
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return !recorder.entries().empty(); }));
  EXPECT_TRUE(recorder.entries()[0].onMainThread);
}

TEST_F(URLSessionManagerTest, DownloadsAreMovedAndAFailedMoveIsAnError) {
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.file("taken"), "already here"));
  struct Case {
    const char* name;
    std::string taskDestination;     // "" for none
    std::string managerDestination;  // "" for no manager block
    bool moved;
  } cases[] = {
      {"task destination", dir.file("a.bin"), "", true},
      {"task destination taken", dir.file("taken"), "", false},
      {"manager block wins", dir.file("ignored.bin"), dir.file("b.bin"), true},
      {"manager block into a missing folder", "", dir.file("no/such/folder/c.bin"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.managerDestination.empty()) {
      manager->setDownloadTaskDidFinishDownloadingBlock(nullptr);
    } else {
      manager->setDownloadTaskDidFinishDownloadingBlock(
          [&](const net::URLSessionPtr&, const net::DownloadTaskPtr&, const net::URL&) {
            return std::optional(net::URL::fileURLWithPath(c.managerDestination));
          });
    }
    RLDownloadDestinationBlock destination;
    if (!c.taskDestination.empty()) {
      destination = [&](const net::URL&, const RLURLResponsePtr& response) {
        EXPECT_TRUE(response);
        return std::optional(net::URL::fileURLWithPath(c.taskDestination));
      };
    }
    const std::string target = c.managerDestination.empty() ? c.taskDestination : c.managerDestination;
    NotificationRecorder recorder(
        {RLNetworkingTaskDidCompleteNotification, RLURLSessionDownloadTaskDidFailToMoveFileNotification});
    Outcome outcome;
    auto task = manager->downloadTaskWithRequest(request("/big"), nullptr, destination, outcome.handler());
    task->resume();
    ASSERT_TRUE(test::waitForOutcome(outcome));
    ASSERT_TRUE(foundation::pumpMainUntil([&] { return !recorder.of(RLNetworkingTaskDidCompleteNotification).empty(); }));
    const auto info = recorder.of(RLNetworkingTaskDidCompleteNotification)[0].userInfo;
    const auto failedMoves = recorder.of(RLURLSessionDownloadTaskDidFailToMoveFileNotification, test::objectOf(task));
    if (c.moved) {
      EXPECT_FALSE(outcome.error);
      const auto url = outcome.object.objectAs<net::URL>();
      ASSERT_TRUE(url);
      EXPECT_EQ(url->path(), target);
      EXPECT_TRUE(test::readFile(target) == server.big());
      EXPECT_EQ(info.get(RLNetworkingTaskDidCompleteAssetPathKey).objectAs<net::URL>()->path(), target);
      EXPECT_TRUE(failedMoves.empty());
    } else {
      // Nothing is where a URL would point: the caller hears the move error, not a success.
      ASSERT_TRUE(outcome.error);
      EXPECT_EQ(outcome.error->domain(), foundation::kCocoaErrorDomain);
      EXPECT_TRUE(outcome.object.isNull());
      ASSERT_EQ(failedMoves.size(), 1u);
      EXPECT_EQ(failedMoves[0].userInfo, outcome.error->userInfo());
      EXPECT_FALSE(info.contains(RLNetworkingTaskDidCompleteAssetPathKey));
      EXPECT_FALSE(info.contains(RLNetworkingTaskDidCompleteSerializedResponseKey));
      const auto error = info.get(RLNetworkingTaskDidCompleteErrorKey).objectAs<foundation::Error>();
      ASSERT_TRUE(error);
      EXPECT_EQ(*error, *outcome.error);
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("ignored.bin")));
  EXPECT_EQ(test::readFile(dir.file("taken")), "already here");
}

TEST_F(URLSessionManagerTest, UploadsOfDataFilesAndStreamsReportProgressOnTheDelegateQueue) {
  test::TempDir dir;
  const std::string body = test::patternBody(512 * 1024);
  ASSERT_TRUE(test::writeFile(dir.file("body.bin"), body));
  const auto upload = request("/json", "POST");
  auto streamed = upload;
  streamed.setHTTPBodyStream(foundation::InputStream::withData(test::bytes(body)));
  streamed.setValue(std::to_string(body.size()), "Content-Length");

  using Make = std::function<net::TaskPtr(RLProgressBlock, RLTaskCompletionHandler)>;
  const std::pair<const char*, Make> kinds[] = {
      {"data", [&](RLProgressBlock p, RLTaskCompletionHandler h) {
         return manager->uploadTaskWithRequest(upload, test::bytes(body), std::move(p), std::move(h));
       }},
      {"file", [&](RLProgressBlock p, RLTaskCompletionHandler h) {
         return manager->uploadTaskWithRequest(upload, net::URL::fileURLWithPath(dir.file("body.bin")), std::move(p),
                                               std::move(h));
       }},
      {"stream", [&](RLProgressBlock p, RLTaskCompletionHandler h) {
         return manager->uploadTaskWithStreamedRequest(streamed, std::move(p), std::move(h));
       }},
  };
  for (const auto& [name, make] : kinds) {
    SCOPED_TRACE(name);
    std::mutex mutex;
    std::int64_t completed = 0, total = 0;
    bool onDelegateQueue = true;
    Outcome outcome;
    auto task = make(
        [&](const std::shared_ptr<foundation::Progress>& progress) {
          std::lock_guard lock(mutex);
          completed = progress->completedUnitCount();
          total = progress->totalUnitCount();
          onDelegateQueue = onDelegateQueue && foundation::OperationQueue::currentQueue() == manager->operationQueue();
        },
        outcome.handler());
    EXPECT_EQ(task->kind(), net::URLSessionTask::Kind::Upload);
    task->resume();
    ASSERT_TRUE(test::waitForOutcome(outcome));
    EXPECT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_TRUE(server.last()->body == body);
    std::lock_guard lock(mutex);
    EXPECT_EQ(completed, static_cast<std::int64_t>(body.size()));
    // The total is the session's expectation, which a stream does not give it.
    EXPECT_EQ(total, task->countOfBytesExpectedToSend());
    if (task->countOfBytesExpectedToSend() != net::kURLSessionTransferSizeUnknown) {
      EXPECT_EQ(total, static_cast<std::int64_t>(body.size()));
    }
    EXPECT_TRUE(onDelegateQueue);
  }
}

TEST_F(URLSessionManagerTest, DownloadProgressFollowsDataTasksAndDownloads) {
  for (const bool download : {false, true}) {
    SCOPED_TRACE(download ? "download task" : "data task");
    std::mutex mutex;
    std::int64_t completed = 0, calls = 0;
    RLProgressBlock progress = [&](const std::shared_ptr<foundation::Progress>& p) {
      std::lock_guard lock(mutex);
      completed = p->completedUnitCount();
      ++calls;
    };
    Outcome outcome;
    auto task = download ? net::TaskPtr(manager->downloadTaskWithRequest(request("/big"), progress, nullptr, outcome.handler()))
                         : net::TaskPtr(manager->dataTaskWithRequest(request("/big"), nullptr, progress, outcome.handler()));
    task->resume();
    ASSERT_TRUE(test::waitForOutcome(outcome));
    std::lock_guard lock(mutex);
    EXPECT_EQ(completed, static_cast<std::int64_t>(server.big().size()));
    EXPECT_GT(calls, 1);
  }
}

TEST_F(URLSessionManagerTest, ProgressObjectsPauseResumeAndCancelTheirTask) {
  NotificationRecorder recorder({RLNetworkingTaskDidSuspendNotification, RLNetworkingTaskDidResumeNotification});
  Outcome outcome;
  auto task = manager->dataTaskWithRequest(request("/slow"), outcome.handler());
  const auto download = manager->downloadProgressForTask(task);
  const auto upload = manager->uploadProgressForTask(task);
  ASSERT_TRUE(download && upload);
  EXPECT_TRUE(download->isCancellable() && download->isPausable());
  EXPECT_EQ(download->totalUnitCount(), net::kURLSessionTransferSizeUnknown);
  task->resume();
  download->pause();
  EXPECT_EQ(task->state(), net::URLSessionTaskState::Suspended);
  download->resume();
  EXPECT_EQ(task->state(), net::URLSessionTaskState::Running);
  upload->cancel();
  ASSERT_TRUE(test::waitForOutcome(outcome));
  EXPECT_EQ(outcome.errorCode(), net::URLErrorCancelled);
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return recorder.entries().size() >= 3; }));
  const auto posted = recorder.entries();
  ASSERT_EQ(posted.size(), 3u);
  EXPECT_EQ(posted[0].name, RLNetworkingTaskDidResumeNotification);
  EXPECT_EQ(posted[1].name, RLNetworkingTaskDidSuspendNotification);
  EXPECT_EQ(posted[2].name, RLNetworkingTaskDidResumeNotification);
}

TEST_F(URLSessionManagerTest, ResumeAndSuspendAreRepostedOnlyForTheManagersOwnTasks) {
  NotificationRecorder recorder({RLNetworkingTaskResumeInternalNotification, RLNetworkingTaskSuspendInternalNotification,
                                 RLNetworkingTaskDidResumeNotification, RLNetworkingTaskDidSuspendNotification});
  auto other = RLURLSessionManager::create();
  test::ManagerEnd otherEnd{other};
  auto own = manager->dataTaskWithRequest(request("/slow"), nullptr);
  auto foreign = manager->session()->dataTask(request("/slow"));  // made by other code on the same session
  auto others = other->dataTaskWithRequest(request("/slow"), nullptr);
  for (const auto& task : {own, foreign, others}) {
    task->resume();
    task->resume();
    task->suspend();
    task->suspend();
    // The internal notifications are posted at once, on this thread, once per change.
    EXPECT_EQ(recorder.of(RLNetworkingTaskResumeInternalNotification, test::objectOf(task)).size(), 1u);
    EXPECT_EQ(recorder.of(RLNetworkingTaskSuspendInternalNotification, test::objectOf(task)).size(), 1u);
    task->cancel();
  }
  foundation::pumpMainUntil([] { return false; }, 0.3);
  const std::pair<net::TaskPtr, std::size_t> expected[] = {{own, 1}, {foreign, 0}, {others, 1}};
  for (const auto& [task, count] : expected) {
    const auto resumes = recorder.of(RLNetworkingTaskDidResumeNotification, test::objectOf(task));
    EXPECT_EQ(resumes.size(), count);
    EXPECT_EQ(recorder.of(RLNetworkingTaskDidSuspendNotification, test::objectOf(task)).size(), count);
    for (const auto& entry : resumes) EXPECT_TRUE(entry.onMainThread);
  }
}

TEST_F(URLSessionManagerTest, InvalidationCancelsOrLetsTasksFinish) {
  for (const bool cancel : {true, false}) {
    SCOPED_TRACE(cancel ? "cancelling" : "finishing");
    auto own = RLURLSessionManager::create();
    test::ManagerEnd ownEnd{own};
    NotificationRecorder recorder({RLURLSessionDidInvalidateNotification});
    std::atomic<int> invalidBlockCalls{0};
    own->setSessionDidBecomeInvalidBlock([&](const net::URLSessionPtr&, const std::optional<foundation::Error>&) {
      ++invalidBlockCalls;
    });
    own->setResponseSerializer(RLHTTPResponseSerializer::serializer());
    Outcome outcome;
    auto task = own->dataTaskWithRequest(request("/slow"), outcome.handler());
    task->resume();
    own->invalidateSessionCancelingTasks(cancel);
    ASSERT_TRUE(test::waitForOutcome(outcome));
    EXPECT_EQ(outcome.errorCode(), cancel ? long{net::URLErrorCancelled} : 0L);
    if (!cancel) {
      EXPECT_EQ(outcome.object.dataValue().size(), test::RecordingServer::kSlowBytes);
    }
    ASSERT_TRUE(foundation::pumpMainUntil([&] { return !recorder.entries().empty(); }));
    EXPECT_EQ(recorder.entries()[0].object.get(), static_cast<foundation::Object*>(own->session().get()));
    EXPECT_EQ(invalidBlockCalls.load(), 1);
    EXPECT_TRUE(own->session()->isInvalidated());
  }
}

TEST_F(URLSessionManagerTest, TaskListsAnswerFromInsideTheDelegateQueue) {
  auto data = manager->dataTaskWithRequest(request("/json"), nullptr);
  auto upload = manager->uploadTaskWithRequest(request("/json", "POST"), test::bytes("x"), nullptr, nullptr);
  auto download = manager->downloadTaskWithRequest(request("/big"), nullptr, nullptr, nullptr);
  using List = RLURLSessionManager::TaskList;
  EXPECT_EQ(manager->dataTasks(), (List{data}));
  EXPECT_EQ(manager->uploadTasks(), (List{upload}));
  EXPECT_EQ(manager->downloadTasks(), (List{download}));
  EXPECT_EQ(manager->tasks(), (List{data, upload, download}));

  // Asked from a session event, the lists answer instead of waiting on the queue they run on.
  std::atomic<int> seenFromEvent{-1};
  const std::weak_ptr<RLURLSessionManager> weak = manager;
  manager->setDataTaskDidReceiveDataBlock([&, weak](const net::URLSessionPtr&, const net::DataTaskPtr&,
                                                    const foundation::Data&) {
    if (auto self = weak.lock()) seenFromEvent = static_cast<int>(self->tasks().size());
  });
  Outcome outcome;
  manager->dataTaskWithRequest(request("/json"), outcome.handler())->resume();
  ASSERT_TRUE(test::waitForOutcome(outcome, 10));
  // The three never resumed, and the running one unless its transfer had already ended.
  EXPECT_GE(seenFromEvent.load(), 3);
}

TEST_F(URLSessionManagerTest, OptionalCallbacksAreAdvertisedOnlyWithTheirBlocks) {
  using C = net::URLSessionCallback;
  const C optional[] = {C::TaskWillPerformHTTPRedirection, C::DataTaskDidReceiveResponse, C::DataTaskWillCacheResponse};
  for (const auto callback : optional) EXPECT_FALSE(manager->respondsTo(callback));
  EXPECT_TRUE(manager->respondsTo(C::TaskDidComplete));

  // Without a block the redirect is followed.
  Outcome followed;
  manager->dataTaskWithRequest(request("/redirect"), followed.handler())->resume();
  ASSERT_TRUE(test::waitForOutcome(followed));
  EXPECT_EQ(followed.object, json("{\"ok\":true}"));

  // A block that answers nothing refuses it: the 302 itself is the response, and its status is
  // refused by the JSON serializer.
  int redirects = 0;
  manager->setTaskWillPerformHTTPRedirectionBlock(
      [&](const net::URLSessionPtr&, const net::TaskPtr&, const std::shared_ptr<const net::HTTPURLResponse>& response,
          const net::URLRequest&) -> std::optional<net::URLRequest> {
        EXPECT_EQ(response->statusCode(), 302);
        ++redirects;
        return std::nullopt;
      });
  manager->setDataTaskDidReceiveResponseBlock(
      [](const net::URLSessionPtr&, const net::DataTaskPtr&, const RLURLResponsePtr&) {
        return net::URLSessionResponseDisposition::Allow;
      });
  manager->setDataTaskWillCacheResponseBlock(
      [](const net::URLSessionPtr&, const net::DataTaskPtr&, const std::shared_ptr<const net::CachedURLResponse>& p) {
        return p;
      });
  for (const auto callback : optional) EXPECT_TRUE(manager->respondsTo(callback));
  Outcome refused;
  manager->dataTaskWithRequest(request("/redirect"), refused.handler())->resume();
  ASSERT_TRUE(test::waitForOutcome(refused));
  EXPECT_EQ(redirects, 1);
  EXPECT_EQ(refused.errorCode(), -1011);
  EXPECT_EQ(std::dynamic_pointer_cast<const net::HTTPURLResponse>(refused.response)->statusCode(), 302);
}

TEST_F(URLSessionManagerTest, ADataTaskThatBecomesADownloadKeepsItsDelegate) {
  manager->setDataTaskDidReceiveResponseBlock(
      [](const net::URLSessionPtr&, const net::DataTaskPtr&, const RLURLResponsePtr&) {
        return net::URLSessionResponseDisposition::BecomeDownload;
      });
  net::DataTaskPtr from;
  net::DownloadTaskPtr to;
  bool delegateMoved = false;
  manager->setDataTaskDidBecomeDownloadTaskBlock(
      [&](const net::URLSessionPtr&, const net::DataTaskPtr& dataTask, const net::DownloadTaskPtr& downloadTask) {
        from = dataTask;
        to = downloadTask;
        delegateMoved = !manager->delegateForTask(dataTask) && manager->delegateForTask(downloadTask);
      });
  NotificationRecorder recorder({RLNetworkingTaskDidCompleteNotification});
  std::int64_t progressed = 0;
  Outcome outcome;
  auto task = manager->dataTaskWithRequest(
      request("/big"), nullptr, [&](const std::shared_ptr<foundation::Progress>& p) { progressed = p->completedUnitCount(); },
      outcome.handler());
  task->resume();
  ASSERT_TRUE(test::waitForOutcome(outcome));
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(from, task);
  ASSERT_TRUE(to);
  EXPECT_TRUE(delegateMoved);
  EXPECT_EQ(progressed, static_cast<std::int64_t>(server.big().size()));
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return !recorder.entries().empty(); }));
  EXPECT_EQ(recorder.entries()[0].object.get(), test::objectOf(to));
}

TEST_F(URLSessionManagerTest, BodyProgressTotalsFallBackToTheContentLengthHeader) {
  struct Case {
    std::optional<std::string> contentLength;
    std::int64_t expected;
    std::int64_t reported;
  } cases[] = {{"1234", -1, 1234}, {std::nullopt, -1, -1}, {"1234", 99, 99}, {"12ab", -1, 12}};
  std::int64_t reported = 0;
  manager->setTaskDidSendBodyDataBlock(
      [&](const net::URLSessionPtr&, const net::TaskPtr&, std::int64_t, std::int64_t, std::int64_t total) {
        reported = total;
      });
  for (const auto& c : cases) {
    auto streamed = request("/json", "POST");
    if (c.contentLength) streamed.setValue(*c.contentLength, "Content-Length");
    auto task = manager->session()->uploadTaskWithStreamedRequest(streamed);
    manager->didSendBodyData(manager->session(), task, 10, 10, c.expected);
    EXPECT_EQ(reported, c.reported) << c.contentLength.value_or("no header") << " " << c.expected;
  }
}

TEST_F(URLSessionManagerTest, ANewBodyStreamIsACopyOfTheOriginalOrTheBlocksAnswer) {
  RLStreamingMultipartFormData form(request("/json", "POST"), RLStringEncoding::UTF8);
  ASSERT_TRUE(form.appendPartWithFormData(test::bytes("v"), "k"));
  const auto copyable = form.requestByFinalizingMultipartFormData();
  auto notCopyable = request("/json", "POST");
  // A stream of the base kind cannot be replayed.
  class OneShot : public foundation::InputStream {
   public:
    void open() override {}
    void close() override {}
    Status streamStatus() const override { return Status::Open; }
    std::optional<foundation::Error> streamError() const override { return std::nullopt; }
    long read(std::uint8_t*, std::size_t) override { return 0; }
    bool hasBytesAvailable() const override { return false; }
  };
  notCopyable.setHTTPBodyStream(std::make_shared<OneShot>());

  const auto askFor = [&](const net::URLRequest& streamed) {
    std::shared_ptr<net::InputStream> answer;
    bool answered = false;
    manager->needNewBodyStream(manager->session(), manager->session()->uploadTaskWithStreamedRequest(streamed),
                               [&](std::shared_ptr<net::InputStream> stream) {
                                 answer = std::move(stream);
                                 answered = true;
                               });
    EXPECT_TRUE(answered);
    return answer;
  };
  const auto copy = askFor(copyable);
  ASSERT_TRUE(copy);
  EXPECT_NE(copy, copyable.httpBodyStream());
  EXPECT_EQ(test::readAll(*copy), test::readAll(*copyable.httpBodyStream()->copy()));
  EXPECT_FALSE(askFor(notCopyable));

  const auto fresh = foundation::InputStream::withData(test::bytes("fresh"));
  manager->setTaskNeedNewBodyStreamBlock([&](const net::URLSessionPtr&, const net::TaskPtr&) { return fresh; });
  EXPECT_EQ(askFor(notCopyable), fresh);
}

TEST_F(URLSessionManagerTest, ChallengesOtherThanServerTrustGetDefaultHandling) {
  const net::URLAuthenticationChallenge basic(
      net::URLProtectionSpace("127.0.0.1", server.port(), "http", "realm", net::kURLAuthenticationMethodHTTPBasic),
      nullptr, 0, nullptr, std::nullopt);
  const auto task = manager->dataTaskWithRequest(request("/json"), nullptr);
  std::vector<net::URLSessionAuthChallengeDisposition> answers;
  const auto record = [&](net::URLSessionAuthChallengeDisposition d, std::shared_ptr<const net::URLCredential> c) {
    EXPECT_FALSE(c);
    answers.push_back(d);
  };
  manager->didReceiveChallenge(manager->session(), basic, record);
  manager->taskDidReceiveChallenge(manager->session(), task, basic, record);
  // A block decides in place of the policy.
  manager->setTaskDidReceiveAuthenticationChallengeBlock(
      [](const net::URLSessionPtr&, const net::TaskPtr&, const net::URLAuthenticationChallenge&,
         std::shared_ptr<const net::URLCredential>&) { return net::URLSessionAuthChallengeDisposition::RejectProtectionSpace; });
  manager->taskDidReceiveChallenge(manager->session(), task, basic, record);
  using D = net::URLSessionAuthChallengeDisposition;
  EXPECT_EQ(answers, (std::vector<D>{D::PerformDefaultHandling, D::PerformDefaultHandling, D::RejectProtectionSpace}));
}

// A manager whose session never makes a file upload, counting the attempts.
class NoFileUploads : public RLURLSessionManager {
 public:
  static std::shared_ptr<NoFileUploads> create(net::URLSessionConfiguration configuration) {
    std::shared_ptr<NoFileUploads> made(new NoFileUploads());
    made->initWithSessionConfiguration(std::move(configuration));
    return made;
  }
  int attempts = 0;

 protected:
  std::shared_ptr<net::URLSessionUploadTask> makeUploadTaskFromFile(const net::URLRequest&, const net::URL&) override {
    ++attempts;
    return nullptr;
  }
};

TEST(URLSessionManagerRetryTest, FileUploadsOfBackgroundSessionsAreTriedFourTimes) {
  struct Case {
    bool background;
    bool retry;
    int attempts;
  } cases[] = {{true, true, 4}, {false, true, 1}, {true, false, 1}};
  for (const auto& c : cases) {
    auto made = NoFileUploads::create(c.background
                                          ? net::URLSessionConfiguration::backgroundSessionConfiguration("test.background")
                                          : net::URLSessionConfiguration::defaultSessionConfiguration());
    test::ManagerEnd end{made};
    made->setAttemptsToRecreateUploadTasksForBackgroundSessions(c.retry);
    const auto task = made->uploadTaskWithRequest(net::URLRequest(*net::URL::fromString("http://127.0.0.1/")),
                                                  net::URL::fileURLWithPath("/tmp/x"), nullptr, nullptr);
    EXPECT_FALSE(task);
    EXPECT_EQ(made->attempts, c.attempts) << c.background << c.retry;
  }
}

TEST_F(URLSessionManagerTest, ArchivingAndCopyingKeepTheConfigurationOnly) {
  auto configuration = net::URLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.timeoutIntervalForRequest = 17;
  configuration.httpAdditionalHeaders.set("X-Client", "relay");
  auto original = RLURLSessionManager::create(configuration);
  test::ManagerEnd originalEnd{original};
  auto serializer = RLHTTPResponseSerializer::serializer();
  original->setResponseSerializer(serializer);

  foundation::Error error;
  const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(original, &error);
  ASSERT_TRUE(data) << error.description();
  auto decoded = foundation::KeyedUnarchiver::unarchivedObjectOfClass<RLURLSessionManager>(*data, &error);
  ASSERT_TRUE(decoded) << error.description();
  test::ManagerEnd decodedEnd{decoded};
  auto copied = original->copy();
  test::ManagerEnd copiedEnd{copied};

  for (const auto& made : {decoded, copied}) {
    EXPECT_EQ(made->sessionConfiguration().timeoutIntervalForRequest, 17);
    EXPECT_EQ(made->session()->configuration().httpAdditionalHeaders.value("X-Client"), "relay");
    EXPECT_NE(made->session(), original->session());
    EXPECT_TRUE(std::dynamic_pointer_cast<RLJSONResponseSerializer>(made->responseSerializer()));
    // The new manager works.
    Outcome outcome;
    made->dataTaskWithRequest(request("/json"), outcome.handler())->resume();
    ASSERT_TRUE(test::waitForOutcome(outcome));
    EXPECT_EQ(outcome.object, json("{\"ok\":true}"));
  }
}

TEST_F(URLSessionManagerTest, ANilConfigurationIsTheDefaultOneAndTheDescriptionNamesTheParts) {
  EXPECT_EQ(manager->sessionConfiguration().httpCookieStorage, net::HTTPCookieStorage::shared());
  EXPECT_FALSE(manager->sessionConfiguration().identifier);
  EXPECT_EQ(manager->operationQueue()->maxConcurrentOperationCount(), 1);
  EXPECT_EQ(manager->session()->delegateQueue(), manager->operationQueue());
  EXPECT_TRUE(std::dynamic_pointer_cast<RLJSONResponseSerializer>(manager->responseSerializer()));
  EXPECT_EQ(manager->securityPolicy()->SSLPinningMode(), RLSSLPinningModeNone);
  EXPECT_EQ(manager->reachabilityManager(), RLNetworkReachabilityManager::sharedManager());
  EXPECT_THAT(manager->description(),
              testing::MatchesRegex("<RLURLSessionManager: 0x[0-9a-f]+, session: <URLSession: 0x[0-9a-f]+>, "
                                    "operationQueue: <OperationQueue: 0x[0-9a-f]+>>"));
  EXPECT_THAT(manager->taskDescriptionForSessionTasks(), testing::MatchesRegex("0x[0-9a-f]+"));
}

}  // namespace
