#include "platform/kernel/MachPort.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace kernel {
namespace {

// A slot's control word: generation << 8 | kind. A name is slot index << 8 | the generation's low
// byte, so a name outlives its port only until the slot is reused.
enum Kind : std::uint32_t {
  kFree = 0,
  kClaimed = 1,   // being set up by its allocator
  kPort = 2,
  kSet = 3,
  kDeadName = 4,  // the port died; send references became dead-name references
  kDying = 5,     // being destroyed
};

constexpr std::uint32_t kindOf(std::uint32_t control) { return control & 0xFF; }
constexpr std::uint32_t generationOf(std::uint32_t control) { return control >> 8; }
constexpr std::uint32_t makeControl(std::uint32_t generation, Kind kind) { return generation << 8 | kind; }

constexpr std::uint32_t kUrefsMax = 0xFFFF;

// Message slots are linked by index + 1; 0 ends a chain.
struct MessageSlot {
  std::atomic<std::uint32_t> next{0};
  mach_msg_size_t size = 0;
  mach_port_t sendOnceTo = 0;  // the reply port whose send-once right travels with the message
  alignas(8) unsigned char bytes[MACH_MSG_SIZE_MAX];
};

struct PortSlot {
  std::atomic<std::uint32_t> control{0};
  std::atomic<std::uint32_t> sendRefs{0};  // user references: send rights, or dead-name ones
  std::atomic<std::uint32_t> kernelSendRights{0};
  std::atomic<std::uint32_t> sendOnceRights{0};
  std::atomic<std::uint32_t> makeSendCount{0};
  std::atomic<std::uint32_t> memberOf{0};  // the set's slot index, 0 for none
  std::atomic<mach_port_t> noSendersNotify{0};
  std::uint32_t noSendersSync = 0;
  std::atomic<std::uint32_t> activeSenders{0};
  std::atomic<std::uint32_t> incoming{0};  // pushed by senders, newest first
  std::uint32_t pendingHead = 0;           // taken over by receivers, oldest first
  std::uint32_t pendingTail = 0;
  std::atomic<bool> receiveLock{false};
  std::atomic<std::uint32_t> wakeups{0};   // futex word: bumped on each arrival and change
  std::atomic<thread_t> receiver{0};       // the thread that last received here
};

MessageSlot gMessages[MACH_MSG_POOL_SIZE];
std::atomic<std::uint64_t> gFreeMessages{0};  // ABA tag << 32 | index + 1
std::atomic<std::uint32_t> gFreshMessages{0};  // slots handed out for the first time so far

PortSlot gPorts[MACH_PORT_TABLE_SIZE];  // slot 0 is never used: no name is 0
std::atomic<std::uint32_t> gAllocationHint{1};

// Serialises the right and set changes of healthy code. The crash path never takes it.
std::mutex gNameSpaceLock;

long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr, 0);
}

std::int64_t monotonicMillis() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

void wake(PortSlot& slot) {
  slot.wakeups.fetch_add(1);
  futex(&slot.wakeups, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr);
}

std::uint32_t indexOf(mach_port_name_t name) { return name >> 8; }

mach_port_name_t nameFor(std::uint32_t index, std::uint32_t control) {
  return index << 8 | (generationOf(control) & 0xFF);
}

// The slot `name` denotes, with its control word, when it is of one of the kinds in `kinds` (a
// bit mask of Kind values).
PortSlot* lookup(mach_port_name_t name, std::uint32_t kinds, std::uint32_t* controlOut = nullptr) {
  const std::uint32_t index = indexOf(name);
  if (index == 0 || index >= MACH_PORT_TABLE_SIZE) return nullptr;
  PortSlot& slot = gPorts[index];
  const std::uint32_t control = slot.control.load();
  if ((generationOf(control) & 0xFF) != (name & 0xFF)) return nullptr;
  if ((kinds & (1u << kindOf(control))) == 0) return nullptr;
  if (controlOut != nullptr) *controlOut = control;
  return &slot;
}

constexpr std::uint32_t bit(Kind kind) { return 1u << kind; }
// Every kind a name of the name space can have.
constexpr std::uint32_t kNamed = bit(kPort) | bit(kSet) | bit(kDeadName);

// --- messages -------------------------------------------------------------------------------

bool takeMessageSlot(std::uint32_t* index) {
  std::uint64_t head = gFreeMessages.load();
  while ((head & 0xFFFFFFFF) != 0) {
    const std::uint32_t taken = static_cast<std::uint32_t>(head & 0xFFFFFFFF) - 1;
    const std::uint64_t next = ((head >> 32) + 1) << 32 | gMessages[taken].next.load();
    if (gFreeMessages.compare_exchange_weak(head, next)) {
      *index = taken;
      return true;
    }
  }
  std::uint32_t fresh = gFreshMessages.load();
  while (fresh < MACH_MSG_POOL_SIZE) {
    if (gFreshMessages.compare_exchange_weak(fresh, fresh + 1)) {
      *index = fresh;
      return true;
    }
  }
  return false;
}

void returnMessageSlot(std::uint32_t index) {
  std::uint64_t head = gFreeMessages.load();
  std::uint64_t next;
  do {
    gMessages[index].next.store(static_cast<std::uint32_t>(head & 0xFFFFFFFF));
    next = ((head >> 32) + 1) << 32 | (index + 1);
  } while (!gFreeMessages.compare_exchange_weak(head, next));
}

mach_msg_return_t send(mach_msg_header_t* msg, mach_msg_size_t size, bool kernelRight);

// A message thrown away unreceived gives up the send-once right it carries: its reply port
// hears of it, so a thread waiting there for an answer stops waiting.
void discardMessage(std::uint32_t index) {
  const mach_port_t replyPort = gMessages[index].sendOnceTo;
  returnMessageSlot(index);
  if (replyPort == MACH_PORT_NULL) return;
  mach_msg_header_t notice{};
  notice.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_MOVE_SEND_ONCE, 0);
  notice.msgh_size = sizeof notice;
  notice.msgh_remote_port = replyPort;
  notice.msgh_id = MACH_NOTIFY_SEND_ONCE;
  send(&notice, sizeof notice, true);
}

void lockReceive(PortSlot& slot) {
  while (slot.receiveLock.exchange(true, std::memory_order_acquire)) sched_yield();
}

void unlockReceive(PortSlot& slot) { slot.receiveLock.store(false, std::memory_order_release); }

// Moves what senders pushed onto the receivers' list, oldest first. Under the receive lock.
void takeIncoming(PortSlot& slot) {
  std::uint32_t chain = slot.incoming.exchange(0);
  std::uint32_t oldestFirst = 0;
  while (chain != 0) {
    const std::uint32_t following = gMessages[chain - 1].next.load();
    gMessages[chain - 1].next.store(oldestFirst);
    oldestFirst = chain;
    chain = following;
  }
  if (oldestFirst == 0) return;
  if (slot.pendingTail != 0) {
    gMessages[slot.pendingTail - 1].next.store(oldestFirst);
  } else {
    slot.pendingHead = oldestFirst;
  }
  std::uint32_t tail = oldestFirst;
  while (gMessages[tail - 1].next.load() != 0) tail = gMessages[tail - 1].next.load();
  slot.pendingTail = tail;
}

// Unlinks the oldest message. Under the receive lock; the list is not empty.
std::uint32_t popPending(PortSlot& slot) {
  const std::uint32_t head = slot.pendingHead;
  slot.pendingHead = gMessages[head - 1].next.load();
  if (slot.pendingHead == 0) slot.pendingTail = 0;
  return head - 1;
}

void pushIncoming(PortSlot& slot, std::uint32_t index) {
  std::uint32_t head = slot.incoming.load();
  do {
    gMessages[index].next.store(head);
  } while (!slot.incoming.compare_exchange_weak(head, index + 1));
}

// Uses up one send-once right of `slot`; false when it has none.
bool consumeSendOnce(PortSlot& slot) {
  std::uint32_t count = slot.sendOnceRights.load();
  while (count > 0) {
    if (slot.sendOnceRights.compare_exchange_weak(count, count - 1)) return true;
  }
  return false;
}

mach_msg_return_t send(mach_msg_header_t* msg, mach_msg_size_t size, bool kernelRight) {
  if (size < sizeof(mach_msg_header_t)) return MACH_SEND_MSG_TOO_SMALL;
  if (size > MACH_MSG_SIZE_MAX) return MACH_SEND_TOO_LARGE;

  const mach_msg_type_name_t remote = MACH_MSGH_BITS_REMOTE(msg->msgh_bits);
  const mach_msg_type_name_t local = MACH_MSGH_BITS_LOCAL(msg->msgh_bits);
  const mach_port_t destination = msg->msgh_remote_port;
  std::uint32_t control = 0;
  PortSlot* target = lookup(destination, bit(kPort), &control);
  if (target == nullptr) return MACH_SEND_INVALID_DEST;
  switch (remote) {
    case MACH_MSG_TYPE_COPY_SEND:
    case MACH_MSG_TYPE_MOVE_SEND:
      if (!kernelRight && target->sendRefs.load() == 0) return MACH_SEND_INVALID_DEST;
      break;
    case MACH_MSG_TYPE_MAKE_SEND:
    case MACH_MSG_TYPE_MAKE_SEND_ONCE:
    case MACH_MSG_TYPE_MOVE_SEND_ONCE:
      break;
    default:
      return MACH_SEND_INVALID_DEST;
  }
  const mach_port_t replyPort = msg->msgh_local_port;
  PortSlot* reply = nullptr;
  if (replyPort != MACH_PORT_NULL) {
    reply = lookup(replyPort, bit(kPort));
    if (reply == nullptr) return MACH_SEND_INVALID_REPLY;
    if (local != MACH_MSG_TYPE_MAKE_SEND_ONCE && local != MACH_MSG_TYPE_MOVE_SEND_ONCE) {
      return MACH_SEND_INVALID_REPLY;
    }
  } else if (local != 0 && local != MACH_MSG_TYPE_MAKE_SEND_ONCE && local != MACH_MSG_TYPE_MOVE_SEND_ONCE) {
    return MACH_SEND_INVALID_REPLY;
  }

  // Send-once rights change hands before the message is visible: its receiver may answer at once.
  // Every failure below gives them back.
  const bool destinationOnce = remote == MACH_MSG_TYPE_MOVE_SEND_ONCE;
  if (destinationOnce && !consumeSendOnce(*target)) return MACH_SEND_INVALID_DEST;
  if (reply != nullptr && local == MACH_MSG_TYPE_MOVE_SEND_ONCE && !consumeSendOnce(*reply)) {
    if (destinationOnce) target->sendOnceRights.fetch_add(1);
    return MACH_SEND_INVALID_REPLY;
  }
  if (reply != nullptr && local == MACH_MSG_TYPE_MAKE_SEND_ONCE) reply->sendOnceRights.fetch_add(1);
  auto giveBack = [&] {
    if (destinationOnce) target->sendOnceRights.fetch_add(1);
    if (reply == nullptr) return;
    if (local == MACH_MSG_TYPE_MOVE_SEND_ONCE) {
      reply->sendOnceRights.fetch_add(1);
    } else {
      reply->sendOnceRights.fetch_sub(1);
    }
  };

  std::uint32_t index = 0;
  if (!takeMessageSlot(&index)) {
    giveBack();
    return MACH_SEND_NO_BUFFER;
  }
  MessageSlot& message = gMessages[index];
  std::memcpy(message.bytes, msg, size);
  message.size = size;
  message.sendOnceTo = replyPort;
  const bool onceRight = remote == MACH_MSG_TYPE_MOVE_SEND_ONCE || remote == MACH_MSG_TYPE_MAKE_SEND_ONCE;
  mach_msg_header_t delivered{};
  delivered.msgh_bits = (msg->msgh_bits & MACH_MSGH_BITS_COMPLEX) |
                        MACH_MSGH_BITS(replyPort != MACH_PORT_NULL ? MACH_MSG_TYPE_MOVE_SEND_ONCE : 0,
                                       onceRight ? MACH_MSG_TYPE_MOVE_SEND_ONCE : MACH_MSG_TYPE_MOVE_SEND);
  delivered.msgh_size = size;
  delivered.msgh_remote_port = replyPort;
  delivered.msgh_local_port = destination;
  delivered.msgh_id = msg->msgh_id;
  std::memcpy(message.bytes, &delivered, sizeof delivered);

  // A destroyer waits for the senders it may have missed, so no message is left on a dead port.
  target->activeSenders.fetch_add(1);
  if (target->control.load() != control) {
    target->activeSenders.fetch_sub(1);
    returnMessageSlot(index);
    giveBack();
    return MACH_SEND_INVALID_DEST;
  }
  pushIncoming(*target, index);
  wake(*target);
  const std::uint32_t set = target->memberOf.load();
  if (set != 0) wake(gPorts[set]);
  target->activeSenders.fetch_sub(1);
  return MACH_MSG_SUCCESS;
}

// --- ports ----------------------------------------------------------------------------------

bool claimSlot(std::uint32_t* indexOut, std::uint32_t* generationOut) {
  const std::uint32_t start = gAllocationHint.load();
  for (std::uint32_t step = 0; step < MACH_PORT_TABLE_SIZE - 1; ++step) {
    const std::uint32_t index = 1 + (start - 1 + step) % (MACH_PORT_TABLE_SIZE - 1);
    PortSlot& slot = gPorts[index];
    std::uint32_t control = slot.control.load();
    if (kindOf(control) != kFree) continue;
    if (!slot.control.compare_exchange_strong(control, makeControl(generationOf(control), kClaimed))) continue;
    slot.sendRefs.store(0);
    slot.kernelSendRights.store(0);
    slot.sendOnceRights.store(0);
    slot.makeSendCount.store(0);
    slot.memberOf.store(0);
    slot.noSendersNotify.store(0);
    slot.noSendersSync = 0;
    slot.incoming.store(0);
    slot.pendingHead = slot.pendingTail = 0;
    slot.receiver.store(0);
    gAllocationHint.store(index % (MACH_PORT_TABLE_SIZE - 1) + 1);
    *indexOut = index;
    *generationOut = generationOf(control);
    return true;
  }
  return false;
}

void freeSlot(PortSlot& slot) {
  const std::uint32_t control = slot.control.load();
  slot.control.store(makeControl(generationOf(control) + 1, kFree));
}

void sendNoSendersNotification(mach_port_t notify, mach_port_mscount_t count) {
  mach_no_senders_notification_t notice{};
  notice.not_header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_MOVE_SEND_ONCE, 0);
  notice.not_header.msgh_size = sizeof notice;
  notice.not_header.msgh_remote_port = notify;
  notice.not_header.msgh_id = MACH_NOTIFY_NO_SENDERS;
  notice.not_count = count;
  send(&notice.not_header, sizeof notice, true);
}

// Sends the no-senders notification when the port's last send right is gone and it asked for one.
void checkNoSenders(PortSlot& slot) {
  if (kindOf(slot.control.load()) != kPort) return;
  if (slot.sendRefs.load() != 0 || slot.kernelSendRights.load() != 0) return;
  const std::uint32_t made = slot.makeSendCount.load();
  if (slot.noSendersNotify.load() == MACH_PORT_NULL || made < slot.noSendersSync) return;
  const mach_port_t notify = slot.noSendersNotify.exchange(MACH_PORT_NULL);
  if (notify != MACH_PORT_NULL) sendNoSendersNotification(notify, made);
}

kern_return_t destroyPort(PortSlot& slot, std::uint32_t control) {
  if (!slot.control.compare_exchange_strong(control, makeControl(generationOf(control), kDying))) {
    return KERN_INVALID_NAME;
  }
  while (slot.activeSenders.load() != 0) sched_yield();
  const std::uint32_t set = slot.memberOf.exchange(0);
  wake(slot);
  if (set != 0) wake(gPorts[set]);

  lockReceive(slot);
  takeIncoming(slot);
  std::uint32_t chain = slot.pendingHead;
  slot.pendingHead = slot.pendingTail = 0;
  unlockReceive(slot);
  while (chain != 0) {
    const std::uint32_t following = gMessages[chain - 1].next.load();
    discardMessage(chain - 1);
    chain = following;
  }
  slot.noSendersNotify.store(MACH_PORT_NULL);
  if (slot.sendRefs.load() != 0) {
    slot.control.store(makeControl(generationOf(control), kDeadName));
  } else {
    freeSlot(slot);
  }
  return KERN_SUCCESS;
}

kern_return_t destroySet(std::uint32_t index, PortSlot& slot, std::uint32_t control) {
  if (!slot.control.compare_exchange_strong(control, makeControl(generationOf(control), kDying))) {
    return KERN_INVALID_NAME;
  }
  for (PortSlot& member : gPorts) {
    std::uint32_t expected = index;
    member.memberOf.compare_exchange_strong(expected, 0);
  }
  wake(slot);
  freeSlot(slot);
  return KERN_SUCCESS;
}

// Adds `delta` to a user-reference counter within 0 .. kUrefsMax.
kern_return_t adjustRefs(std::atomic<std::uint32_t>& refs, mach_port_delta_t delta) {
  const std::int64_t next = static_cast<std::int64_t>(refs.load()) + delta;
  if (next < 0) return KERN_INVALID_VALUE;
  if (next > kUrefsMax) return KERN_UREFS_OVERFLOW;
  refs.store(static_cast<std::uint32_t>(next));
  return KERN_SUCCESS;
}

// --- receiving ------------------------------------------------------------------------------

constexpr mach_msg_return_t kNothingYet = -1;

// Takes the oldest message of `slot` into `msg` when it fits.
mach_msg_return_t takeMessage(PortSlot& slot, mach_msg_header_t* msg, mach_msg_option_t option,
                              mach_msg_size_t capacity) {
  lockReceive(slot);
  takeIncoming(slot);
  if (slot.pendingHead == 0) {
    unlockReceive(slot);
    return kNothingYet;
  }
  const mach_msg_size_t size = gMessages[slot.pendingHead - 1].size;
  if (size > capacity && (option & MACH_RCV_LARGE) != 0) {
    unlockReceive(slot);
    msg->msgh_size = size;
    return MACH_RCV_TOO_LARGE;
  }
  const std::uint32_t index = popPending(slot);
  unlockReceive(slot);
  if (size > capacity) {
    discardMessage(index);
    if (capacity >= sizeof(mach_msg_header_t)) msg->msgh_size = size;
    return MACH_RCV_TOO_LARGE;
  }
  std::memcpy(msg, gMessages[index].bytes, size);
  gMessages[index].sendOnceTo = MACH_PORT_NULL;  // the receiver holds it now
  returnMessageSlot(index);
  return MACH_MSG_SUCCESS;
}

mach_msg_return_t takeFromSet(std::uint32_t setIndex, mach_msg_header_t* msg, mach_msg_option_t option,
                              mach_msg_size_t capacity) {
  for (std::uint32_t index = 1; index < MACH_PORT_TABLE_SIZE; ++index) {
    PortSlot& member = gPorts[index];
    if (member.memberOf.load() != setIndex || kindOf(member.control.load()) != kPort) continue;
    const mach_msg_return_t result = takeMessage(member, msg, option, capacity);
    if (result != kNothingYet) return result;
  }
  return kNothingYet;
}

mach_msg_return_t receive(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t capacity,
                          mach_port_name_t name, mach_msg_timeout_t timeout) {
  std::uint32_t control = 0;
  PortSlot* slot = lookup(name, bit(kPort) | bit(kSet), &control);
  if (slot == nullptr) return MACH_RCV_INVALID_NAME;
  if (kindOf(control) == kPort && slot->memberOf.load() != 0) return MACH_RCV_IN_SET;
  slot->receiver.store(thread_self());

  const bool timed = (option & MACH_RCV_TIMEOUT) != 0;
  const std::int64_t deadline = monotonicMillis() + timeout;
  for (;;) {
    const std::uint32_t seen = slot->wakeups.load();
    if (slot->control.load() != control) return MACH_RCV_PORT_DIED;
    const mach_msg_return_t result = kindOf(control) == kSet
                                         ? takeFromSet(indexOf(name), msg, option, capacity)
                                         : takeMessage(*slot, msg, option, capacity);
    if (result != kNothingYet) return result;
    timespec limit{};
    const timespec* limitPointer = nullptr;
    if (timed) {
      const std::int64_t left = deadline - monotonicMillis();
      if (left <= 0) return MACH_RCV_TIMED_OUT;
      limit = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1'000'000};
      limitPointer = &limit;
    }
    futex(&slot->wakeups, FUTEX_WAIT_PRIVATE, seen, limitPointer);
  }
}

}  // namespace

// --- public calls -----------------------------------------------------------------------------

kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name) {
  if (task != task_self()) return KERN_INVALID_ARGUMENT;
  if (right != MACH_PORT_RIGHT_RECEIVE && right != MACH_PORT_RIGHT_PORT_SET) return KERN_INVALID_VALUE;
  std::uint32_t index = 0;
  std::uint32_t generation = 0;
  if (!claimSlot(&index, &generation)) return KERN_NO_SPACE;
  const std::uint32_t control = makeControl(generation, right == MACH_PORT_RIGHT_RECEIVE ? kPort : kSet);
  gPorts[index].control.store(control);
  *name = nameFor(index, control);
  return KERN_SUCCESS;
}

kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t disposition) {
  if (task != task_self() || name != poly) return KERN_INVALID_VALUE;
  std::lock_guard lock(gNameSpaceLock);
  PortSlot* slot = lookup(name, bit(kPort));
  if (slot == nullptr) return KERN_INVALID_NAME;
  switch (disposition) {
    case MACH_MSG_TYPE_MAKE_SEND:
      if (adjustRefs(slot->sendRefs, 1) != KERN_SUCCESS) return KERN_UREFS_OVERFLOW;
      slot->makeSendCount.fetch_add(1);
      return KERN_SUCCESS;
    case MACH_MSG_TYPE_COPY_SEND:
      if (slot->sendRefs.load() == 0) return KERN_INVALID_RIGHT;
      return adjustRefs(slot->sendRefs, 1);
    case MACH_MSG_TYPE_MAKE_SEND_ONCE:
      slot->sendOnceRights.fetch_add(1);
      return KERN_SUCCESS;
    default:
      return KERN_INVALID_VALUE;
  }
}

kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta) {
  if (task != task_self()) return KERN_INVALID_ARGUMENT;
  std::lock_guard lock(gNameSpaceLock);
  std::uint32_t control = 0;
  PortSlot* slot = lookup(name, kNamed, &control);
  if (slot == nullptr) return KERN_INVALID_NAME;
  const Kind kind = static_cast<Kind>(kindOf(control));
  switch (right) {
    case MACH_PORT_RIGHT_SEND: {
      if (kind != kPort || slot->sendRefs.load() == 0) return KERN_INVALID_RIGHT;
      const kern_return_t result = adjustRefs(slot->sendRefs, delta);
      if (result == KERN_SUCCESS) checkNoSenders(*slot);
      return result;
    }
    case MACH_PORT_RIGHT_DEAD_NAME: {
      if (kind != kDeadName) return KERN_INVALID_RIGHT;
      const kern_return_t result = adjustRefs(slot->sendRefs, delta);
      if (result == KERN_SUCCESS && slot->sendRefs.load() == 0) freeSlot(*slot);
      return result;
    }
    case MACH_PORT_RIGHT_SEND_ONCE:
      if (kind != kPort || slot->sendOnceRights.load() == 0) return KERN_INVALID_RIGHT;
      if (delta == 0) return KERN_SUCCESS;
      if (delta != -1) return KERN_INVALID_VALUE;
      slot->sendOnceRights.fetch_sub(1);
      return KERN_SUCCESS;
    case MACH_PORT_RIGHT_RECEIVE:
      if (kind != kPort) return KERN_INVALID_RIGHT;
      if (delta == 0) return KERN_SUCCESS;
      return delta == -1 ? destroyPort(*slot, control) : KERN_INVALID_VALUE;
    case MACH_PORT_RIGHT_PORT_SET:
      if (kind != kSet) return KERN_INVALID_RIGHT;
      if (delta == 0) return KERN_SUCCESS;
      return delta == -1 ? destroySet(indexOf(name), *slot, control) : KERN_INVALID_VALUE;
    default:
      return KERN_INVALID_VALUE;
  }
}

kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name) {
  if (task != task_self()) return KERN_INVALID_ARGUMENT;
  std::uint32_t control = 0;
  PortSlot* slot = lookup(name, kNamed, &control);
  if (slot == nullptr) return KERN_INVALID_NAME;
  if (kindOf(control) == kDeadName) return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_DEAD_NAME, -1);
  if (kindOf(control) == kPort && slot->sendRefs.load() != 0) {
    return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_SEND, -1);
  }
  if (kindOf(control) == kPort && slot->sendOnceRights.load() != 0) {
    return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_SEND_ONCE, -1);
  }
  return KERN_INVALID_RIGHT;
}

kern_return_t mach_port_destroy(task_t task, mach_port_name_t name) {
  if (task != task_self()) return KERN_INVALID_ARGUMENT;
  std::uint32_t control = 0;
  PortSlot* slot = lookup(name, kNamed, &control);
  if (slot == nullptr) return KERN_INVALID_NAME;
  switch (kindOf(control)) {
    case kPort:
      // The send rights go with the receive right: the name is freed, not left dead.
      slot->sendRefs.store(0);
      return destroyPort(*slot, control);
    case kSet:
      return destroySet(indexOf(name), *slot, control);
    default:
      slot->sendRefs.store(0);
      freeSlot(*slot);
      return KERN_SUCCESS;
  }
}

kern_return_t mach_port_move_member(task_t task, mach_port_name_t member, mach_port_name_t after) {
  if (task != task_self()) return KERN_INVALID_ARGUMENT;
  std::lock_guard lock(gNameSpaceLock);
  PortSlot* port = lookup(member, kNamed);
  if (port == nullptr) return KERN_INVALID_NAME;
  if (lookup(member, bit(kPort)) == nullptr) return KERN_INVALID_RIGHT;
  std::uint32_t setIndex = 0;
  if (after != MACH_PORT_NULL) {
    if (lookup(after, kNamed) == nullptr) return KERN_INVALID_NAME;
    if (lookup(after, bit(kSet)) == nullptr) return KERN_INVALID_RIGHT;
    setIndex = indexOf(after);
  }
  const std::uint32_t before = port->memberOf.exchange(setIndex);
  // Receivers of either set look again: a waiting one may now have messages to take.
  if (before != 0) wake(gPorts[before]);
  if (setIndex != 0) wake(gPorts[setIndex]);
  return KERN_SUCCESS;
}

kern_return_t mach_port_request_notification(task_t task, mach_port_name_t name, mach_msg_id_t variant,
                                             mach_port_mscount_t sync, mach_port_t notify,
                                             mach_msg_type_name_t notifyDisposition, mach_port_t* previous) {
  if (task != task_self()) return KERN_INVALID_ARGUMENT;
  if (variant != MACH_NOTIFY_NO_SENDERS) return KERN_INVALID_VALUE;
  std::lock_guard lock(gNameSpaceLock);
  PortSlot* slot = lookup(name, bit(kPort));
  if (slot == nullptr) return KERN_INVALID_NAME;
  if (notify != MACH_PORT_NULL) {
    if (notifyDisposition != MACH_MSG_TYPE_MAKE_SEND_ONCE) return KERN_INVALID_VALUE;
    PortSlot* notifySlot = lookup(notify, bit(kPort));
    if (notifySlot == nullptr) return KERN_INVALID_CAPABILITY;
    notifySlot->sendOnceRights.fetch_add(1);  // used up by the notification
  }
  slot->noSendersSync = sync;
  const mach_port_t replaced = slot->noSendersNotify.exchange(notify);
  if (previous != nullptr) *previous = replaced;
  if (notify != MACH_PORT_NULL && sync != 0) checkNoSenders(*slot);
  return KERN_SUCCESS;
}

kern_return_t mach_port_get_refs(task_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_mscount_t* refs) {
  if (task != task_self()) return KERN_INVALID_ARGUMENT;
  std::uint32_t control = 0;
  PortSlot* slot = lookup(name, kNamed, &control);
  if (slot == nullptr) return KERN_INVALID_NAME;
  const std::uint32_t kind = kindOf(control);
  switch (right) {
    case MACH_PORT_RIGHT_SEND: *refs = kind == kPort ? slot->sendRefs.load() : 0; return KERN_SUCCESS;
    case MACH_PORT_RIGHT_RECEIVE: *refs = kind == kPort ? 1 : 0; return KERN_SUCCESS;
    case MACH_PORT_RIGHT_SEND_ONCE: *refs = kind == kPort ? slot->sendOnceRights.load() : 0; return KERN_SUCCESS;
    case MACH_PORT_RIGHT_PORT_SET: *refs = kind == kSet ? 1 : 0; return KERN_SUCCESS;
    case MACH_PORT_RIGHT_DEAD_NAME: *refs = kind == kDeadName ? slot->sendRefs.load() : 0; return KERN_SUCCESS;
    default: return KERN_INVALID_VALUE;
  }
}

mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t sendSize,
                           mach_msg_size_t receiveSize, mach_port_name_t receiveName,
                           mach_msg_timeout_t timeout, mach_port_name_t) {
  if ((option & MACH_SEND_MSG) != 0) {
    const mach_msg_return_t sent = send(msg, sendSize, false);
    if (sent != MACH_MSG_SUCCESS) return sent;
  }
  if ((option & MACH_RCV_MSG) != 0) return receive(msg, option, receiveSize, receiveName, timeout);
  return MACH_MSG_SUCCESS;
}

bool mach_port_has_other_receiver(mach_port_name_t name) {
  PortSlot* slot = lookup(name, bit(kPort));
  if (slot == nullptr) return false;
  const std::uint32_t set = slot->memberOf.load();
  const thread_t receiver = (set != 0 ? gPorts[set] : *slot).receiver.load();
  return receiver != 0 && receiver != thread_self() && thread_alive(receiver);
}

mach_msg_return_t mach_msg_send_from_kernel(mach_msg_header_t* msg, mach_msg_size_t sendSize) {
  return send(msg, sendSize, true);
}

bool mach_port_kernel_retain_send(mach_port_t name) {
  std::lock_guard lock(gNameSpaceLock);
  PortSlot* slot = lookup(name, bit(kPort));
  if (slot == nullptr) return false;
  slot->kernelSendRights.fetch_add(1);
  return true;
}

void mach_port_kernel_release_send(mach_port_t name) {
  std::lock_guard lock(gNameSpaceLock);
  PortSlot* slot = lookup(name, bit(kPort) | bit(kDeadName) | bit(kDying));
  if (slot == nullptr) return;
  std::uint32_t count = slot->kernelSendRights.load();
  while (count > 0 && !slot->kernelSendRights.compare_exchange_weak(count, count - 1)) {
  }
  if (count > 0) checkNoSenders(*slot);
}

mach_port_t mach_port_kernel_copyout_send(mach_port_t name) {
  if (name == MACH_PORT_NULL) return MACH_PORT_NULL;
  std::lock_guard lock(gNameSpaceLock);
  PortSlot* slot = lookup(name, bit(kPort));
  if (slot == nullptr || adjustRefs(slot->sendRefs, 1) != KERN_SUCCESS) return MACH_PORT_DEAD;
  return name;
}

}  // namespace kernel
