#include "platform/kernel/MachPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace kernel;



mach_port_t newPort(bool withSendRight = true) {
  mach_port_t port = MACH_PORT_NULL;
  EXPECT_EQ(mach_port_allocate(task_self(), MACH_PORT_RIGHT_RECEIVE, &port), KERN_SUCCESS);
  if (withSendRight) {
    EXPECT_EQ(mach_port_insert_right(task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
  }
  return port;
}

mach_port_mscount_t refs(mach_port_t name, mach_port_right_t right) {
  mach_port_mscount_t count = 0;
  EXPECT_EQ(mach_port_get_refs(task_self(), name, right, &count), KERN_SUCCESS);
  return count;
}

// A message of `size` bytes whose body repeats `fill`.
struct Message {
  explicit Message(mach_msg_size_t size, mach_port_t to, mach_msg_id_t id, mach_port_t reply = MACH_PORT_NULL,
                   unsigned char fill = 0xA5)
      : bytes(size, fill) {
    mach_msg_header_t header{};
    header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, reply != MACH_PORT_NULL ? MACH_MSG_TYPE_MAKE_SEND_ONCE : 0);
    header.msgh_size = size;
    header.msgh_remote_port = to;
    header.msgh_local_port = reply;
    header.msgh_id = id;
    std::memcpy(bytes.data(), &header, sizeof header);
  }
  mach_msg_header_t* header() { return reinterpret_cast<mach_msg_header_t*>(bytes.data()); }
  mach_msg_return_t send() { return mach_msg(header(), MACH_SEND_MSG, size(), 0, MACH_PORT_NULL, 0, MACH_PORT_NULL); }
  mach_msg_size_t size() const { return static_cast<mach_msg_size_t>(bytes.size()); }
  std::vector<unsigned char> bytes;
};

struct Received {
  mach_msg_return_t result;
  mach_msg_header_t header;
  std::vector<unsigned char> bytes;
};

Received receive(mach_port_t on, mach_msg_size_t capacity = 8192, mach_msg_option_t extra = MACH_RCV_TIMEOUT,
                 mach_msg_timeout_t timeout = 0) {
  std::vector<unsigned char> buffer(capacity + 8, 0);
  auto* header = reinterpret_cast<mach_msg_header_t*>(buffer.data());
  Received out{};
  out.result = mach_msg(header, MACH_RCV_MSG | extra, 0, capacity, on, timeout, MACH_PORT_NULL);
  out.header = *header;
  if (out.result == MACH_MSG_SUCCESS) out.bytes.assign(buffer.begin(), buffer.begin() + header->msgh_size);
  return out;
}

TEST(MachPort, MessagesArriveInOrderWithTheHeaderAsTheReceiverSeesIt) {
  const mach_port_t port = newPort();
  const mach_port_t reply = newPort(false);
  for (mach_msg_id_t id : {1, 2, 3}) {
    ASSERT_EQ(Message(40, port, id, id == 2 ? reply : MACH_PORT_NULL).send(), MACH_MSG_SUCCESS);
  }
  for (mach_msg_id_t id : {1, 2, 3}) {
    const Received got = receive(port);
    ASSERT_EQ(got.result, MACH_MSG_SUCCESS);
    EXPECT_EQ(got.header.msgh_id, id);
    EXPECT_EQ(got.header.msgh_size, 40u);
    EXPECT_EQ(got.header.msgh_local_port, port);
    EXPECT_EQ(got.header.msgh_remote_port, id == 2 ? reply : MACH_PORT_NULL);
    EXPECT_EQ(MACH_MSGH_BITS_REMOTE(got.header.msgh_bits), id == 2 ? MACH_MSG_TYPE_MOVE_SEND_ONCE : 0u);
    EXPECT_EQ(got.bytes[39], 0xA5);
  }
  EXPECT_EQ(receive(port).result, MACH_RCV_TIMED_OUT);

  // The send-once right that came with message 2 answers it, once.
  mach_msg_header_t answer{MACH_MSGH_BITS(MACH_MSG_TYPE_MOVE_SEND_ONCE, 0), 24, reply, MACH_PORT_NULL, 0, 102};
  EXPECT_EQ(mach_msg(&answer, MACH_SEND_MSG, 24, 0, 0, 0, 0), MACH_MSG_SUCCESS);
  EXPECT_EQ(mach_msg(&answer, MACH_SEND_MSG, 24, 0, 0, 0, 0), MACH_SEND_INVALID_DEST);
  EXPECT_EQ(receive(reply).header.msgh_id, 102);
}

TEST(MachPort, SendsThatCannotBeMade) {
  const mach_port_t port = newPort(false);
  const mach_port_t dead = newPort();
  ASSERT_EQ(mach_port_mod_refs(task_self(), dead, MACH_PORT_RIGHT_RECEIVE, -1), KERN_SUCCESS);
  struct Case {
    const char* name;
    mach_port_t to;
    mach_msg_size_t size;
    mach_msg_return_t expected;
  };
  const Case cases[] = {
      {"no send right", port, 24, MACH_SEND_INVALID_DEST},
      {"dead port", dead, 24, MACH_SEND_INVALID_DEST},
      {"null port", MACH_PORT_NULL, 24, MACH_SEND_INVALID_DEST},
      {"shorter than a header", port, 20, MACH_SEND_MSG_TOO_SMALL},
      {"larger than the limit", port, MACH_MSG_SIZE_MAX + 4, MACH_SEND_TOO_LARGE},
  };
  for (const Case& c : cases) {
    Message message(std::max<mach_msg_size_t>(c.size, 24), c.to, 1);
    EXPECT_EQ(mach_msg(message.header(), MACH_SEND_MSG, c.size, 0, 0, 0, 0), c.expected) << c.name;
  }
  EXPECT_EQ(refs(dead, MACH_PORT_RIGHT_DEAD_NAME), 1u) << "the send right became a dead name";
  EXPECT_EQ(mach_port_mod_refs(task_self(), dead, MACH_PORT_RIGHT_SEND, -1), KERN_INVALID_RIGHT);
  EXPECT_EQ(mach_port_deallocate(task_self(), dead), KERN_SUCCESS);
  EXPECT_EQ(mach_port_deallocate(task_self(), dead), KERN_INVALID_NAME);
}

// A receiver with MACH_RCV_LARGE learns the size and leaves the message queued; without it the
// message is thrown away, and its waiting sender hears that through its reply port.
TEST(MachPort, TooLargeMessages) {
  const mach_port_t port = newPort();
  const mach_port_t reply = newPort(false);
  ASSERT_EQ(Message(6000, port, 7).send(), MACH_MSG_SUCCESS);
  Received got = receive(port, 4096, MACH_RCV_TIMEOUT | MACH_RCV_LARGE);
  EXPECT_EQ(got.result, MACH_RCV_TOO_LARGE);
  EXPECT_EQ(got.header.msgh_size, 6000u);
  got = receive(port, 6000);
  ASSERT_EQ(got.result, MACH_MSG_SUCCESS);
  EXPECT_EQ(got.bytes.size(), 6000u);
  EXPECT_EQ(got.bytes[5999], 0xA5);

  ASSERT_EQ(Message(6000, port, 8, reply).send(), MACH_MSG_SUCCESS);
  EXPECT_EQ(receive(port, 4096).result, MACH_RCV_TOO_LARGE);
  EXPECT_EQ(receive(port).result, MACH_RCV_TIMED_OUT);
  got = receive(reply);
  ASSERT_EQ(got.result, MACH_MSG_SUCCESS);
  EXPECT_EQ(got.header.msgh_id, MACH_NOTIFY_SEND_ONCE);
  EXPECT_EQ(got.header.msgh_local_port, reply);
}

TEST(MachPort, SetsReceiveFromEveryMemberAndWakeWaitingReceivers) {
  const mach_port_t first = newPort();
  const mach_port_t second = newPort();
  mach_port_t set = MACH_PORT_NULL;
  ASSERT_EQ(mach_port_allocate(task_self(), MACH_PORT_RIGHT_PORT_SET, &set), KERN_SUCCESS);
  ASSERT_EQ(mach_port_move_member(task_self(), first, set), KERN_SUCCESS);
  ASSERT_EQ(mach_port_move_member(task_self(), second, set), KERN_SUCCESS);
  EXPECT_EQ(mach_port_move_member(task_self(), set, first), KERN_INVALID_RIGHT);
  EXPECT_EQ(receive(first).result, MACH_RCV_IN_SET);

  // A receiver already waiting on the set wakes for a message sent later from another thread.
  std::atomic<mach_port_t> arrivedOn{MACH_PORT_NULL};
  std::thread receiver([&] {
    const Received got = receive(set, 8192, MACH_RCV_TIMEOUT, 5000);
    if (got.result == MACH_MSG_SUCCESS) arrivedOn = got.header.msgh_local_port;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(mach_port_has_other_receiver(second)) << "the set's receiver serves its members";
  ASSERT_EQ(Message(32, second, 1).send(), MACH_MSG_SUCCESS);
  receiver.join();
  EXPECT_EQ(arrivedOn.load(), second);
  // The thread's last moments after join may still show it; it is gone soon after.
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = !mach_port_has_other_receiver(second);
    if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(gone) << "its receiver has ended";
}

TEST(MachPort, ReceiversOfAPortThatDiesWake) {
  const mach_port_t port = newPort();
  std::atomic<mach_msg_return_t> result{MACH_MSG_SUCCESS};
  std::thread receiver([&] { result = receive(port, 8192, MACH_RCV_TIMEOUT, 5000).result; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(mach_port_destroy(task_self(), port), KERN_SUCCESS);
  receiver.join();
  EXPECT_EQ(result.load(), MACH_RCV_PORT_DIED);
  EXPECT_EQ(mach_port_destroy(task_self(), port), KERN_INVALID_NAME) << "destroy took the send rights too";
}

TEST(MachPort, SendRightCountsAndTheNoSendersNotification) {
  const mach_port_t port = newPort(false);
  const mach_port_t notify = newPort(false);
  mach_port_t previous = 1;
  ASSERT_EQ(mach_port_request_notification(task_self(), port, MACH_NOTIFY_NO_SENDERS, 1, notify,
                                           MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous), KERN_SUCCESS);
  EXPECT_EQ(previous, MACH_PORT_NULL);
  EXPECT_EQ(receive(notify).result, MACH_RCV_TIMED_OUT) << "no send right was ever made: not yet";

  ASSERT_EQ(mach_port_insert_right(task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
  ASSERT_EQ(mach_port_mod_refs(task_self(), port, MACH_PORT_RIGHT_SEND, 2), KERN_SUCCESS);
  EXPECT_EQ(refs(port, MACH_PORT_RIGHT_SEND), 3u);
  EXPECT_EQ(mach_port_mod_refs(task_self(), port, MACH_PORT_RIGHT_SEND, -4), KERN_INVALID_VALUE);
  EXPECT_EQ(mach_port_mod_refs(task_self(), port, MACH_PORT_RIGHT_SEND, -2), KERN_SUCCESS);
  EXPECT_EQ(receive(notify).result, MACH_RCV_TIMED_OUT) << "one send right is left";
  EXPECT_EQ(mach_port_deallocate(task_self(), port), KERN_SUCCESS);

  const Received got = receive(notify);
  ASSERT_EQ(got.result, MACH_MSG_SUCCESS);
  EXPECT_EQ(got.header.msgh_id, MACH_NOTIFY_NO_SENDERS);
  EXPECT_EQ(got.header.msgh_remote_port, MACH_PORT_NULL);
  mach_no_senders_notification_t notice{};
  std::memcpy(&notice, got.bytes.data(), sizeof notice);
  EXPECT_EQ(notice.not_count, 1u);

  // Kernel-held rights count as senders too.
  ASSERT_EQ(mach_port_request_notification(task_self(), port, MACH_NOTIFY_NO_SENDERS, 1, notify,
                                           MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous), KERN_SUCCESS);
  EXPECT_EQ(receive(notify).header.msgh_id, MACH_NOTIFY_NO_SENDERS) << "no senders already: sent at once";
  ASSERT_EQ(mach_port_insert_right(task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND), KERN_SUCCESS);
  ASSERT_EQ(mach_port_request_notification(task_self(), port, MACH_NOTIFY_NO_SENDERS, 1, notify,
                                           MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous), KERN_SUCCESS);
  ASSERT_TRUE(mach_port_kernel_retain_send(port));
  EXPECT_EQ(mach_port_deallocate(task_self(), port), KERN_SUCCESS);
  EXPECT_EQ(receive(notify).result, MACH_RCV_TIMED_OUT);
  mach_port_kernel_release_send(port);
  EXPECT_EQ(receive(notify).header.msgh_id, MACH_NOTIFY_NO_SENDERS);
}

TEST(MachPort, TablesRunOutCleanly) {
  std::vector<mach_port_t> ports;
  kern_return_t failure = KERN_SUCCESS;
  for (mach_port_t port; (failure = mach_port_allocate(task_self(), MACH_PORT_RIGHT_RECEIVE, &port)) == KERN_SUCCESS;) {
    ports.push_back(port);
  }
  EXPECT_EQ(failure, KERN_NO_SPACE);
  EXPECT_LT(ports.size(), MACH_PORT_TABLE_SIZE);
  ASSERT_EQ(mach_port_destroy(task_self(), ports.back()), KERN_SUCCESS);
  ports.pop_back();
  const mach_port_t port = newPort();
  EXPECT_NE(port, MACH_PORT_NULL);

  mach_msg_return_t last = MACH_MSG_SUCCESS;
  std::size_t sent = 0;
  while ((last = Message(24, port, 1).send()) == MACH_MSG_SUCCESS) ++sent;
  EXPECT_EQ(last, MACH_SEND_NO_BUFFER);
  EXPECT_EQ(sent, MACH_MSG_POOL_SIZE);
  EXPECT_EQ(receive(port).result, MACH_MSG_SUCCESS);
  EXPECT_EQ(Message(24, port, 1).send(), MACH_MSG_SUCCESS) << "a received message frees its slot";
  ASSERT_EQ(mach_port_destroy(task_self(), port), KERN_SUCCESS);
  EXPECT_EQ(Message(24, newPort(), 1).send(), MACH_MSG_SUCCESS) << "a dead port's queue is freed";
}

}  // namespace
