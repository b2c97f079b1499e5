// Downloads, uploads, multipart bodies and retries against a loopback server.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "net/pipeline/Pipeline.h"
#include "platform/foundation/FileManager.h"
#include "platform/net/URLError.h"
#include "tests/net/pipeline/LoopbackRoutes.h"
#include "tests/net/pipeline/PipelineTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using foundation::pumpMainUntil;
using pipeline::DownloadOptions;

long platformCode(const std::optional<pipeline::AnyError>& error) {
  const auto* platform = error ? error->as<foundation::Error>() : nullptr;
  return platform ? platform->code() : 0;
}

std::string text(const std::optional<foundation::Data>& data) {
  return data ? std::string(data->begin(), data->end()) : std::string();
}

TEST(Downloads, DestinationWithOptionsReceivesTheFileAndProgressIsReported) {
  test::PipelineServer server;
  test::TempDir dir;
  const std::string target = dir.file("nested/folder/hosts.txt");
  auto manager = pipeline::SessionManager::create();
  // Started by hand once the progress callback is in place.
  manager->setStartRequestsImmediately(false);
  auto request = manager->download(
      server.url("/file"), pipeline::HTTPMethod::get, std::nullopt, pipeline::URLEncoding::default_(), std::nullopt,
      [&](const net::URL&, const net::HTTPURLResponse&) {
        return std::make_pair(net::URL::fileURLWithPath(target),
                              DownloadOptions{DownloadOptions::createIntermediateDirectories(),
                                              DownloadOptions::removePreviousFile()});
      });
  std::atomic<std::int64_t> lastProgress{0};
  request->downloadProgress([&](const std::shared_ptr<pipeline::Progress>& p) { lastProgress = p->completedUnitCount(); });
  std::optional<pipeline::DownloadResponse<foundation::Data>> received;
  request->responseData(nullptr, [&](const auto& r) { received = r; });
  request->resume();
  ASSERT_TRUE(pumpMainUntil([&] { return received.has_value() && lastProgress == 100000; }));
  ASSERT_TRUE(received->result().isSuccess()) << received->result().debugDescription();
  EXPECT_EQ(received->value()->size(), 100000u);
  EXPECT_EQ(received->destinationURL()->path(), target);
  EXPECT_TRUE(foundation::FileManager::defaultManager().fileExistsAtPath(target));

  // Without removePreviousFile the existing file blocks the move, and that error is reported.
  auto second = manager->download(
      server.url("/file"), pipeline::HTTPMethod::get, std::nullopt, pipeline::URLEncoding::default_(), std::nullopt,
      [&](const net::URL&, const net::HTTPURLResponse&) {
        return std::make_pair(net::URL::fileURLWithPath(target), DownloadOptions());
      });
  std::optional<pipeline::DefaultDownloadResponse> failed;
  second->response([&](const auto& r) { failed = r; });
  second->resume();
  ASSERT_TRUE(pumpMainUntil([&] { return failed.has_value(); }));
  EXPECT_EQ(platformCode(failed->error()), foundation::kFileWriteFileExistsError);
}

TEST(Downloads, SuggestedDestinationKeepsOnlyTheSafeLastComponent) {
  test::PipelineServer server;
  auto& files = foundation::FileManager::defaultManager();
  const std::string documents = files.searchPathDirectory(foundation::SearchPathDirectory::Documents);
  ASSERT_TRUE(files.createDirectoryAtPath(documents, true));
  std::optional<pipeline::DefaultDownloadResponse> received;
  pipeline::download(server.url("/file"), pipeline::HTTPMethod::get, std::nullopt, pipeline::URLEncoding::default_(),
                     std::nullopt, pipeline::DownloadRequest::suggestedDownloadDestination())
      ->response([&](const auto& r) { received = r; });
  ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); }));
  EXPECT_FALSE(received->error());
  ASSERT_TRUE(received->destinationURL());
  EXPECT_EQ(received->destinationURL()->path(), documents + "/hosts.txt");
  EXPECT_TRUE(files.fileExistsAtPath(documents + "/hosts.txt"));
}

TEST(Uploads, DataFileAndStreamBodiesArriveWithUploadProgress) {
  test::PipelineServer server;
  test::TempDir dir;
  const std::string payload(50000, 'p');
  ASSERT_TRUE(test::writeFile(dir.file("body.txt"), payload));
  const foundation::Data bytes(payload.begin(), payload.end());
  auto manager = pipeline::SessionManager::create();
  // Started by hand once the progress callback is in place, so no progress report can come first.
  manager->setStartRequestsImmediately(false);
  struct Case {
    std::string name;
    std::function<std::shared_ptr<pipeline::UploadRequest>()> make;
  };
  const std::vector<Case> cases = {
      {"data", [&] { return manager->upload(bytes, server.url("/echo")); }},
      {"file", [&] { return manager->upload(net::URL::fileURLWithPath(dir.file("body.txt")), server.url("/echo")); }},
      {"stream", [&] { return manager->upload(net::InputStream::withData(bytes), server.url("/echo")); }},
  };
  for (const auto& c : cases) {
    auto request = c.make();
    std::atomic<std::int64_t> sent{0};
    request->uploadProgress([&](const std::shared_ptr<pipeline::Progress>& p) { sent = p->completedUnitCount(); });
    std::optional<pipeline::DataResponse<foundation::Data>> received;
    request->responseData([&](const auto& r) { received = r; });
    request->resume();
    ASSERT_TRUE(pumpMainUntil([&] { return received.has_value() && sent == 50000; }))
        << c.name << " received " << received.has_value() << " sent " << sent << " of "
        << request->uploadProgress()->totalUnitCount() << " error " << (received && received->error() ? received->error()->description() : "");
    const std::string echoed = text(received->data());
    EXPECT_EQ(echoed.rfind("POST /echo", 0), 0u) << c.name;
    EXPECT_EQ(echoed.substr(echoed.size() - payload.size()), payload) << c.name;
    EXPECT_EQ(request->uploadProgress()->completedUnitCount(), 50000) << c.name;
  }
}

TEST(Uploads, StreamThatMustBeSentAgainFailsInsteadOfSendingAnEmptyBody) {
  test::PipelineServer server;
  auto manager = pipeline::SessionManager::create();
  const foundation::Data bytes(1000, 's');
  std::optional<pipeline::DefaultDataResponse> received;
  manager->upload(net::InputStream::withData(bytes), server.url("/redirect307"))->response([&](const auto& r) {
    received = r;
  });
  ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); }));
  EXPECT_EQ(platformCode(received->error()), net::URLErrorRequestBodyStreamExhausted);
  EXPECT_EQ(server.hits.load(), 0) << "the redirected request must not go out with a spent body";
}

TEST(Multipart, ThresholdDecidesBetweenMemoryAndATemporaryFileRemovedAfterCompletion) {
  test::PipelineServer server;
  auto manager = pipeline::SessionManager::create();
  struct Case {
    std::uint64_t threshold;
    bool fromDisk;
  };
  // The form below has a content length of 5 bytes.
  for (const auto& c : {Case{6, false}, Case{5, true}, Case{0, true}}) {
    std::optional<pipeline::MultipartFormDataEncodingResult> encoded;
    std::optional<pipeline::DataResponse<foundation::Data>> received;
    bool fileGoneBeforeHandler = false;
    manager->upload([](pipeline::MultipartFormData& form) { form.append(foundation::Data{'h', 'o', 's', 't', 's'}, "list"); },
                    c.threshold, server.url("/echo"), pipeline::HTTPMethod::post, std::nullopt, nullptr,
                    [&](const pipeline::MultipartFormDataEncodingResult& result) {
                      encoded = result;
                      ASSERT_TRUE(result.isSuccess());
                      result.request->responseData([&, result](const auto& r) {
                        fileGoneBeforeHandler = !result.streamFileURL || !foundation::FileManager::defaultManager()
                                                                              .fileExistsAtPath(result.streamFileURL->path());
                        received = r;
                      });
                    });
    ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); })) << c.threshold;
    EXPECT_EQ(encoded->streamingFromDisk, c.fromDisk) << c.threshold;
    EXPECT_EQ(encoded->streamFileURL.has_value(), c.fromDisk) << c.threshold;
    if (c.fromDisk) {
      EXPECT_NE(encoded->streamFileURL->path().find("/org.pipeline.manager/multipart.form.data/"), std::string::npos);
    }
    EXPECT_TRUE(fileGoneBeforeHandler) << c.threshold;
    const std::string echoed = text(received->data());
    EXPECT_NE(echoed.find("multipart/form-data; boundary="), std::string::npos) << echoed;
    EXPECT_NE(echoed.find("part list=hosts\n"), std::string::npos) << echoed;
  }
}

TEST(Multipart, EncodingFailureReachesTheCompletionOnItsQueue) {
  auto manager = pipeline::SessionManager::create();
  std::optional<pipeline::MultipartFormDataEncodingResult> encoded;
  manager->upload([](pipeline::MultipartFormData& form) { form.append(net::URL::fileURLWithPath("/nonexistent/x.txt"), "f"); },
                  pipeline::SessionManager::multipartFormDataEncodingMemoryThreshold, "http://127.0.0.1:9/",
                  pipeline::HTTPMethod::post, std::nullopt, nullptr,
                  [&](const auto& result) { encoded = result; });
  ASSERT_TRUE(pumpMainUntil([&] { return encoded.has_value(); }));
  ASSERT_FALSE(encoded->isSuccess());
  auto* error = test::pipelineError(encoded->error);
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->isMultipartEncodingError());
}

// Retries up to `limit` times, each after a short delay, then gives up.
class CountingRetrier : public pipeline::RequestRetrier {
 public:
  explicit CountingRetrier(int limit) : limit_(limit) {}
  void shouldRetry(const std::shared_ptr<pipeline::SessionManager>&, const std::shared_ptr<pipeline::Request>&,
                   const pipeline::AnyError&, pipeline::RequestRetryCompletion completion) override {
    const int call = ++calls;
    completion(call <= limit_, 0.05);
  }
  std::atomic<int> calls{0};

 private:
  int limit_;
};

TEST(Retrier, RefusedConnectionIsRetriedAfterTheDelayThenGivenUp) {
  auto manager = pipeline::SessionManager::create();
  auto retrier = std::make_shared<CountingRetrier>(2);
  manager->setRetrier(retrier);
  std::atomic<int> handlerCalls{0};
  std::optional<pipeline::DefaultDataResponse> received;
  auto request = manager->request("http://127.0.0.1:" + std::to_string(test::refusedPort()) + "/");
  request->response([&](const auto& r) {
    ++handlerCalls;
    received = r;
  });
  ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); }));
  EXPECT_FALSE(pumpMainUntil([&] { return handlerCalls > 1; }, 0.2));
  EXPECT_EQ(retrier->calls.load(), 3);
  EXPECT_EQ(request->retryCount(), 2u);
  EXPECT_EQ(platformCode(received->error()), net::URLErrorCannotConnectToHost);
}

// Fails its first `failures` adaptations.
class FlakyAdapter : public pipeline::RequestAdapter {
 public:
  explicit FlakyAdapter(int failures) : failures_(failures) {}
  net::URLRequest adapt(const net::URLRequest& request) override {
    if (calls++ < failures_) throw pipeline::AnyError(foundation::Error("test.adapter", 7));
    return request;
  }
  std::atomic<int> calls{0};

 private:
  int failures_;
};

TEST(Retrier, FailedAdapterReportsItsOwnErrorOrIsRetried) {
  test::PipelineServer server;
  {
    auto manager = pipeline::SessionManager::create();
    manager->setAdapter(std::make_shared<FlakyAdapter>(1));
    std::optional<pipeline::DefaultDataResponse> received;
    manager->request(server.url("/json"))->response([&](const auto& r) { received = r; });
    ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); }));
    const auto* error = received->error() ? received->error()->as<foundation::Error>() : nullptr;
    ASSERT_TRUE(error) << "the adapter's own error, not its wrapper";
    EXPECT_EQ(error->domain(), "test.adapter");
  }
  {
    auto manager = pipeline::SessionManager::create();
    auto adapter = std::make_shared<FlakyAdapter>(1);
    manager->setAdapter(adapter);
    manager->setRetrier(std::make_shared<CountingRetrier>(1));
    std::optional<pipeline::DataResponse<foundation::Value>> received;
    auto request = manager->request(server.url("/json"));
    request->responseJSON([&](const auto& r) { received = r; });
    ASSERT_TRUE(pumpMainUntil([&] { return received.has_value(); }));
    EXPECT_TRUE(received->result().isSuccess()) << received->result().debugDescription();
    EXPECT_EQ(request->retryCount(), 1u);
    EXPECT_EQ(adapter->calls.load(), 2);
  }
}

}  // namespace

namespace {

TEST(Streams, StreamRequestHoldsARegisteredTaskThatCancelCompletes) {
  auto manager = pipeline::SessionManager::create();
  auto request = manager->stream("127.0.0.1", 9);
  auto task = std::dynamic_pointer_cast<net::URLSessionStreamTask>(request->task());
  ASSERT_TRUE(task);
  EXPECT_EQ(task->host(), "127.0.0.1");
  EXPECT_EQ(task->port(), 9);
  EXPECT_EQ(manager->delegate()->request(task), request);
  EXPECT_EQ(request->debugDescription(), "$ curl command could not be created");
  std::atomic<bool> completed{false};
  manager->delegate()->taskDidComplete.set([&](const auto&, const auto&, const auto& error) {
    EXPECT_EQ(platformCode(error), net::URLErrorCancelled);
    completed = true;
  });
  request->cancel();
  ASSERT_TRUE(pumpMainUntil([&] { return completed.load(); }));
  manager->delegate()->taskDidComplete.set(nullptr);
  EXPECT_TRUE(pumpMainUntil([&] { return !manager->delegate()->request(task); }));
}

}  // namespace
