#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net/pipeline/DispatchQueueExtensions.h"
#include "net/pipeline/Response.h"
#include "net/pipeline/Timeline.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/Error.h"

namespace {

using pipeline::AnyError;
using pipeline::DataResponse;
using pipeline::DownloadResponse;
using pipeline::Result;
using pipeline::Timeline;

TEST(Timeline, DurationsAndTexts) {
  const Timeline timeline(10, 10.5, 12, 12.25);
  EXPECT_DOUBLE_EQ(timeline.latency(), 0.5);
  EXPECT_DOUBLE_EQ(timeline.requestDuration(), 2);
  EXPECT_DOUBLE_EQ(timeline.serializationDuration(), 0.25);
  EXPECT_DOUBLE_EQ(timeline.totalDuration(), 2.25);
  EXPECT_EQ(timeline.description(),
            "Timeline: { \"Latency\": 0.500 secs, \"Request Duration\": 2.000 secs, \"Serialization Duration\": "
            "0.250 secs, \"Total Duration\": 2.250 secs }");
  EXPECT_EQ(timeline.debugDescription(),
            "Timeline: { \"Request Start Time\": 10.000, \"Initial Response Time\": 10.500, \"Request Completed "
            "Time\": 12.000, \"Serialization Completed Time\": 12.250, \"Latency\": 0.500 secs, \"Request Duration\": "
            "2.000 secs, \"Serialization Duration\": 0.250 secs, \"Total Duration\": 2.250 secs }");

  EXPECT_EQ(Timeline().description(),
            "Timeline: { \"Latency\": 0.000 secs, \"Request Duration\": 0.000 secs, \"Serialization Duration\": "
            "0.000 secs, \"Total Duration\": 0.000 secs }");
  EXPECT_DOUBLE_EQ(Timeline(1, 1, 5, 4).serializationDuration(), -1);  // not clamped
}

std::shared_ptr<const net::HTTPURLResponse> httpResponse() {
  return std::make_shared<const net::HTTPURLResponse>(*net::URL::fromString("http://h/x"), 200, "HTTP/1.1",
                                                      net::HTTPHeaderFields{});
}

TEST(DataResponse, DescriptionsLineByLine) {
  net::URLRequest request(*net::URL::fromString("http://h/x"));
  const AnyError error(foundation::Error::withDescription("D", 3, "nope"));
  DataResponse<std::string> failed(request, httpResponse(), foundation::Data(1024, 'a'),
                                   Result<std::string>::failure(error), Timeline(1, 2, 3, 4));
  EXPECT_EQ(failed.description(), "FAILURE: " + error.description());
  EXPECT_EQ(failed.debugDescription(), "[Request]: GET " + request.description() + "\n[Response]: " +
                                           httpResponse()->description() + "\n[Data]: 1024 bytes\n[Result]: FAILURE: " +
                                           error.description() + "\n[Timeline]: " + Timeline(1, 2, 3, 4).debugDescription());
  EXPECT_EQ(failed.error(), error);
  EXPECT_FALSE(failed.value());

  DataResponse<std::string> bare(std::nullopt, nullptr, std::nullopt, Result<std::string>::success("ok"));
  EXPECT_EQ(bare.debugDescription(), "[Request]: nil\n[Response]: nil\n[Data]: 0 bytes\n[Result]: SUCCESS: ok\n"
                                     "[Timeline]: " + Timeline().debugDescription());
  EXPECT_EQ(bare.value(), "ok");
}

TEST(DownloadResponse, DescriptionShowsPathsOnly) {
  DownloadResponse<int> none(std::nullopt, nullptr, std::nullopt, std::nullopt, std::nullopt, Result<int>::success(1));
  EXPECT_EQ(none.debugDescription(), "[Request]: nil\n[Response]: nil\n[TemporaryURL]: nil\n[DestinationURL]: nil\n"
                                     "[ResumeData]: 0 bytes\n[Result]: SUCCESS: 1\n[Timeline]: " +
                                         Timeline().debugDescription());
  DownloadResponse<int> files(std::nullopt, nullptr, net::URL::fileURLWithPath("/tmp/t.bin"),
                              net::URL::fileURLWithPath("/srv/d.bin"), foundation::Data(7), Result<int>::success(1));
  const auto text = files.debugDescription();
  EXPECT_NE(text.find("\n[TemporaryURL]: /tmp/t.bin\n[DestinationURL]: /srv/d.bin\n[ResumeData]: 7 bytes\n"),
            std::string::npos);
  EXPECT_EQ(files.description(), "SUCCESS: 1");
}

TEST(Response, MetricsAttachOnlyTaskMetricsAndSurviveTransformations) {
  auto metrics = std::make_shared<const net::URLSessionTaskMetrics>();
  DataResponse<int> response(std::nullopt, nullptr, foundation::Data{1}, Result<int>::success(2));
  EXPECT_FALSE(response.metrics());
  response.attachMetrics(metrics);
  EXPECT_EQ(response.metrics(), metrics);
  response.attachMetrics(nullptr);
  response.attachMetrics(std::make_shared<const net::URL>());
  EXPECT_EQ(response.metrics(), metrics);  // neither replaced it

  const AnyError error(foundation::Error::withDescription("D", 1, "x"));
  auto mapped = response.map([](int v) { return std::to_string(v); });
  auto flat = response.flatMap([&](int) -> double { error.raise(); });
  auto mappedError = response.mapError([](const AnyError& e) { return e; });
  auto flatError = response.flatMapError([](const AnyError& e) { return e; });
  EXPECT_EQ(mapped.metrics(), metrics);
  EXPECT_EQ(flat.metrics(), metrics);
  EXPECT_EQ(mappedError.metrics(), metrics);
  EXPECT_EQ(flatError.metrics(), metrics);
  EXPECT_EQ(mapped.value(), "2");
  EXPECT_EQ(flat.error(), error);
  EXPECT_EQ(mapped.data(), response.data());

  DownloadResponse<int> download(std::nullopt, nullptr, net::URL::fileURLWithPath("/t"), std::nullopt, std::nullopt,
                                 Result<int>::success(3));
  download.attachMetrics(metrics);
  auto downloadMapped = download.map([](int v) { return v + 1; });
  EXPECT_EQ(downloadMapped.metrics(), metrics);
  EXPECT_EQ(downloadMapped.temporaryURL(), download.temporaryURL());
  EXPECT_EQ(downloadMapped.value(), 4);

  pipeline::DefaultDataResponse plain(std::nullopt, nullptr, std::nullopt, error);
  plain.attachMetrics(metrics);
  EXPECT_EQ(plain.metrics(), metrics);
  EXPECT_EQ(plain.error(), error);
}

TEST(DispatchQueueExtensions, AfterRunsTheClosureOnTheQueue) {
  auto queue = dispatch::Queue::createSerial("test.after");
  dispatch::Semaphore done(0);
  bool onQueue = false;
  pipeline::after(*queue, 0.01, [&] {
    onQueue = queue->isCurrent();
    done.signal();
  });
  ASSERT_TRUE(done.wait(dispatch::seconds(10)));
  EXPECT_TRUE(onQueue);
}

}  // namespace
