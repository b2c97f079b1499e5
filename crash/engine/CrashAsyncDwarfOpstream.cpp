#include "crash/engine/CrashAsyncDwarfOpstream.h"

namespace crash::async {

crash_error_t dwarf_opstream::init(const crash_async_mobject* mobj, const crash_async_byteorder* byteorder,
                                   std::uint64_t address, std::uint64_t offset, std::uint64_t length) {
  std::uint64_t start = 0;
  if (__builtin_add_overflow(address, offset, &start)) {
    CRASH_ASYNC_LOG("Offset overflows base address");
    return CRASH_EINVAL;
  }
  std::uint64_t end = 0;
  if (static_cast<std::int64_t>(length) < 0 || __builtin_add_overflow(start, length, &end)) {
    CRASH_ASYNC_LOG("Length overflows base address");
    return CRASH_EINVAL;
  }
  // An empty range reads nothing, so it needs no bytes of the object.
  const void* local = length == 0 ? nullptr : crash_async_mobject_remap_address(mobj, start, 0, length);
  if (length != 0 && local == nullptr) {
    CRASH_ASYNC_LOG("Could not map the DWARF instructions; range falls outside mapped pages");
    return CRASH_EINVAL;
  }
  mobj_ = mobj;
  byteorder_ = byteorder;
  address_ = start;
  end_address_ = end;
  start_ = static_cast<const std::uint8_t*>(local);
  end_ = start_ + length;
  p_ = start_;
  return CRASH_ESUCCESS;
}

bool dwarf_opstream::read_uleb128(std::uint64_t* result) {
  std::uint64_t size = 0;
  const crash_error_t error = crash_async_dwarf_read_uleb128(mobj_, get_target_address(), 0, result, &size);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Read of ULEB128 value failed with %u", static_cast<unsigned>(error));
    return false;
  }
  if (size > remaining()) {
    CRASH_ASYNC_LOG("ULEB128 value extends past end of opstream");
    return false;
  }
  p_ += size;
  return true;
}

bool dwarf_opstream::read_sleb128(std::int64_t* result) {
  std::uint64_t size = 0;
  const crash_error_t error = crash_async_dwarf_read_sleb128(mobj_, get_target_address(), 0, result, &size);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Read of SLEB128 value failed with %u", static_cast<unsigned>(error));
    return false;
  }
  if (size > remaining()) {
    CRASH_ASYNC_LOG("SLEB128 value extends past end of opstream");
    return false;
  }
  p_ += size;
  return true;
}

template <typename machine_ptr>
bool dwarf_opstream::read_gnueh_ptr(const gnu_ehptr_reader<machine_ptr>* reader, DW_EH_PE_t encoding,
                                    machine_ptr* result) {
  std::uint64_t size = 0;
  const crash_error_t error = reader->read(mobj_, get_target_address(), 0, encoding, result, &size);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Read of GNU EH pointer value failed with %u", static_cast<unsigned>(error));
    return false;
  }
  if (static_cast<std::int64_t>(size) < 0) {
    CRASH_ASYNC_LOG("GNU EH pointer size exceeds our maximum supported offset size");
    return false;
  }
  if (size > remaining()) {
    CRASH_ASYNC_LOG("GNU EH pointer value extends past end of opstream");
    return false;
  }
  p_ += size;
  return true;
}

bool dwarf_opstream::skip(std::int64_t offset) {
  const std::int64_t position = static_cast<std::int64_t>(get_position());
  const std::int64_t length = end_ - start_;
  std::int64_t target = 0;
  if (__builtin_add_overflow(position, offset, &target) || target < 0 || target > length) return false;
  p_ = start_ + target;
  return true;
}

template bool dwarf_opstream::read_gnueh_ptr<std::uint32_t>(const gnu_ehptr_reader<std::uint32_t>*, DW_EH_PE_t,
                                                             std::uint32_t*);
template bool dwarf_opstream::read_gnueh_ptr<std::uint64_t>(const gnu_ehptr_reader<std::uint64_t>*, DW_EH_PE_t,
                                                             std::uint64_t*);

}  // namespace crash::async
