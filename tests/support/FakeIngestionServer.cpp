#include "tests/support/FakeIngestionServer.h"

// The system library is built with these options, which the header must match.
#define CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_ZLIB_SUPPORT
#define CPPHTTPLIB_BROTLI_SUPPORT
#include <httplib.h>
#include <zlib.h>

#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/foundation/RunLoop.h"

namespace test {

namespace {

bool namesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> gunzip(std::string_view body) {
  if (body.size() < 2 || static_cast<unsigned char>(body[0]) != 0x1f || static_cast<unsigned char>(body[1]) != 0x8b) {
    return std::nullopt;
  }
  z_stream stream{};
  if (inflateInit2(&stream, 31) != Z_OK) return std::nullopt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  stream.avail_in = static_cast<uInt>(body.size());
  std::string out;
  char buffer[16384];
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    result = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
  }
  inflateEnd(&stream);
  if (result != Z_STREAM_END) return std::nullopt;
  return out;
}

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (namesEqual(key, name)) return value;
  }
  return std::nullopt;
}

struct FakeIngestionServer::State {
  httplib::Server server;
  std::thread thread;
  int port = 0;
  mutable std::mutex mutex;
  std::vector<RecordedRequest> requests;
  std::deque<ScriptedResponse> queue;
  ScriptedResponse fallback;
  Responder responder;

  void handle(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest recorded;
    recorded.receivedAt = std::chrono::steady_clock::now();
    recorded.method = request.method;
    recorded.path = request.path;
    if (const auto mark = request.target.find('?'); mark != std::string::npos) {
      recorded.query = request.target.substr(mark + 1);
    }
    for (const auto& [key, value] : request.headers) recorded.headers.emplace_back(key, value);
    recorded.wireLength = request.get_header_value<std::size_t>("Content-Length");
    recorded.body = request.body;
    if (namesEqual(request.get_header_value("Content-Encoding"), "gzip")) {
      // The library inflates gzip bodies before handlers see them (and refuses damaged ones); a
      // body that still arrives compressed is inflated here.
      if (auto inflated = gunzip(request.body)) recorded.body = std::move(*inflated);
      recorded.gzipped = true;
    }
    ScriptedResponse answer;
    {
      std::lock_guard lock(mutex);
      const std::size_t index = requests.size();
      requests.push_back(recorded);
      if (responder) {
        answer = responder(recorded, index);
      } else if (!queue.empty()) {
        answer = std::move(queue.front());
        queue.pop_front();
      } else {
        answer = fallback;
      }
    }
    if (answer.delay.count() > 0) std::this_thread::sleep_for(answer.delay);
    response.status = answer.status;
    for (const auto& [key, value] : answer.headers) response.set_header(key, value);
    if (!answer.body.empty()) {
      const std::string type = response.get_header_value("Content-Type");
      response.set_content(answer.body, type.empty() ? "application/json" : type);
    }
  }
};

FakeIngestionServer::FakeIngestionServer() : state_(std::make_shared<State>()) {
  auto* state = state_.get();
  const auto handler = [state](const httplib::Request& request, httplib::Response& response) {
    state->handle(request, response);
  };
  state_->server.Get(".*", handler);
  state_->server.Post(".*", handler);
  state_->server.Put(".*", handler);
  state_->server.Patch(".*", handler);
  state_->server.Delete(".*", handler);
  state_->port = state_->server.bind_to_any_port("127.0.0.1");
  if (state_->port <= 0) throw std::runtime_error("could not bind 127.0.0.1");
  state_->thread = std::thread([state] { state->server.listen_after_bind(); });
  while (!state_->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeIngestionServer::~FakeIngestionServer() {
  state_->server.stop();
  if (state_->thread.joinable()) state_->thread.join();
}

std::string FakeIngestionServer::baseURL() const { return "http://127.0.0.1:" + std::to_string(state_->port); }

int FakeIngestionServer::port() const { return state_->port; }

void FakeIngestionServer::setDefaultResponse(ScriptedResponse response) {
  std::lock_guard lock(state_->mutex);
  state_->fallback = std::move(response);
}

void FakeIngestionServer::enqueue(std::vector<ScriptedResponse> responses) {
  std::lock_guard lock(state_->mutex);
  for (auto& response : responses) state_->queue.push_back(std::move(response));
}

void FakeIngestionServer::setResponder(Responder responder) {
  std::lock_guard lock(state_->mutex);
  state_->responder = std::move(responder);
}

std::vector<RecordedRequest> FakeIngestionServer::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

std::size_t FakeIngestionServer::requestCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests.size();
}

bool FakeIngestionServer::waitForRequests(std::size_t count, double timeoutSeconds) const {
  return foundation::pumpMainUntil([this, count] { return requestCount() >= count; }, timeoutSeconds);
}

}  // namespace test
