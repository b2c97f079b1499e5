#pragma once
// What the session manager tests share: a loopback HTTP(S) server that records the requests it
// receives, a recorder of notifications, the outcome of success and failure blocks, and the TLS
// fixtures of the security tests.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/callbacks/RLHTTPSessionManager.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "tests/net/callbacks/CallbacksTestSupport.h"
#include "tests/platform/net/LoopbackServer.h"

namespace test {

// A body of `size` bytes that is not all one byte.
inline std::string patternBody(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 1024) % 26);
  return body;
}

// One request as the server saw it.
struct SeenRequest {
  std::string method;
  std::string path;
  std::string query;  // the URL's query as sent
  std::string contentType;
  std::string body;
  // Multipart parts as "name|filename|type|content", in the server's order.
  std::vector<std::string> parts;
};

// A server on 127.0.0.1 with the routes the tests use:
//   "/json"     {"ok":true} as application/json (any method; HEAD too)
//   "/empty"    200 with an empty application/json body
//   "/missing"  404 with the JSON body {"error":"missing"}
//   "/partial"  announces 100000 bytes, sends 8192 and drops the connection
//   "/slow"     128 KiB sent 4 KiB at a time, 10 ms apart, as octet-stream
//   "/big"      bigBytes bytes at once, as octet-stream
//   "/redirect" 302 to "/json"
// Every request is recorded, in order.
class RecordingServer {
 public:
  static constexpr std::size_t kSlowBytes = 128 * 1024;

  explicit RecordingServer(bool tls = false, std::size_t bigBytes = 1 << 20)
      : server_(tls ? std::make_unique<LoopbackServer>(securityFixture("localhost.pem"), securityFixture("localhost-key.pem"))
                    : std::make_unique<LoopbackServer>()),
        big_(patternBody(bigBytes)) {
    auto& routes = server_->routes();
    routes.set_keep_alive_max_count(1);
    const auto json = [this](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.set_content("{\"ok\":true}", "application/json");
    };
    routes.Get("/json", json).Post("/json", json).Put("/json", json).Patch("/json", json).Delete("/json", json);
    routes.Get("/empty", [this](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.set_content("", "application/json");
    });
    routes.Get("/missing", [this](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.status = 404;
      res.set_content("{\"error\":\"missing\"}", "application/json");
    });
    routes.Get("/partial", [this](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.set_content_provider(100000, "application/json", [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        if (offset > 0) return false;
        static const std::string chunk(8192, 'x');
        sink.write(chunk.data(), chunk.size());
        return true;
      });
    });
    routes.Get("/slow", [this](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.set_content_provider(kSlowBytes, "application/octet-stream",
                               [](std::size_t, std::size_t length, httplib::DataSink& sink) {
                                 static const std::string chunk(4096, 's');
                                 sink.write(chunk.data(), std::min(chunk.size(), length));
                                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                 return true;
                               });
    });
    routes.Get("/big", [this](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.set_content(big_, "application/octet-stream");
    });
    routes.Get("/redirect", [this](const httplib::Request& req, httplib::Response& res) {
      record(req);
      res.set_redirect("/json");
    });
    server_->start();
  }
  // Handlers still serving a request record into the members below: they end first.
  ~RecordingServer() { server_->stop(); }
  RecordingServer(const RecordingServer&) = delete;
  RecordingServer& operator=(const RecordingServer&) = delete;

  std::string url(const std::string& path = "/") const { return server_->url(path); }
  const std::string& big() const { return big_; }
  int port() const { return server_->port(); }

  std::vector<SeenRequest> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  std::optional<SeenRequest> last() {
    std::lock_guard lock(mutex_);
    if (seen_.empty()) return std::nullopt;
    return seen_.back();
  }

 private:
  void record(const httplib::Request& req) {
    SeenRequest seen{req.method, req.path, "", req.get_header_value("Content-Type"), req.body, {}};
    if (const auto mark = req.target.find('?'); mark != std::string::npos) seen.query = req.target.substr(mark + 1);
    for (const auto& [name, part] : req.files) {
      seen.parts.push_back(part.name + "|" + part.filename + "|" + part.content_type + "|" + part.content);
    }
    std::lock_guard lock(mutex_);
    seen_.push_back(std::move(seen));
  }

  std::unique_ptr<LoopbackServer> server_;
  const std::string big_;
  std::mutex mutex_;
  std::vector<SeenRequest> seen_;
};

// Records the notifications of some names, with whether each arrived on the main thread.
class NotificationRecorder {
 public:
  struct Entry {
    std::string name;
    std::shared_ptr<foundation::Object> object;
    foundation::Dictionary userInfo;
    bool onMainThread = false;
  };

  explicit NotificationRecorder(const std::vector<std::string>& names) {
    for (const auto& name : names) {
      tokens_.push_back(foundation::NotificationCenter::defaultCenter().addObserver(
          name, nullptr, nullptr, [this](const foundation::Notification& notification) {
            std::lock_guard lock(mutex_);
            entries_.push_back({notification.name(), notification.object(), notification.userInfo(),
                                dispatch::Queue::isMainThread()});
          }));
    }
  }
  ~NotificationRecorder() {
    for (const auto token : tokens_) foundation::NotificationCenter::defaultCenter().removeObserver(token);
  }

  std::vector<Entry> entries() {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  // The entries named `name` about `object` (any object when null).
  std::vector<Entry> of(const std::string& name, const void* object = nullptr) {
    std::vector<Entry> found;
    for (auto& entry : entries()) {
      if (entry.name == name && (!object || entry.object.get() == object)) found.push_back(std::move(entry));
    }
    return found;
  }

 private:
  std::mutex mutex_;
  std::vector<foundation::NotificationCenter::ObserverToken> tokens_;
  std::vector<Entry> entries_;
};

// The identity a task is posted under.
inline const void* objectOf(const net::TaskPtr& task) { return static_cast<const foundation::Object*>(task.get()); }

// What a task's completion handler, or an HTTP manager's success or failure block, received.
struct Outcome {
  std::mutex mutex;
  int calls = 0;
  int successes = 0;
  int failures = 0;
  bool onMainThread = true;
  RLURLResponsePtr response;
  foundation::Value object;
  std::optional<foundation::Error> error;
  net::DataTaskPtr task;

  long errorCode() {
    std::lock_guard lock(mutex);
    return error ? error->code() : 0;
  }
  int count() {
    std::lock_guard lock(mutex);
    return calls;
  }

  RLTaskCompletionHandler handler() {
    return [this](const RLURLResponsePtr& r, const foundation::Value& o, const std::optional<foundation::Error>& e) {
      std::lock_guard lock(mutex);
      ++calls;
      onMainThread = onMainThread && dispatch::Queue::isMainThread();
      response = r;
      object = o;
      error = e;
    };
  }
  RLHTTPSessionManager::SuccessBlock success() {
    return [this](const net::DataTaskPtr& t, const foundation::Value& o) {
      std::lock_guard lock(mutex);
      ++calls;
      ++successes;
      onMainThread = onMainThread && dispatch::Queue::isMainThread();
      task = t;
      object = o;
    };
  }
  RLHTTPSessionManager::FailureBlock failure() {
    return [this](const net::DataTaskPtr& t, const foundation::Error& e) {
      std::lock_guard lock(mutex);
      ++calls;
      ++failures;
      onMainThread = onMainThread && dispatch::Queue::isMainThread();
      task = t;
      error = e;
    };
  }
};

// Runs the main queue until `outcome` has been called once, then a little longer so that a
// second call would be seen. False when the first call never came.
inline bool waitForOutcome(Outcome& outcome, double seconds = 20) {
  if (!foundation::pumpMainUntil([&] { return outcome.count() > 0; }, seconds)) return false;
  foundation::pumpMainUntil([] { return false; }, 0.05);
  return true;
}

// Ends a manager's session when the test ends, cancelling what is left, so that its thread and
// the manager itself are let go.
class ManagerEnd {
 public:
  explicit ManagerEnd(std::shared_ptr<RLURLSessionManager> manager) : manager_(std::move(manager)) {}
  ~ManagerEnd() {
    if (manager_) manager_->invalidateSessionCancelingTasks(true);
  }
  ManagerEnd(const ManagerEnd&) = delete;
  ManagerEnd& operator=(const ManagerEnd&) = delete;

 private:
  std::shared_ptr<RLURLSessionManager> manager_;
};

}  // namespace test
