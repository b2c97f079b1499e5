#pragma once
// The loopback server the request tests talk to, with the routes they share: JSON, plain text,
// HTML, any status, an echo of the request, a slow body and a redirect that keeps the body.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/foundation/RunLoop.h"
#include "tests/platform/net/LoopbackServer.h"

namespace test {

class PipelineServer {
 public:
  PipelineServer() {
    auto& r = server_.routes();
    // One request per connection, so that stopping the server never waits for idle connections.
    r.set_keep_alive_max_count(1);
    r.Get("/json", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("{\"hosts\":[\"a\",\"b\"]}", "application/json");
    });
    r.Get("/text", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("127.0.0.1 example.test", "text/plain; charset=utf-8");
    });
    r.Get("/html", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<html></html>", "text/html");
    });
    r.Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
      res.status = std::stoi(req.matches[1]);
      res.set_content("{\"status\":" + std::string(req.matches[1]) + "}", "application/json");
    });
    auto echo = [this](const httplib::Request& req, httplib::Response& res) {
      ++hits;
      std::string text = req.method + " " + req.path + "\n";
      for (const auto& [name, value] : req.headers) text += name + ": " + value + "\n";
      text += "\n" + req.body;
      // Multipart bodies are parsed by the server into parts; echo those instead.
      for (const auto& [name, part] : req.files) text += "part " + name + "=" + part.content + "\n";
      res.set_content(text, "text/plain");
    };
    r.Get("/echo", echo);
    r.Post("/echo", echo);
    r.Put("/echo", echo);
    r.Post("/redirect307", [](const httplib::Request&, httplib::Response& res) {
      res.status = 307;
      res.set_header("Location", "/echo");
    });
    r.Get("/slow", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
        if (offset >= 64 * 1024) {
          sink.done();
          return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::string chunk(4096, 'x');
        sink.write(chunk.data(), chunk.size());
        return true;
      });
    });
    r.Get("/file", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Disposition", "attachment; filename=\"../../hosts.txt\"");
      res.set_content(std::string(100000, 'h'), "text/plain");
    });
    server_.start();
  }

  std::string url(const std::string& path) const { return server_.url(path); }
  int port() const { return server_.port(); }
  std::atomic<int> hits{0};

 private:
  LoopbackServer server_;
};

// A port on 127.0.0.1 where nothing listens (a server that was started and stopped).
inline int refusedPort() {
  LoopbackServer server;
  server.start();
  const int port = server.port();
  server.stop();
  return port;
}

}  // namespace test
