// Data tasks against a real HTTP server on 127.0.0.1: methods, headers, bodies, callback order,
// completion handlers, response dispositions, content decoding and the error codes of failures.
#include <gtest/gtest.h>
#include <zlib.h>

#include <future>

#include "platform/net/URLError.h"
#include "tests/platform/net/LoopbackServer.h"
#include "tests/platform/net/RecordingDelegate.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;
using net::URL;
using net::URLRequest;

namespace {

// Answers "METHOD|X-Test header|body" for every method.
void installEcho(httplib::Server& s) {
  auto echo = [](const httplib::Request& req, httplib::Response& res) {
    res.set_header("X-Echo-Method", req.method);
    res.set_content(req.method + "|" + req.get_header_value("X-Test") + "|" + req.body, "text/plain; charset=utf-8");
  };
  s.Get("/echo", echo);
  s.Post("/echo", echo);
  s.Put("/echo", echo);
  s.Delete("/echo", echo);
  s.Patch("/echo", echo);
}

URLRequest request(const std::string& url, const std::string& method = "GET") {
  URLRequest r(*URL::fromString(url));
  r.setHTTPMethod(method);
  return r;
}

std::string gzip(const std::string& text) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(text.size() + 128, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct Completion {
  std::promise<std::tuple<std::optional<foundation::Data>, std::shared_ptr<const net::URLResponse>,
                          std::optional<foundation::Error>>>
      promise;
  net::URLSession::DataCompletionHandler handler() {
    return [this](auto data, auto response, auto error) { promise.set_value({data, response, error}); };
  }
  auto get() {
    auto future = promise.get_future();
    EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
    return future.get();
  }
};

}  // namespace

TEST(URLSessionDataTest, MethodsHeadersAndBodiesReachTheServerAndComeBack) {
  test::LoopbackServer server;
  installEcho(server.routes());
  server.start();
  struct Case { const char* method; std::string body; std::string expected; };
  for (const Case& c : {Case{"GET", "", "GET|v|"}, Case{"POST", "a=1&b=2", "POST|v|a=1&b=2"},
                        Case{"PUT", std::string(70000, 'p'), "PUT|v|" + std::string(70000, 'p')},
                        Case{"DELETE", "", "DELETE|v|"}, Case{"PATCH", "{}", "PATCH|v|{}"}}) {
    test::SessionFixture f;
    URLRequest r = request(server.url("/echo"), c.method);
    r.setValue("v", "x-test");
    if (!c.body.empty()) r.setHTTPBody(foundation::Data(c.body.begin(), c.body.end()));
    auto task = f.session->dataTask(r);
    EXPECT_EQ(task->state(), net::URLSessionTaskState::Suspended);
    task->resume();
    ASSERT_TRUE(f.delegate->waitForCompletion()) << c.method;
    EXPECT_FALSE(f.delegate->error) << c.method;
    EXPECT_EQ(f.delegate->bodyText(), c.expected) << c.method;
    auto http = std::dynamic_pointer_cast<const net::HTTPURLResponse>(f.delegate->response);
    ASSERT_TRUE(http);
    EXPECT_EQ(http->statusCode(), 200);
    EXPECT_EQ(http->valueForHTTPHeaderField("x-echo-method"), c.method);
    EXPECT_EQ(http->mimeType(), "text/plain");
    EXPECT_EQ(http->textEncodingName(), "utf-8");
    EXPECT_EQ(task->state(), net::URLSessionTaskState::Completed);
    EXPECT_EQ(task->countOfBytesReceived(), static_cast<std::int64_t>(c.expected.size()));
    EXPECT_EQ(task->countOfBytesSent(), static_cast<std::int64_t>(c.body.size()));
    EXPECT_TRUE(f.delegate->onDelegateQueue);
    std::vector<std::string> expected{"response", "data", "metrics", "complete"};
    EXPECT_EQ(f.delegate->eventsSnapshot(), expected) << c.method;
    ASSERT_TRUE(f.delegate->metrics);
    ASSERT_EQ(f.delegate->metrics->transactionMetrics.size(), 1u);
    EXPECT_EQ(f.delegate->metrics->redirectCount, 0u);
    EXPECT_TRUE(f.delegate->metrics->transactionMetrics[0].responseEndDate >= f.delegate->metrics->transactionMetrics[0].fetchStartDate);
  }
}

TEST(URLSessionDataTest, CompletionHandlerTasksAndConfigurationHeaders) {
  test::LoopbackServer server;
  server.routes().Get("/headers", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content(req.get_header_value("X-Session") + "," + req.get_header_value("X-Both") + "," +
                        req.get_header_value("User-Agent"),
                    "text/plain");
  });
  server.routes().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("nope", "text/plain");
  });
  server.start();

  auto configuration = net::URLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.httpAdditionalHeaders.set("X-Session", "s");
  configuration.httpAdditionalHeaders.set("X-Both", "from-session");
  configuration.httpAdditionalHeaders.set("User-Agent", "Quillmere-Test");
  auto session = net::URLSession::create(configuration);

  Completion first;
  URLRequest r = request(server.url("/headers"));
  r.setValue("from-request", "X-BOTH");
  session->dataTask(r, first.handler())->resume();
  auto [data, response, error] = first.get();
  ASSERT_FALSE(error);
  ASSERT_TRUE(data);
  EXPECT_EQ(std::string(data->begin(), data->end()), "s,from-request,Quillmere-Test");

  // A 404 is a response, not an error.
  Completion second;
  session->dataTask(request(server.url("/missing")), second.handler())->resume();
  auto [data2, response2, error2] = second.get();
  EXPECT_FALSE(error2);
  EXPECT_EQ(std::dynamic_pointer_cast<const net::HTTPURLResponse>(response2)->statusCode(), 404);
  EXPECT_EQ(std::string(data2->begin(), data2->end()), "nope");
  session->finishTasksAndInvalidate();
}

TEST(URLSessionDataTest, GzipBodiesAreDecoded) {
  const std::string text(20000, 'z');
  test::LoopbackServer server;
  server.routes().Get("/gz", [&](const httplib::Request& req, httplib::Response& res) {
    res.set_header("Content-Encoding", "gzip");
    res.set_header("X-Offered", req.get_header_value("Accept-Encoding"));
    res.set_content(gzip(text), "text/plain");
  });
  server.start();
  test::SessionFixture f;
  URLRequest r = request(server.url("/gz"));
  r.setValue("gzip;q=1.0, compress;q=0.5", "Accept-Encoding");
  f.session->dataTask(r)->resume();
  ASSERT_TRUE(f.delegate->waitForCompletion());
  EXPECT_FALSE(f.delegate->error);
  EXPECT_EQ(f.delegate->bodyText(), text);
  auto http = std::dynamic_pointer_cast<const net::HTTPURLResponse>(f.delegate->response);
  EXPECT_EQ(http->valueForHTTPHeaderField("X-Offered"), "gzip;q=1.0, compress;q=0.5");
}

TEST(URLSessionDataTest, ResponseDispositionsAndDeclinedCallbacks) {
  test::LoopbackServer server;
  server.routes().Get("/body", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(5000, 'b'), "application/octet-stream");
  });
  server.start();
  {
    // Cancel: no data, the cancelled error.
    test::SessionFixture f;
    f.delegate->onResponse = [](const net::URLResponse&, net::ResponseCompletion c) {
      c(net::URLSessionResponseDisposition::Cancel);
    };
    f.session->dataTask(request(server.url("/body")))->resume();
    ASSERT_TRUE(f.delegate->waitForCompletion());
    ASSERT_TRUE(f.delegate->error);
    EXPECT_EQ(f.delegate->error->code(), net::URLErrorCancelled);
    EXPECT_EQ(f.delegate->bodySize(), 0u);
  }
  {
    // Become download: the rest arrives as a download task's file.
    test::SessionFixture f;
    f.delegate->onResponse = [](const net::URLResponse&, net::ResponseCompletion c) {
      c(net::URLSessionResponseDisposition::BecomeDownload);
    };
    std::string downloaded;
    f.delegate->onDownloaded = [&](const URL& location) { downloaded = test::readFile(location.path()); };
    auto task = f.session->dataTask(request(server.url("/body")));
    task->resume();
    ASSERT_TRUE(f.delegate->waitForCompletion());
    EXPECT_FALSE(f.delegate->error);
    EXPECT_EQ(downloaded, std::string(5000, 'b'));
    ASSERT_TRUE(f.delegate->downloadTask);
    EXPECT_EQ(f.delegate->completedTask, f.delegate->downloadTask);
    EXPECT_NE(f.delegate->downloadTask->taskIdentifier(), task->taskIdentifier());
    EXPECT_EQ(f.delegate->eventsSnapshot(),
              (std::vector<std::string>{"response", "became-download", "write", "downloaded", "metrics", "complete"}));
  }
  {
    // A declined callback gets the platform's default: the response is allowed.
    test::SessionFixture f;
    f.delegate->declined = {net::URLSessionCallback::DataTaskDidReceiveResponse,
                            net::URLSessionCallback::TaskDidFinishCollectingMetrics};
    f.session->dataTask(request(server.url("/body")))->resume();
    ASSERT_TRUE(f.delegate->waitForCompletion());
    EXPECT_FALSE(f.delegate->error);
    EXPECT_EQ(f.delegate->bodySize(), 5000u);
    EXPECT_EQ(f.delegate->eventsSnapshot(), (std::vector<std::string>{"data", "complete"}));
  }
}

TEST(URLSessionDataTest, FailuresMapToTheirURLErrorCodes) {
  // A port that was free a moment ago: nothing listens there now.
  int closedPort;
  {
    test::LoopbackServer probe;
    probe.start();
    closedPort = probe.port();
  }
  test::LoopbackServer server;
  server.routes().Get("/slow", [](const httplib::Request&, httplib::Response& res) {
    std::this_thread::sleep_for(2s);
    res.set_content("late", "text/plain");
  });
  server.start();

  struct Case { std::string url; double timeout; long code; };
  for (const Case& c : {Case{"http://127.0.0.1:" + std::to_string(closedPort) + "/", 60, net::URLErrorCannotConnectToHost},
                        Case{server.url("/slow"), 0.3, net::URLErrorTimedOut},
                        Case{"ftp://127.0.0.1/file", 60, net::URLErrorUnsupportedURL},
                        Case{"http:relative-without-host", 60, net::URLErrorBadURL}}) {
    test::SessionFixture f;
    URLRequest r = request(c.url);
    r.setTimeoutInterval(c.timeout);
    f.session->dataTask(r)->resume();
    ASSERT_TRUE(f.delegate->waitForCompletion()) << c.url;
    ASSERT_TRUE(f.delegate->error) << c.url;
    EXPECT_EQ(f.delegate->error->domain(), foundation::kURLErrorDomain);
    EXPECT_EQ(f.delegate->error->code(), c.code) << c.url;
    EXPECT_EQ(f.delegate->error->userInfo().get(net::kURLErrorFailingURLStringErrorKey).stringValue(),
              URL::fromString(c.url)->absoluteString());
  }
}
