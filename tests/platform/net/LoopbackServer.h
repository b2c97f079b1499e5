#pragma once
// LoopbackServer is an HTTP or HTTPS test server on 127.0.0.1 and a free port, serving the
// routes a test installs, on a thread of its own, until it is destroyed. Tests that use it link
// cpp-httplib (the system library is built with these options, which the header must match).
#define CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_ZLIB_SUPPORT
#define CPPHTTPLIB_BROTLI_SUPPORT
#include <httplib.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <chrono>
#include <thread>

namespace test {

class LoopbackServer {
 public:
  // A plain HTTP server.
  LoopbackServer() : server_(std::make_unique<httplib::Server>()) {}
  // An HTTPS server presenting the certificate chain in `certificatePEM` with its key.
  LoopbackServer(const std::string& certificatePEM, const std::string& keyPEM)
      : server_(std::make_unique<httplib::SSLServer>(certificatePEM.c_str(), keyPEM.c_str())), tls_(true) {
    if (!server_->is_valid()) throw std::runtime_error("TLS server could not load its certificate");
  }
  ~LoopbackServer() { stop(); }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Routes are installed on this before start().
  httplib::Server& routes() { return *server_; }

  // Binds 127.0.0.1 on a free port and starts serving; throws when no port can be bound.
  void start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("could not bind 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  void stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
  }

  int port() const { return port_; }
  // "http://127.0.0.1:PORT" + path (or https).
  std::string url(const std::string& path = "/") const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
  }
  // The same with "localhost" as host, for certificates issued to that name.
  std::string localhostURL(const std::string& path = "/") const {
    return std::string(tls_ ? "https" : "http") + "://localhost:" + std::to_string(port_) + path;
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  bool tls_ = false;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace test
