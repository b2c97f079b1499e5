#pragma once
// RawHttpResponder is a TCP server on 127.0.0.1 and a free port for tests of broken peers and of
// the exact bytes a client sends: it reads each request (headers and a Content-Length body) and
// keeps its text, writes the reply it was given byte for byte (garbage, or a response cut short),
// and closes the connection. Thread-safe.
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test {

class RawHttpResponder {
 public:
  // Starts serving `reply` to every connection; throws when no port can be bound.
  explicit RawHttpResponder(std::string reply);
  // Stops serving and joins the thread.
  ~RawHttpResponder();
  RawHttpResponder(const RawHttpResponder&) = delete;
  RawHttpResponder& operator=(const RawHttpResponder&) = delete;

  // "http://127.0.0.1:PORT".
  std::string baseURL() const;
  // Requests read and answered so far.
  std::size_t requestCount() const;
  // The text of each request read so far, head and body, as it arrived.
  std::vector<std::string> requests() const;

 private:
  void serve();
  void answer(int connection);

  const std::string reply_;
  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace test
