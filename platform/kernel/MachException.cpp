#include "platform/kernel/MachException.h"

#include <cstring>

namespace kernel {

// Little-endian, 32-bit integers, IEEE floats, ASCII characters.
const NDR_record_t NDR_record = {0, 0, 0, 0, 1, 0, 0, 0};

namespace {

enum class Form { kDefault = 0, kState = 1, kStateIdentity = 2 };

constexpr std::uint8_t kPortDescriptor = 0;
// The largest message of the family: the state-identity request with two 64-bit codes and a
// full state.
constexpr mach_msg_size_t kLargestMessage = 24 + 4 + 12 + 12 + 8 + 4 + 4 + 16 + 4 + 4 + THREAD_STATE_MAX * 4;
constexpr mach_msg_size_t kShortReply = sizeof(mach_exception_raise_reply_t);

bool carriesIdentity(Form form) { return form != Form::kState; }

mach_msg_id_t requestId(Form form, bool codes64) {
  return (codes64 ? MACH_EXCEPTION_RAISE_ID : EXCEPTION_RAISE_ID) + static_cast<int>(form);
}

// Appends fields to a message buffer; remembers when one did not fit.
class Writer {
 public:
  Writer(void* buffer, mach_msg_size_t capacity) : base_(static_cast<unsigned char*>(buffer)), capacity_(capacity) {}
  void bytes(const void* data, std::size_t length) {
    if (!fits_ || length > capacity_ - at_) {
      fits_ = false;
      return;
    }
    std::memcpy(base_ + at_, data, length);
    at_ += length;
  }
  template <typename T>
  void put(const T& value) {
    bytes(&value, sizeof value);
  }
  mach_msg_size_t size() const { return fits_ ? static_cast<mach_msg_size_t>(at_) : 0; }

 private:
  unsigned char* base_;
  mach_msg_size_t capacity_;
  mach_msg_size_t at_ = 0;
  bool fits_ = true;
};

// Reads fields of a received message; remembers when one ran past its end.
class Reader {
 public:
  Reader(const void* message, mach_msg_size_t size) : base_(static_cast<const unsigned char*>(message)), size_(size) {}
  template <typename T>
  T get() {
    T value{};
    bytes(&value, sizeof value);
    return value;
  }
  void bytes(void* out, std::size_t length) {
    if (!ok_ || length > size_ - at_) {
      ok_ = false;
      return;
    }
    std::memcpy(out, base_ + at_, length);
    at_ += length;
  }
  void skip(std::size_t length) {
    if (!ok_ || length > size_ - at_) {
      ok_ = false;
      return;
    }
    at_ += length;
  }
  bool ok() const { return ok_; }

 private:
  const unsigned char* base_;
  mach_msg_size_t size_;
  mach_msg_size_t at_ = 0;
  bool ok_ = true;
};

void putDescriptor(Writer& writer, std::uint32_t name) {
  mach_msg_port_descriptor_t descriptor{};
  descriptor.name = name;
  descriptor.disposition = static_cast<std::uint8_t>(MACH_MSG_TYPE_COPY_SEND);
  descriptor.type = kPortDescriptor;
  writer.put(descriptor);
}

void putCodes(Writer& writer, const mach_exception_data_type_t* codes, mach_msg_type_number_t count, bool codes64) {
  writer.put(count);
  for (mach_msg_type_number_t i = 0; i < count; ++i) {
    if (codes64) {
      writer.put(codes[i]);
    } else {
      writer.put(static_cast<exception_data_type_t>(codes[i]));
    }
  }
}

struct Raise {
  Form form;
  bool codes64;
  thread_t thread;
  task_t task;
  exception_type_t exception;
  const mach_exception_data_type_t* codes;
  mach_msg_type_number_t codeCnt;
  thread_state_flavor_t flavor;
  const natural_t* state;
  mach_msg_type_number_t stateCnt;
};

mach_msg_size_t encodeRequest(const Raise& raise, mach_port_t port, mach_port_t reply, void* buffer) {
  Writer writer(buffer, kLargestMessage);
  mach_msg_header_t header{};
  header.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE) |
                     (carriesIdentity(raise.form) ? MACH_MSGH_BITS_COMPLEX : 0);
  header.msgh_remote_port = port;
  header.msgh_local_port = reply;
  header.msgh_id = requestId(raise.form, raise.codes64);
  writer.put(header);
  if (carriesIdentity(raise.form)) {
    writer.put(mach_msg_body_t{2});
    putDescriptor(writer, static_cast<std::uint32_t>(raise.thread));
    putDescriptor(writer, static_cast<std::uint32_t>(raise.task));
  }
  writer.put(NDR_record);
  writer.put(raise.exception);
  putCodes(writer, raise.codes, raise.codeCnt, raise.codes64);
  if (raise.form != Form::kDefault) {
    writer.put(raise.flavor);
    writer.put(raise.stateCnt);
    writer.bytes(raise.state, raise.stateCnt * sizeof(natural_t));
  }
  const mach_msg_size_t size = writer.size();
  static_cast<mach_msg_header_t*>(buffer)->msgh_size = size;
  return size;
}

// Reads the reply in `buffer` to a request of `raise`'s form. The new state is copied when
// `newState` is given.
kern_return_t decodeReply(const Raise& raise, const void* buffer, thread_state_flavor_t* flavor,
                          natural_t* newState, mach_msg_type_number_t* newStateCnt) {
  const auto* header = static_cast<const mach_msg_header_t*>(buffer);
  if (header->msgh_id == MACH_NOTIFY_SEND_ONCE) return MIG_SERVER_DIED;
  if (header->msgh_id != requestId(raise.form, raise.codes64) + 100) return MIG_REPLY_MISMATCH;
  Reader reader(buffer, header->msgh_size);
  reader.skip(sizeof(mach_msg_header_t) + sizeof(NDR_record_t));
  const kern_return_t result = reader.get<kern_return_t>();
  if (!reader.ok()) return MIG_REPLY_MISMATCH;
  if (raise.form == Form::kDefault || result != KERN_SUCCESS) return result;

  const thread_state_flavor_t replyFlavor = reader.get<thread_state_flavor_t>();
  const mach_msg_type_number_t count = reader.get<mach_msg_type_number_t>();
  if (!reader.ok() || count > THREAD_STATE_MAX) return MIG_REPLY_MISMATCH;
  if (newState == nullptr) return result;
  if (count > *newStateCnt) return MIG_ARRAY_TOO_LARGE;
  reader.bytes(newState, count * sizeof(natural_t));
  if (!reader.ok()) return MIG_REPLY_MISMATCH;
  *flavor = replyFlavor;
  *newStateCnt = count;
  return result;
}

kern_return_t call(mach_port_t port, const Raise& raise, bool kernelRight, thread_state_flavor_t* flavor,
                   natural_t* newState, mach_msg_type_number_t* newStateCnt) {
  if (raise.codeCnt > 2 || raise.stateCnt > THREAD_STATE_MAX) return MIG_ARRAY_TOO_LARGE;
  mach_port_t reply = MACH_PORT_NULL;
  if (mach_port_allocate(task_self(), MACH_PORT_RIGHT_RECEIVE, &reply) != KERN_SUCCESS) return KERN_RESOURCE_SHORTAGE;

  alignas(8) unsigned char buffer[kLargestMessage];
  auto* header = reinterpret_cast<mach_msg_header_t*>(buffer);
  const mach_msg_size_t size = encodeRequest(raise, port, reply, buffer);
  mach_msg_return_t result = kernelRight ? mach_msg_send_from_kernel(header, size)
                                         : mach_msg(header, MACH_SEND_MSG, size, 0, MACH_PORT_NULL,
                                                    MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
  if (result == MACH_MSG_SUCCESS) {
    result = mach_msg(header, MACH_RCV_MSG, 0, sizeof buffer, reply, MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
  }
  mach_port_destroy(task_self(), reply);
  if (result != MACH_MSG_SUCCESS) return result;
  return decodeReply(raise, buffer, flavor, newState, newStateCnt);
}

// The 32-bit routines take their codes into the 64-bit form the encoder works on.
struct WideCodes {
  mach_exception_data_type_t values[2] = {};
  mach_msg_type_number_t count = 0;
  bool fits = true;
  WideCodes(const exception_data_type_t* codes, mach_msg_type_number_t codeCnt) : count(codeCnt) {
    fits = codeCnt <= 2;
    for (mach_msg_type_number_t i = 0; fits && i < codeCnt; ++i) values[i] = codes[i];
  }
};

}  // namespace

kern_return_t mach_exception_raise(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                                   const mach_exception_data_type_t* codes, mach_msg_type_number_t codeCnt) {
  const Raise raise{Form::kDefault, true, thread, task, exception, codes, codeCnt, 0, nullptr, 0};
  return call(port, raise, false, nullptr, nullptr, nullptr);
}

kern_return_t mach_exception_raise_state(mach_port_t port, exception_type_t exception,
                                         const mach_exception_data_type_t* codes, mach_msg_type_number_t codeCnt,
                                         thread_state_flavor_t* flavor, const natural_t* oldState,
                                         mach_msg_type_number_t oldStateCnt, natural_t* newState,
                                         mach_msg_type_number_t* newStateCnt) {
  const Raise raise{Form::kState, true, 0, 0, exception, codes, codeCnt, *flavor, oldState, oldStateCnt};
  return call(port, raise, false, flavor, newState, newStateCnt);
}

kern_return_t mach_exception_raise_state_identity(mach_port_t port, thread_t thread, task_t task,
                                                  exception_type_t exception,
                                                  const mach_exception_data_type_t* codes,
                                                  mach_msg_type_number_t codeCnt, thread_state_flavor_t* flavor,
                                                  const natural_t* oldState, mach_msg_type_number_t oldStateCnt,
                                                  natural_t* newState, mach_msg_type_number_t* newStateCnt) {
  const Raise raise{Form::kStateIdentity, true, thread, task, exception, codes, codeCnt, *flavor, oldState, oldStateCnt};
  return call(port, raise, false, flavor, newState, newStateCnt);
}

kern_return_t exception_raise(mach_port_t port, thread_t thread, task_t task, exception_type_t exception,
                              const exception_data_type_t* codes, mach_msg_type_number_t codeCnt) {
  const WideCodes wide(codes, codeCnt);
  if (!wide.fits) return MIG_ARRAY_TOO_LARGE;
  const Raise raise{Form::kDefault, false, thread, task, exception, wide.values, wide.count, 0, nullptr, 0};
  return call(port, raise, false, nullptr, nullptr, nullptr);
}

kern_return_t exception_raise_state(mach_port_t port, exception_type_t exception, const exception_data_type_t* codes,
                                    mach_msg_type_number_t codeCnt, thread_state_flavor_t* flavor,
                                    const natural_t* oldState, mach_msg_type_number_t oldStateCnt,
                                    natural_t* newState, mach_msg_type_number_t* newStateCnt) {
  const WideCodes wide(codes, codeCnt);
  if (!wide.fits) return MIG_ARRAY_TOO_LARGE;
  const Raise raise{Form::kState, false, 0, 0, exception, wide.values, wide.count, *flavor, oldState, oldStateCnt};
  return call(port, raise, false, flavor, newState, newStateCnt);
}

kern_return_t exception_raise_state_identity(mach_port_t port, thread_t thread, task_t task,
                                             exception_type_t exception, const exception_data_type_t* codes,
                                             mach_msg_type_number_t codeCnt, thread_state_flavor_t* flavor,
                                             const natural_t* oldState, mach_msg_type_number_t oldStateCnt,
                                             natural_t* newState, mach_msg_type_number_t* newStateCnt) {
  const WideCodes wide(codes, codeCnt);
  if (!wide.fits) return MIG_ARRAY_TOO_LARGE;
  const Raise raise{Form::kStateIdentity, false, thread, task, exception, wide.values, wide.count,
                    *flavor, oldState, oldStateCnt};
  return call(port, raise, false, flavor, newState, newStateCnt);
}

kern_return_t exception_raise_with_behavior(mach_port_t port, exception_behavior_t behavior,
                                            thread_state_flavor_t flavor, thread_t thread, task_t task,
                                            exception_type_t exception, const mach_exception_data_type_t* codes,
                                            mach_msg_type_number_t codeCnt, const natural_t* state,
                                            mach_msg_type_number_t stateCnt, bool kernelRight) {
  const bool codes64 = (behavior & MACH_EXCEPTION_CODES) != 0;
  Form form;
  switch (behavior & ~MACH_EXCEPTION_CODES) {
    case EXCEPTION_DEFAULT: form = Form::kDefault; break;
    case EXCEPTION_STATE: form = Form::kState; break;
    case EXCEPTION_STATE_IDENTITY: form = Form::kStateIdentity; break;
    default: return KERN_INVALID_ARGUMENT;
  }
  if (form == Form::kDefault) stateCnt = 0;
  const Raise raise{form, codes64, thread, task, exception, codes, codeCnt, flavor, state, stateCnt};
  return call(port, raise, kernelRight, nullptr, nullptr, nullptr);
}

bool exception_request_decode(const mach_msg_header_t* msg, exception_request* out) {
  const mach_msg_id_t id = msg->msgh_id;
  const bool codes64 = id >= MACH_EXCEPTION_RAISE_ID && id <= MACH_EXCEPTION_RAISE_STATE_IDENTITY_ID;
  const bool codes32 = id >= EXCEPTION_RAISE_ID && id <= EXCEPTION_RAISE_STATE_IDENTITY_ID;
  if (!codes64 && !codes32) return false;
  const auto form = static_cast<Form>(id - (codes64 ? MACH_EXCEPTION_RAISE_ID : EXCEPTION_RAISE_ID));

  Reader reader(msg, msg->msgh_size);
  reader.skip(sizeof(mach_msg_header_t));
  out->id = id;
  out->behavior = (EXCEPTION_DEFAULT + static_cast<int>(form)) | (codes64 ? MACH_EXCEPTION_CODES : 0);
  out->thread = 0;
  out->task = 0;
  if (carriesIdentity(form)) {
    reader.skip(sizeof(mach_msg_body_t));
    out->thread = static_cast<thread_t>(reader.get<mach_msg_port_descriptor_t>().name);
    out->task = static_cast<task_t>(reader.get<mach_msg_port_descriptor_t>().name);
  }
  reader.skip(sizeof(NDR_record_t));
  out->exception = reader.get<exception_type_t>();
  out->codeCnt = reader.get<mach_msg_type_number_t>();
  if (!reader.ok() || out->codeCnt > 2) return false;
  for (mach_msg_type_number_t i = 0; i < out->codeCnt; ++i) {
    out->codes[i] = codes64 ? reader.get<mach_exception_data_type_t>() : reader.get<exception_data_type_t>();
  }
  out->flavor = 0;
  out->stateCnt = 0;
  if (form != Form::kDefault) {
    out->flavor = reader.get<thread_state_flavor_t>();
    out->stateCnt = reader.get<mach_msg_type_number_t>();
    if (!reader.ok() || out->stateCnt > THREAD_STATE_MAX) return false;
    reader.bytes(out->state, out->stateCnt * sizeof(natural_t));
  }
  return reader.ok();
}

mach_msg_size_t exception_reply_encode(const mach_msg_header_t* msg, const exception_request& request,
                                       kern_return_t result, const natural_t* newState,
                                       mach_msg_type_number_t newStateCnt, void* buffer,
                                       mach_msg_size_t capacity) {
  if (newStateCnt > THREAD_STATE_MAX) return 0;
  Writer writer(buffer, capacity);
  mach_msg_header_t header{};
  header.msgh_bits = MACH_MSGH_BITS(MACH_MSGH_BITS_REMOTE(msg->msgh_bits), 0);
  header.msgh_remote_port = msg->msgh_remote_port;
  header.msgh_id = request.id + 100;
  writer.put(header);
  writer.put(NDR_record);
  writer.put(result);
  const bool stateForm = (request.behavior & ~MACH_EXCEPTION_CODES) != EXCEPTION_DEFAULT;
  if (stateForm && result == KERN_SUCCESS) {
    writer.put(request.flavor);
    writer.put(newStateCnt);
    writer.bytes(newState, newStateCnt * sizeof(natural_t));
  }
  const mach_msg_size_t size = writer.size();
  if (size >= kShortReply) static_cast<mach_msg_header_t*>(buffer)->msgh_size = size;
  return size;
}

}  // namespace kernel
