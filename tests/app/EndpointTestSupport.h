#pragma once
// What the newsletter and feedback window tests share: a loopback server standing in for the
// newsletter and feedback services, and a main bundle whose information dictionary names them.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "tests/platform/net/LoopbackServer.h"

namespace test {

// Records every POST it receives (path, content type, body) and answers each with the status,
// body and content type set last (200, empty, "text/plain" at first). Thread-safe.
class EndpointServer {
 public:
  struct Request {
    std::string path;
    std::string contentType;
    std::string body;
  };

  EndpointServer() {
    server_.routes().Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard lock(mutex_);
      requests_.push_back({request.path, request.get_header_value("Content-Type"), request.body});
      response.status = status_;
      response.set_content(body_, contentType_);
    });
    server_.start();
  }

  void reply(int status, std::string body, std::string contentType = "text/plain") {
    std::lock_guard lock(mutex_);
    status_ = status;
    body_ = std::move(body);
    contentType_ = std::move(contentType);
  }
  std::vector<Request> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::string url(const std::string& path = "/") const { return server_.url(path); }

 private:
  LoopbackServer server_;
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
  int status_ = 200;
  std::string body_;
  std::string contentType_ = "text/plain";
};

// A URL on 127.0.0.1 where nothing listens: a server is started and stopped, so its port is free.
inline std::string refusingURL(const std::string& path) {
  LoopbackServer closed;
  closed.start();
  const std::string url = closed.url(path);
  closed.stop();
  return url;
}

// Makes the main bundle one with `info` as its information dictionary, in the same folders and
// with the same identifier (so the same user defaults) as the real one, until destroyed.
class ScopedMainBundle {
 public:
  explicit ScopedMainBundle(foundation::Dictionary info) {
    const auto real = foundation::Bundle::mainBundle();
    foundation::Bundle::setMainBundleForTesting(std::make_shared<foundation::Bundle>(
        real->bundlePath(), real->resourcePath(), std::move(info), real->executablePath(), real->bundleIdentifier()));
  }
  ~ScopedMainBundle() { foundation::Bundle::setMainBundleForTesting(nullptr); }
  ScopedMainBundle(const ScopedMainBundle&) = delete;
  ScopedMainBundle& operator=(const ScopedMainBundle&) = delete;
};

}  // namespace test
