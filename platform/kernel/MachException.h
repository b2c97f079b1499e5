#pragma once
// Exception messages: the vocabulary of exceptions (types, masks, behaviors, codes), the raise
// routines that send an exception to a port and wait for the answer, and the decoding and
// encoding an exception server needs to read a request and answer it.
//
// A raise routine is a remote call over the ports of MachPort.h: it makes a reply port, sends the
// request with a send-once right to it, waits for the reply and destroys the reply port. Six forms
// exist: default, state and state-identity, each with 64-bit codes (mach_exception_raise*, codes
// flag set in the behavior) or 32-bit codes (exception_raise*). Their messages have the
// generated-stub layout that servers read at fixed offsets:
//
//   default:         header, body, thread and task port descriptors, NDR record, exception,
//                    code count, codes (the count of them)
//   state:           header, NDR record, exception, code count, codes, flavor, state count, state
//   state-identity:  header, body, thread and task descriptors, NDR record, exception, code count,
//                    codes, flavor, state count, state
//
// The reply is the header, the NDR record and the return code; the state forms add the flavor,
// the state count and the new state. A thread or task travels as its id in a port descriptor's
// name field: on this system they are not ports.
//
// Everything here allocates nothing and takes no lock: the raise routines run in signal handlers.
#include <cstdint>

#include "platform/kernel/MachPort.h"

namespace kernel {

using exception_type_t = int;
using exception_mask_t = std::uint32_t;
using exception_behavior_t = int;
using thread_state_flavor_t = int;
using exception_data_type_t = std::int32_t;
using mach_exception_data_type_t = std::int64_t;

inline constexpr exception_type_t EXC_BAD_ACCESS = 1;
inline constexpr exception_type_t EXC_BAD_INSTRUCTION = 2;
inline constexpr exception_type_t EXC_ARITHMETIC = 3;
inline constexpr exception_type_t EXC_EMULATION = 4;
inline constexpr exception_type_t EXC_SOFTWARE = 5;
inline constexpr exception_type_t EXC_BREAKPOINT = 6;
inline constexpr exception_type_t EXC_SYSCALL = 7;
inline constexpr exception_type_t EXC_MACH_SYSCALL = 8;
inline constexpr exception_type_t EXC_RPC_ALERT = 9;
inline constexpr exception_type_t EXC_CRASH = 10;
inline constexpr exception_type_t EXC_RESOURCE = 11;
inline constexpr exception_type_t EXC_GUARD = 12;
inline constexpr exception_type_t EXC_CORPSE_NOTIFY = 13;
inline constexpr std::uint32_t EXC_TYPES_COUNT = 14;

constexpr exception_mask_t exception_mask_of(exception_type_t type) { return 1u << type; }
inline constexpr exception_mask_t EXC_MASK_BAD_ACCESS = 1u << EXC_BAD_ACCESS;
inline constexpr exception_mask_t EXC_MASK_BAD_INSTRUCTION = 1u << EXC_BAD_INSTRUCTION;
inline constexpr exception_mask_t EXC_MASK_ARITHMETIC = 1u << EXC_ARITHMETIC;
inline constexpr exception_mask_t EXC_MASK_EMULATION = 1u << EXC_EMULATION;
inline constexpr exception_mask_t EXC_MASK_SOFTWARE = 1u << EXC_SOFTWARE;
inline constexpr exception_mask_t EXC_MASK_BREAKPOINT = 1u << EXC_BREAKPOINT;
inline constexpr exception_mask_t EXC_MASK_CRASH = 1u << EXC_CRASH;
inline constexpr exception_mask_t EXC_MASK_GUARD = 1u << EXC_GUARD;
// Every type that can be registered (1 to 13).
inline constexpr exception_mask_t EXC_MASK_VALID = 0x3FFE;

inline constexpr exception_behavior_t EXCEPTION_DEFAULT = 1;
inline constexpr exception_behavior_t EXCEPTION_STATE = 2;
inline constexpr exception_behavior_t EXCEPTION_STATE_IDENTITY = 3;
inline constexpr exception_behavior_t MACH_EXCEPTION_CODES = static_cast<exception_behavior_t>(0x80000000u);

// The flavor that carries no state; registrations with the default behavior may name it.
inline constexpr thread_state_flavor_t THREAD_STATE_NONE = 13;
// The largest thread state a message carries, in 32-bit words.
inline constexpr std::uint32_t THREAD_STATE_MAX = 614;

// codes[0] of the exceptions this system raises (codes[1] is the fault address, see ExceptionPorts.h).
inline constexpr kern_return_t KERN_MEMORY_ERROR = 10;                  // EXC_BAD_ACCESS: bus error
inline constexpr mach_exception_data_type_t EXC_I386_GPFLT = 13;        // EXC_BAD_ACCESS: protection
inline constexpr mach_exception_data_type_t EXC_I386_INVOP = 1;         // EXC_BAD_INSTRUCTION
inline constexpr mach_exception_data_type_t EXC_I386_DIV = 1;           // EXC_ARITHMETIC
inline constexpr mach_exception_data_type_t EXC_I386_INTO = 2;
inline constexpr mach_exception_data_type_t EXC_I386_SSEEXTERR = 8;
inline constexpr mach_exception_data_type_t EXC_I386_SGL = 1;           // EXC_BREAKPOINT
inline constexpr mach_exception_data_type_t EXC_I386_BPT = 2;
inline constexpr mach_exception_data_type_t EXC_UNIX_BAD_SYSCALL = 0x10000;  // EXC_SOFTWARE
inline constexpr mach_exception_data_type_t EXC_UNIX_BAD_PIPE = 0x10001;
inline constexpr mach_exception_data_type_t EXC_UNIX_ABORT = 0x10002;
inline constexpr mach_exception_data_type_t EXC_SOFT_SIGNAL = 0x10003;

// Request message ids; a reply's id is its request's + 100.
inline constexpr mach_msg_id_t EXCEPTION_RAISE_ID = 2401;
inline constexpr mach_msg_id_t EXCEPTION_RAISE_STATE_ID = 2402;
inline constexpr mach_msg_id_t EXCEPTION_RAISE_STATE_IDENTITY_ID = 2403;
inline constexpr mach_msg_id_t MACH_EXCEPTION_RAISE_ID = 2405;
inline constexpr mach_msg_id_t MACH_EXCEPTION_RAISE_STATE_ID = 2406;
inline constexpr mach_msg_id_t MACH_EXCEPTION_RAISE_STATE_IDENTITY_ID = 2407;

// Results of a remote call that got no proper answer.
inline constexpr kern_return_t MIG_REPLY_MISMATCH = -305;  // the reply was not for this request
inline constexpr kern_return_t MIG_ARRAY_TOO_LARGE = -307; // more codes or state than fit
inline constexpr kern_return_t MIG_SERVER_DIED = -308;     // the request was thrown away unanswered

#pragma pack(push, 4)
struct mach_msg_body_t {
  std::uint32_t msgh_descriptor_count;
};
struct mach_msg_port_descriptor_t {
  mach_port_t name;
  std::uint32_t pad1;
  std::uint16_t pad2;
  std::uint8_t disposition;
  std::uint8_t type;
};
struct NDR_record_t {
  std::uint8_t mig_vers, if_vers, reserved1, mig_encoding, int_rep, char_rep, float_rep, reserved2;
};
// The default request with 64-bit codes and both of them: the largest default form.
struct mach_exception_raise_request_t {
  mach_msg_header_t Head;
  mach_msg_body_t msgh_body;
  mach_msg_port_descriptor_t thread;
  mach_msg_port_descriptor_t task;
  NDR_record_t NDR;
  exception_type_t exception;
  mach_msg_type_number_t codeCnt;
  mach_exception_data_type_t code[2];
};
struct mach_exception_raise_reply_t {
  mach_msg_header_t Head;
  NDR_record_t NDR;
  kern_return_t RetCode;
};
#pragma pack(pop)
static_assert(sizeof(mach_exception_raise_request_t) == 84);
static_assert(sizeof(mach_exception_raise_reply_t) == 36);

// The record every message of this family carries after its descriptors.
extern const NDR_record_t NDR_record;

// The six raise routines. Each sends the exception to `port` (the caller needs a send right),
// waits for the answer and returns its return code; the state forms also hand back the
// receiver's new state in `newState` (at most `*newStateCnt` words; `*newStateCnt` and `*flavor`
// become what came back). `codeCnt` may be 0 to 2; `oldStateCnt` at most THREAD_STATE_MAX.
// Failures: MIG_ARRAY_TOO_LARGE for too many codes or too much state; the MACH_SEND_* code of a
// send that failed (nothing was sent); KERN_RESOURCE_SHORTAGE when no reply port is left;
// MIG_SERVER_DIED when the request was thrown away unanswered (its port died);
// MIG_REPLY_MISMATCH for a reply that does not belong to the request.
kern_return_t mach_exception_raise(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                                   const mach_exception_data_type_t* codes, mach_msg_type_number_t codeCnt);
kern_return_t mach_exception_raise_state(mach_port_t port, exception_type_t exception,
                                         const mach_exception_data_type_t* codes, mach_msg_type_number_t codeCnt,
                                         thread_state_flavor_t* flavor, const natural_t* oldState,
                                         mach_msg_type_number_t oldStateCnt, natural_t* newState,
                                         mach_msg_type_number_t* newStateCnt);
kern_return_t mach_exception_raise_state_identity(mach_port_t port, thread_t thread, task_t task,
                                                  exception_type_t exception,
                                                  const mach_exception_data_type_t* codes,
                                                  mach_msg_type_number_t codeCnt, thread_state_flavor_t* flavor,
                                                  const natural_t* oldState, mach_msg_type_number_t oldStateCnt,
                                                  natural_t* newState, mach_msg_type_number_t* newStateCnt);
kern_return_t exception_raise(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                              const exception_data_type_t* codes, mach_msg_type_number_t codeCnt);
kern_return_t exception_raise_state(mach_port_t port, exception_type_t exception, const exception_data_type_t* codes,
                                    mach_msg_type_number_t codeCnt, thread_state_flavor_t* flavor,
                                    const natural_t* oldState, mach_msg_type_number_t oldStateCnt,
                                    natural_t* newState, mach_msg_type_number_t* newStateCnt);
kern_return_t exception_raise_state_identity(mach_port_t port, thread_t thread, task_t task,
                                             exception_type_t exception, const exception_data_type_t* codes,
                                             mach_msg_type_number_t codeCnt, thread_state_flavor_t* flavor,
                                             const natural_t* oldState, mach_msg_type_number_t oldStateCnt,
                                             natural_t* newState, mach_msg_type_number_t* newStateCnt);

// Raises with the form `behavior` chooses (its codes flag: 64-bit or 32-bit codes, the low halves
// then), passing `state` of `flavor` to the state forms; the new state that comes back is
// dropped. Returns what the routine returns, or KERN_INVALID_ARGUMENT for another behavior.
// `kernelRight`: the send right is one the kernel layer holds (an exception-port registration),
// not one of the name space.
kern_return_t exception_raise_with_behavior(mach_port_t port, exception_behavior_t behavior,
                                            thread_state_flavor_t flavor, thread_t thread, task_t task,
                                            exception_type_t exception, const mach_exception_data_type_t* codes,
                                            mach_msg_type_number_t codeCnt, const natural_t* state,
                                            mach_msg_type_number_t stateCnt, bool kernelRight = false);

// An exception request of any of the six forms, decoded, with its codes widened to 64 bits.
struct exception_request {
  mach_msg_id_t id;
  exception_behavior_t behavior;  // EXCEPTION_DEFAULT, _STATE or _STATE_IDENTITY, with the codes flag
  thread_t thread;                // 0 for the state form, which names none
  task_t task;
  exception_type_t exception;
  mach_exception_data_type_t codes[2];
  mach_msg_type_number_t codeCnt;
  thread_state_flavor_t flavor;   // state forms only
  natural_t state[THREAD_STATE_MAX];
  mach_msg_type_number_t stateCnt;
};

// Decodes the received message `msg`. Returns false, leaving `*out` unspecified, for a message
// that is not an exception request or whose counts do not fit its size.
bool exception_request_decode(const mach_msg_header_t* msg, exception_request* out);

// Writes the reply to the received request `msg` (decoded as `request`) into `buffer` of
// `capacity` bytes: return code `result` and, for the state forms, `newState` of `newStateCnt`
// words in the request's flavor. Returns the reply's size, ready for mach_msg with MACH_SEND_MSG;
// 0 when it does not fit or `newStateCnt` exceeds THREAD_STATE_MAX.
mach_msg_size_t exception_reply_encode(const mach_msg_header_t* msg, const exception_request& request,
                                       kern_return_t result, const natural_t* newState,
                                       mach_msg_type_number_t newStateCnt, void* buffer,
                                       mach_msg_size_t capacity);

}  // namespace kernel
