// Requests built by the serializers, sent by the URL session to a server on 127.0.0.1 that keeps
// the bytes it received.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <unistd.h>

#include "net/callbacks/RLJSONRequestSerializer.h"
#include "net/callbacks/RLStreamingMultipartFormData.h"
#include "platform/net/MIMEType.h"
#include "platform/net/URLResponse.h"
#include "platform/net/URLSession.h"
#include "tests/net/callbacks/CallbacksTestSupport.h"
#include "tests/platform/net/LoopbackServer.h"
#include "tests/support/TempDir.h"

namespace {

using foundation::Dictionary;
using foundation::Value;
using namespace std::chrono_literals;

// What the server saw of the last request to "/post".
struct Received {
  std::string body;
  httplib::Headers headers;
  bool complete = false;
};

class LoopbackPostTest : public testing::Test {
 protected:
  void SetUp() override {
    // One request per connection, so that stopping the server does not wait out a kept-alive one.
    server.routes().set_keep_alive_max_count(1);
    // The server hands multipart bodies to its own parser; the tests want the raw bytes, so the
    // type is moved aside before routing and compared from there.
    server.routes().set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
      auto& request = const_cast<httplib::Request&>(req);
      const auto type = request.get_header_value("Content-Type");
      request.headers.erase("Content-Type");
      request.headers.emplace("Content-Type", "application/octet-stream");
      request.headers.emplace("X-Sent-Content-Type", type);
      return httplib::Server::HandlerResponse::Unhandled;
    });
    server.routes().Post("/post", [this](const httplib::Request& req, httplib::Response& res,
                                         const httplib::ContentReader& reader) {
      std::string body;
      const bool complete = reader([&](const char* data, std::size_t length) {
        body.append(data, length);
        return true;
      });
      std::lock_guard lock(mutex);
      received = {body, req.headers, complete};
      res.set_content("ok", "text/plain");
    });
    server.start();
  }

  // Sends `request` and answers the status, or the session's error.
  std::pair<int, std::optional<foundation::Error>> send(const net::URLRequest& request) {
    std::promise<std::pair<int, std::optional<foundation::Error>>> done;
    auto task = net::URLSession::shared()->dataTask(
        request, [&](std::optional<foundation::Data>, std::shared_ptr<const net::URLResponse> response,
                     std::optional<foundation::Error> error) {
          auto http = std::dynamic_pointer_cast<const net::HTTPURLResponse>(response);
          done.set_value({http ? http->statusCode() : 0, std::move(error)});
        });
    task->resume();
    auto future = done.get_future();
    if (future.wait_for(30s) != std::future_status::ready) return {0, foundation::Error("test", -1)};
    return future.get();
  }

  Received last() {
    std::lock_guard lock(mutex);
    return received;
  }
  static std::string header(const Received& r, const std::string& name) {
    auto it = r.headers.find(name);
    return it == r.headers.end() ? "<none>" : it->second;
  }

  test::LoopbackServer server;
  std::mutex mutex;
  Received received;
};

TEST_F(LoopbackPostTest, FormAndJSONBodiesArriveAsWritten) {
  RLHTTPRequestSerializer form;
  form.setAuthorizationHeaderFieldWithUsername("user", "pass");
  auto request = form.requestWithMethod("POST", server.url("/post"),
                                        Dictionary{{"email", "a+b@example.org"}, {"list", Value(foundation::Array{1, 2})}});
  ASSERT_TRUE(request);
  ASSERT_EQ(send(*request).first, 200);
  Received got = last();
  EXPECT_EQ(got.body, "email=a%2Bb%40example.org&list%5B%5D=1&list%5B%5D=2");
  EXPECT_EQ(header(got, "X-Sent-Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(header(got, "Authorization"), "Basic dXNlcjpwYXNz");
  EXPECT_EQ(header(got, "User-Agent"), form.valueForHTTPHeaderField("User-Agent"));
  EXPECT_EQ(header(got, "Accept-Language"), form.valueForHTTPHeaderField("Accept-Language"));

  auto json = RLJSONRequestSerializer::serializer();
  json->setValue("application/json", "Content-Type");
  request = json->requestWithMethod("POST", server.url("/post"), Dictionary{{"text", "Grüße"}, {"n", 1}});
  ASSERT_TRUE(request);
  ASSERT_EQ(send(*request).first, 200);
  got = last();
  EXPECT_EQ(got.body, "{\"text\":\"Grüße\",\"n\":1}");
  EXPECT_EQ(header(got, "X-Sent-Content-Type"), "application/json");
}

// `size` bytes of a pattern that repeats with no short period.
std::string pattern(std::size_t size) {
  std::string out(size, '\0');
  std::uint32_t x = 2463534242u;
  for (auto& c : out) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

TEST_F(LoopbackPostTest, AStreamedMultipartBodyOfSeveralMegabytesArrivesWhole) {
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.file("mime.types"), "application/x-blob blob\n"));
  net::setMIMETypesFileForTesting(dir.file("mime.types"));
  const std::string fileBytes = pattern(5 * 1024 * 1024 + 17);
  const std::string streamBytes = pattern(300 * 1024);
  ASSERT_TRUE(test::writeFile(dir.file("big.blob"), fileBytes));

  RLHTTPRequestSerializer serializer;
  foundation::Error error;
  auto request = serializer.multipartFormRequestWithMethod(
      "POST", server.url("/post"), Dictionary{{"note", "hello"}},
      [&](RLMultipartFormData& form) {
        ASSERT_TRUE(form.appendPartWithFileURL(net::URL::fileURLWithPath(dir.file("big.blob")), "file"));
        ASSERT_TRUE(form.appendPartWithInputStream(foundation::InputStream::withData(test::bytes(streamBytes)), "s",
                                                   "s.bin", static_cast<std::int64_t>(streamBytes.size()),
                                                   "application/octet-stream"));
        form.throttleBandwidthWithPacketSize(256 * 1024, 0.001);
      },
      &error);
  ASSERT_TRUE(request) << error.description();

  const std::string contentType = request->valueForHTTPHeaderField("Content-Type").value_or("");
  const std::string B = contentType.substr(contentType.find("boundary=") + 9);
  const std::string golden =
      "--" + B + "\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n--" + B +
      "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"big.blob\"\r\nContent-Type: application/x-blob\r\n\r\n" +
      fileBytes + "\r\n--" + B +
      "\r\nContent-Disposition: form-data; name=\"s\"; filename=\"s.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
      streamBytes + "\r\n--" + B + "--\r\n";

  ASSERT_EQ(send(*request).first, 200);
  const Received got = last();
  EXPECT_TRUE(got.complete);
  EXPECT_EQ(got.body.size(), golden.size());
  EXPECT_TRUE(got.body == golden) << "the received body differs from the golden bytes";
  EXPECT_EQ(header(got, "X-Sent-Content-Type"), "multipart/form-data; boundary=" + B);
  EXPECT_EQ(header(got, "Content-Length"), std::to_string(golden.size()));
}

TEST_F(LoopbackPostTest, ABodyThatFailsIsNeverSentAsComplete) {
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.file("part.bin"), pattern(64 * 1024)));
  RLHTTPRequestSerializer serializer;
  auto request = serializer.multipartFormRequestWithMethod("POST", server.url("/post"), Value(), [&](auto& form) {
    ASSERT_TRUE(form.appendPartWithFileURL(net::URL::fileURLWithPath(dir.file("part.bin")), "f"));
  });
  ASSERT_TRUE(request);
  ASSERT_TRUE(test::writeFile(dir.file("part.bin"), "cut short"));  // shorter than the declared length

  const auto [status, error] = send(*request);
  EXPECT_TRUE(error) << "status " << status;
  EXPECT_FALSE(last().complete);
}

}  // namespace
