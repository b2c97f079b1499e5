#include "tests/support/ExceptionCatcher.h"

#include <chrono>
#include <memory>

namespace test {

ExceptionCatcher::ExceptionCatcher(kernel::kern_return_t answer) : answer_(answer) {
  kernel::mach_port_allocate(kernel::task_self(), kernel::MACH_PORT_RIGHT_RECEIVE, &port_);
  kernel::mach_port_insert_right(kernel::task_self(), port_, port_, kernel::MACH_MSG_TYPE_MAKE_SEND);
  worker_ = std::thread([this] { serve(); });
  // Senders pass over a port that nobody receives on: wait until the thread does.
  while (!kernel::mach_port_has_other_receiver(port_)) std::this_thread::yield();
}

ExceptionCatcher::~ExceptionCatcher() {
  kernel::mach_port_destroy(kernel::task_self(), port_);
  worker_.join();
}

std::vector<kernel::exception_request> ExceptionCatcher::waitFor(std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (requests_.size() >= count || std::chrono::steady_clock::now() > deadline) return requests_;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void ExceptionCatcher::serve() {
  thread_.store(kernel::thread_self());
  alignas(8) unsigned char buffer[kernel::MACH_MSG_SIZE_MAX];
  alignas(8) unsigned char reply[kernel::MACH_MSG_SIZE_MAX];
  auto* header = reinterpret_cast<kernel::mach_msg_header_t*>(buffer);
  auto request = std::make_unique<kernel::exception_request>();
  while (kernel::mach_msg(header, kernel::MACH_RCV_MSG, 0, sizeof buffer, port_, 0, kernel::MACH_PORT_NULL) ==
         kernel::MACH_MSG_SUCCESS) {
    if (!kernel::exception_request_decode(header, request.get())) continue;
    if (auto observer = observer_.load()) observer(*request);
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(*request);
    }
    kernel::natural_t newState[kernel::THREAD_STATE_MAX];
    for (std::uint32_t i = 0; i < request->stateCnt; ++i) newState[i] = request->state[i] + 1;
    const kernel::mach_msg_size_t size =
        kernel::exception_reply_encode(header, *request, answer_, newState, request->stateCnt, reply, sizeof reply);
    kernel::mach_msg(reinterpret_cast<kernel::mach_msg_header_t*>(reply), kernel::MACH_SEND_MSG, size, 0, 0, 0, 0);
  }
}

}  // namespace test
