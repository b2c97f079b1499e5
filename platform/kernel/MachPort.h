#pragma once
// Message ports for the crash engine: the queues through which a faulting thread hands its
// exception to a server thread and waits for the answer, and through which that server is told to
// stop. This system has no kernel message ports; these live inside the process.
//
// What there is: one name space (the process's own), ports with a receive right, send rights with
// user references, send-once rights, port sets that receive from all their members, messages of
// up to MACH_MSG_SIZE_MAX bytes queued first in first out, reception that waits without a time
// limit or with one, MACH_RCV_LARGE, and two notifications: no-senders (requested per port) and
// send-once (sent to a reply port whose pending request was thrown away unanswered, so a waiter
// never waits in vain). A message's header is rewritten on delivery as the receiver expects:
// the remote field names the reply port, the local field the port it arrived on.
//
// What is left out: other tasks' name spaces, moving receive rights, send rights carried in
// messages (a reply port may carry a send-once right only), out-of-line memory, port descriptors
// (their bytes are delivered as they stand), queue limits (a send never blocks: it fails with
// MACH_SEND_NO_BUFFER when the process-wide message pool is full), vouchers, and the notifications
// other than the two above.
//
// Crash path: allocating a port, making a send-once right, sending, receiving on a port nobody
// else receives on, and destroying that port take no lock and allocate nothing; they may run in a
// signal handler. The other calls (rights, sets, notifications) serialise on a lock and are for
// healthy code. Ports and messages come from fixed process-wide tables (MACH_PORT_TABLE_SIZE ports,
// MACH_MSG_POOL_SIZE queued messages).
#include <cstdint>

#include "platform/kernel/KernelTypes.h"

namespace kernel {

using mach_port_t = std::uint32_t;
using mach_port_name_t = std::uint32_t;
using mach_port_right_t = std::uint32_t;
using mach_port_delta_t = std::int32_t;
using mach_port_mscount_t = std::uint32_t;
using mach_msg_return_t = kern_return_t;
using mach_msg_bits_t = std::uint32_t;
using mach_msg_size_t = std::uint32_t;
using mach_msg_id_t = std::int32_t;
using mach_msg_option_t = std::int32_t;
using mach_msg_timeout_t = std::uint32_t;  // milliseconds
using mach_msg_type_name_t = std::uint32_t;
using mach_msg_type_number_t = std::uint32_t;
using natural_t = std::uint32_t;

inline constexpr mach_port_t MACH_PORT_NULL = 0;
inline constexpr mach_port_t MACH_PORT_DEAD = ~0u;
constexpr bool MACH_PORT_VALID(mach_port_t name) { return name != MACH_PORT_NULL && name != MACH_PORT_DEAD; }

inline constexpr std::uint32_t MACH_PORT_TABLE_SIZE = 512;
inline constexpr std::uint32_t MACH_MSG_POOL_SIZE = 64;
inline constexpr mach_msg_size_t MACH_MSG_SIZE_MAX = 16384;

// Rights, as mach_port_allocate and mach_port_mod_refs name them.
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND = 0;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_RECEIVE = 1;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_SEND_ONCE = 2;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_PORT_SET = 3;
inline constexpr mach_port_right_t MACH_PORT_RIGHT_DEAD_NAME = 4;

// Dispositions: what a message or mach_port_insert_right does with a right.
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_RECEIVE = 16;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND = 17;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MOVE_SEND_ONCE = 18;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_COPY_SEND = 19;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND = 20;
inline constexpr mach_msg_type_name_t MACH_MSG_TYPE_MAKE_SEND_ONCE = 21;

// Header bits: the remote (destination) disposition in bits 0-4, the local (reply) one in 8-12.
inline constexpr mach_msg_bits_t MACH_MSGH_BITS_COMPLEX = 0x80000000u;
constexpr mach_msg_bits_t MACH_MSGH_BITS(mach_msg_type_name_t remote, mach_msg_type_name_t local) {
  return remote | (local << 8);
}
constexpr mach_msg_type_name_t MACH_MSGH_BITS_REMOTE(mach_msg_bits_t bits) { return bits & 0x1F; }
constexpr mach_msg_type_name_t MACH_MSGH_BITS_LOCAL(mach_msg_bits_t bits) { return (bits >> 8) & 0x1F; }

// mach_msg options.
inline constexpr mach_msg_option_t MACH_MSG_OPTION_NONE = 0;
inline constexpr mach_msg_option_t MACH_SEND_MSG = 0x1;
inline constexpr mach_msg_option_t MACH_RCV_MSG = 0x2;
inline constexpr mach_msg_option_t MACH_RCV_LARGE = 0x4;
inline constexpr mach_msg_option_t MACH_RCV_TIMEOUT = 0x100;
inline constexpr mach_msg_timeout_t MACH_MSG_TIMEOUT_NONE = 0;

// mach_msg results.
inline constexpr mach_msg_return_t MACH_MSG_SUCCESS = 0;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_DEST = 0x10000003;
inline constexpr mach_msg_return_t MACH_SEND_MSG_TOO_SMALL = 0x10000008;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_REPLY = 0x10000009;
inline constexpr mach_msg_return_t MACH_SEND_INVALID_RIGHT = 0x1000000a;
inline constexpr mach_msg_return_t MACH_SEND_NO_BUFFER = 0x1000000d;
inline constexpr mach_msg_return_t MACH_SEND_TOO_LARGE = 0x1000000e;
inline constexpr mach_msg_return_t MACH_RCV_INVALID_NAME = 0x10004002;
inline constexpr mach_msg_return_t MACH_RCV_TIMED_OUT = 0x10004003;
inline constexpr mach_msg_return_t MACH_RCV_TOO_LARGE = 0x10004004;
inline constexpr mach_msg_return_t MACH_RCV_PORT_DIED = 0x10004009;
inline constexpr mach_msg_return_t MACH_RCV_IN_SET = 0x1000400a;

// Results of the port calls, beside those of KernelTypes.h.
inline constexpr kern_return_t KERN_NO_SPACE = 3;
inline constexpr kern_return_t KERN_INVALID_NAME = 15;
inline constexpr kern_return_t KERN_INVALID_RIGHT = 17;
inline constexpr kern_return_t KERN_INVALID_VALUE = 18;
inline constexpr kern_return_t KERN_UREFS_OVERFLOW = 19;
inline constexpr kern_return_t KERN_INVALID_CAPABILITY = 20;

// Notification ids, and the variant mach_port_request_notification takes.
inline constexpr mach_msg_id_t MACH_NOTIFY_NO_SENDERS = 70;
inline constexpr mach_msg_id_t MACH_NOTIFY_SEND_ONCE = 71;

struct mach_msg_header_t {
  mach_msg_bits_t msgh_bits;
  mach_msg_size_t msgh_size;
  mach_port_t msgh_remote_port;
  mach_port_t msgh_local_port;
  mach_port_name_t msgh_voucher_port;
  mach_msg_id_t msgh_id;
};
static_assert(sizeof(mach_msg_header_t) == 24);

// The no-senders notification as delivered: the header (local port: the notify port; id
// MACH_NOTIFY_NO_SENDERS), the NDR record, then the make-send count of the port that lost its
// senders.
struct mach_no_senders_notification_t {
  mach_msg_header_t not_header;
  std::uint8_t NDR[8];
  mach_port_mscount_t not_count;
};

// Creates a right of `right` kind (RECEIVE: a new port; PORT_SET: a new empty set) for `task`,
// which must be the calling process, and writes its name to `*name`. Returns KERN_SUCCESS;
// KERN_INVALID_VALUE for another right; KERN_INVALID_ARGUMENT for another task; KERN_NO_SPACE when
// the table is full. Crash-path safe.
kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name);

// Gives `name` a right on the port `poly` names (the same name here): MAKE_SEND adds a send user
// reference and counts a make-send; COPY_SEND adds one to a name that has a send right. Returns
// KERN_SUCCESS; KERN_INVALID_NAME for a name that is not a live port; KERN_INVALID_RIGHT when the
// needed right is missing; KERN_INVALID_VALUE for another disposition or when `name` != `poly`.
kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t disposition);

// Adds `delta` to the user references of `right` on `name`. SEND: a live port's send references
// (at 0 the port may send its no-senders notification); RECEIVE: -1 destroys the port, 0 is a
// no-op; PORT_SET: -1 destroys the set; DEAD_NAME: references of a name whose port died.
// Returns KERN_SUCCESS; KERN_INVALID_NAME; KERN_INVALID_RIGHT when the name lacks the right (send
// references on a dead port are dead-name references); KERN_INVALID_VALUE when the count would
// fall below 0 or `delta` is out of range for the right; KERN_UREFS_OVERFLOW.
kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta);

// Drops one send, send-once or dead-name reference of `name`. KERN_SUCCESS, or KERN_INVALID_RIGHT
// when the name has none of those, KERN_INVALID_NAME when it names nothing.
kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name);

// Removes every right `name` has: a port dies (its queued messages are thrown away, senders
// then fail, receivers wake with MACH_RCV_PORT_DIED), a set is dissolved, a dead name freed.
// Crash-path safe for a port whose receiver is the caller. KERN_SUCCESS or KERN_INVALID_NAME.
kern_return_t mach_port_destroy(task_t task, mach_port_name_t name);

// Puts the port `member` into the set `after` (or takes it out of any set when `after` is
// MACH_PORT_NULL). Returns KERN_SUCCESS; KERN_INVALID_NAME; KERN_INVALID_RIGHT when `member` is
// not a port or `after` not a set.
kern_return_t mach_port_move_member(task_t task, mach_port_name_t member, mach_port_name_t after);

// Asks for a MACH_NOTIFY_NO_SENDERS message to `notify` (with MAKE_SEND_ONCE: a port of ours) once
// `name` has no send rights left and has made at least `sync` of them; sent at once when that
// already holds. One request per port; `*previous` gets the notify port it replaced, or
// MACH_PORT_NULL. Returns KERN_SUCCESS; KERN_INVALID_NAME; KERN_INVALID_VALUE for another variant
// or disposition; KERN_INVALID_CAPABILITY when `notify` is not a live port.
kern_return_t mach_port_request_notification(task_t task, mach_port_name_t name, mach_msg_id_t variant,
                                             mach_port_mscount_t sync, mach_port_t notify,
                                             mach_msg_type_name_t notifyDisposition, mach_port_t* previous);

// The user references `name` holds of `right`, into `*refs`. KERN_SUCCESS, KERN_INVALID_NAME, or
// KERN_INVALID_VALUE for an unknown right. For tests and diagnostics.
kern_return_t mach_port_get_refs(task_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_mscount_t* refs);

// Sends and/or receives. With MACH_SEND_MSG: sends the first `sendSize` bytes of `msg` to its
// remote port, using the remote disposition (COPY_SEND or MOVE_SEND need a send right,
// MOVE_SEND_ONCE consumes a send-once right, MAKE_SEND and MAKE_SEND_ONCE a port of ours) and the
// local one (none, MAKE_SEND_ONCE or MOVE_SEND_ONCE) for the reply port. With MACH_RCV_MSG: waits
// on the port or set `receiveName` for the next message and copies it to `msg` when it fits in
// `receiveSize` bytes. A message that does not fit stays queued with MACH_RCV_LARGE (its size
// written to msg->msgh_size) or is thrown away without it; MACH_RCV_TOO_LARGE either way.
// MACH_RCV_TIMEOUT limits the wait to `timeout` milliseconds (MACH_RCV_TIMED_OUT).
// Returns MACH_MSG_SUCCESS or the first failure: the MACH_SEND_* codes above (nothing is sent),
// MACH_RCV_INVALID_NAME, MACH_RCV_IN_SET (the port is in a set: receive on the set),
// MACH_RCV_PORT_DIED, MACH_RCV_TIMED_OUT, MACH_RCV_TOO_LARGE. `notify` is unused.
// Crash-path safe (see the top of this file).
mach_msg_return_t mach_msg(mach_msg_header_t* msg, mach_msg_option_t option, mach_msg_size_t sendSize,
                           mach_msg_size_t receiveSize, mach_port_name_t receiveName,
                           mach_msg_timeout_t timeout, mach_port_name_t notify);

// Whether a thread that is still alive in this process has received on `name` (a port, or the
// set it belongs to), and that thread is not the caller. A message to a port without one would
// wait for ever; a thread that delivers its own fault there would wait for itself. Crash-path safe.
bool mach_port_has_other_receiver(mach_port_name_t name);

// For the kernel layer's own use, where it holds send rights outside the name space (exception
// port registrations):
// sends `msg` as mach_msg does, without asking the name space for the destination's send right;
mach_msg_return_t mach_msg_send_from_kernel(mach_msg_header_t* msg, mach_msg_size_t sendSize);
// takes a send right on the live port `name` for the kernel (false when it is not a live port);
bool mach_port_kernel_retain_send(mach_port_t name);
// gives one back (the port may then send its no-senders notification);
void mach_port_kernel_release_send(mach_port_t name);
// hands the caller a send user reference on `name`: returns `name`, MACH_PORT_DEAD when its port
// died, MACH_PORT_NULL for MACH_PORT_NULL.
mach_port_t mach_port_kernel_copyout_send(mach_port_t name);

}  // namespace kernel
