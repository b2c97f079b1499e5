#include "tests/support/RawHttpResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <strings.h>

namespace test {

RawHttpResponder::RawHttpResponder(std::string reply) : reply_(std::move(reply)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("could not listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

RawHttpResponder::~RawHttpResponder() {
  (void)!::write(stopPipe_[1], "x", 1);
  thread_.join();
  ::close(listener_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
}

std::string RawHttpResponder::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::size_t RawHttpResponder::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

std::vector<std::string> RawHttpResponder::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void RawHttpResponder::serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    answer(connection);
    ::close(connection);
  }
}

void RawHttpResponder::answer(int connection) {
  // Read the head, then as much body as it announces; give up after a second of silence.
  std::string received;
  std::size_t needed = std::string::npos;
  char buffer[4096];
  while (needed == std::string::npos || received.size() < needed) {
    pollfd fd{connection, POLLIN, 0};
    if (::poll(&fd, 1, 1000) <= 0) return;
    const ssize_t count = ::read(connection, buffer, sizeof buffer);
    if (count <= 0) return;
    received.append(buffer, static_cast<std::size_t>(count));
    const std::size_t headEnd = received.find("\r\n\r\n");
    if (needed == std::string::npos && headEnd != std::string::npos) {
      std::size_t bodyLength = 0;
      for (std::size_t line = 0; line < headEnd;) {
        const std::size_t next = received.find("\r\n", line);
        if (::strncasecmp(received.c_str() + line, "Content-Length:", 15) == 0) {
          bodyLength = std::strtoul(received.c_str() + line + 15, nullptr, 10);
        }
        line = next + 2;
      }
      needed = headEnd + 4 + bodyLength;
    }
  }
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(received);
  }
  std::size_t written = 0;
  while (written < reply_.size()) {
    const ssize_t count = ::write(connection, reply_.data() + written, reply_.size() - written);
    if (count <= 0) return;
    written += static_cast<std::size_t>(count);
  }
  ::shutdown(connection, SHUT_WR);
}

}  // namespace test
