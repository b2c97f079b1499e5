#pragma once
// FakeIngestionServer stands in for the telemetry services in tests: an HTTP server on 127.0.0.1
// and a free port that records every request (method, path, query, headers, body, gzip bodies
// inflated) and answers with the responses the test scripts: a queue of answers taken in order,
// then a default one (200, empty body), or a responder function that decides per request.
// Handlers run on the server's own threads; every method is thread-safe.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string method;
  std::string path;
  std::string query;  // the raw query text after "?", empty when there is none
  HeaderList headers;
  std::string body;             // inflated when it arrived gzipped
  std::size_t wireLength = 0;   // the body's length as it arrived ("Content-Length")
  bool gzipped = false;         // it arrived with "Content-Encoding: gzip" and inflated cleanly
  std::chrono::steady_clock::time_point receivedAt;

  // The first value of the header `name` (any case), or nothing.
  std::optional<std::string> header(std::string_view name) const;
};

struct ScriptedResponse {
  // A status alone ({503}) or with headers, body and delay.
  ScriptedResponse(int status = 200, HeaderList headers = {}, std::string body = {},
                   std::chrono::milliseconds delay = std::chrono::milliseconds(0))
      : status(status), headers(std::move(headers)), body(std::move(body)), delay(delay) {}

  int status = 200;
  HeaderList headers;
  std::string body;
  // How long the server holds the answer back, so a test can act while the request runs.
  std::chrono::milliseconds delay{0};
};

// `body` inflated when it is gzip data; nothing when it is not, or is damaged.
std::optional<std::string> gunzip(std::string_view body);

class FakeIngestionServer {
 public:
  // Decides the answer to the request recorded as number `index` (from 0).
  using Responder = std::function<ScriptedResponse(const RecordedRequest& request, std::size_t index)>;

  // Binds 127.0.0.1 on a free port and starts serving; throws when no port can be bound.
  FakeIngestionServer();
  // Stops serving and waits for the handlers running.
  ~FakeIngestionServer();
  FakeIngestionServer(const FakeIngestionServer&) = delete;
  FakeIngestionServer& operator=(const FakeIngestionServer&) = delete;

  // "http://127.0.0.1:PORT".
  std::string baseURL() const;
  int port() const;

  // The answer once the queue is empty.
  void setDefaultResponse(ScriptedResponse response);
  // Answers to give, in order, before the default one.
  void enqueue(std::vector<ScriptedResponse> responses);
  // Replaces queue and default with a function; an empty function restores them. The function
  // runs under the server's lock, so it must not call the server.
  void setResponder(Responder responder);

  std::vector<RecordedRequest> requests() const;
  std::size_t requestCount() const;
  // Runs the main run loop until `count` requests have been recorded or `timeoutSeconds` pass;
  // returns whether they were. Main thread only.
  bool waitForRequests(std::size_t count, double timeoutSeconds = 5) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace test
