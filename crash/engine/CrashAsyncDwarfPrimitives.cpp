#include "crash/engine/CrashAsyncDwarfPrimitives.h"

namespace crash::async {

namespace {

// The LEB128 reader shared by both signs. `is_signed` extends the sign of the last byte.
crash_error_t readLeb128(const crash_async_mobject* mobj, std::uint64_t location, std::int64_t offset, bool is_signed,
                         std::uint64_t* result, std::uint64_t* size) {
  std::uint64_t value = 0;
  std::uint64_t shift = 0;
  std::uint64_t count = 0;
  while (true) {
    std::uint8_t byte = 0;
    std::int64_t at = 0;
    if (__builtin_add_overflow(offset, static_cast<std::int64_t>(count), &at) ||
        crash_async_mobject_read_uint8(mobj, location, at, &byte) != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("ULEB128 value did not terminate within mapped memory range");
      return CRASH_EINVAL;
    }
    ++count;
    value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    if ((byte & 0x80) == 0) {
      if (is_signed && shift + 7 < 64 && (byte & 0x40) != 0) value |= ~std::uint64_t{0} << (shift + 7);
      break;
    }
    shift += 7;
    if (shift >= 64) {
      CRASH_ASYNC_LOG("ULEB128 is larger than the maximum supported size of 64 bits");
      return CRASH_ENOTSUP;
    }
  }
  *result = value;
  *size = count;
  return CRASH_ESUCCESS;
}

crash_error_t readTaskLeb128(kernel::task_t task, std::uint64_t location, std::int64_t offset, bool is_signed,
                             std::uint64_t* result, std::uint64_t* size) {
  std::uint64_t address = 0;
  if (!crash_async_address_apply_offset(location, offset, &address)) {
    CRASH_ASYNC_LOG("Applying the  offset of 0x%lld to base address %llx exceeds CRASH_VM_ADDRESS_MAX",
                    static_cast<long long>(offset), static_cast<unsigned long long>(location));
    return CRASH_EINVAL;
  }
  crash_async_mobject page;
  const crash_error_t mapped = crash_async_mobject_init(&page, task, address, 4096, false);
  if (mapped != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to map uleb128 page");
    return mapped;
  }
  const crash_error_t error = readLeb128(&page, address, 0, is_signed, result, size);
  crash_async_mobject_free(&page);
  return error;
}

}  // namespace

crash_error_t crash_async_dwarf_read_uleb128(const crash_async_mobject* mobj, std::uint64_t location,
                                             std::int64_t offset, std::uint64_t* result, std::uint64_t* size) {
  return readLeb128(mobj, location, offset, false, result, size);
}

crash_error_t crash_async_dwarf_read_sleb128(const crash_async_mobject* mobj, std::uint64_t location,
                                             std::int64_t offset, std::int64_t* result, std::uint64_t* size) {
  std::uint64_t value = 0;
  const crash_error_t error = readLeb128(mobj, location, offset, true, &value, size);
  if (error == CRASH_ESUCCESS) *result = static_cast<std::int64_t>(value);
  return error;
}

crash_error_t crash_async_dwarf_read_task_uleb128(kernel::task_t task, std::uint64_t location, std::int64_t offset,
                                                  std::uint64_t* result, std::uint64_t* size) {
  return readTaskLeb128(task, location, offset, false, result, size);
}

crash_error_t crash_async_dwarf_read_task_sleb128(kernel::task_t task, std::uint64_t location, std::int64_t offset,
                                                  std::int64_t* result, std::uint64_t* size) {
  std::uint64_t value = 0;
  const crash_error_t error = readTaskLeb128(task, location, offset, true, &value, size);
  if (error == CRASH_ESUCCESS) *result = static_cast<std::int64_t>(value);
  return error;
}

crash_error_t crash_async_dwarf_read_uintmax64(const crash_async_mobject* mobj, const crash_async_byteorder* byteorder,
                                               std::uint64_t location, std::int64_t offset, std::uint8_t width,
                                               std::uint64_t* result) {
  crash_error_t error = CRASH_EINVAL;
  switch (width) {
    case 1: {
      std::uint8_t value = 0;
      error = crash_async_mobject_read_uint8(mobj, location, offset, &value);
      *result = value;
      break;
    }
    case 2: {
      std::uint16_t value = 0;
      error = crash_async_mobject_read_uint16(mobj, byteorder, location, offset, &value);
      *result = value;
      break;
    }
    case 4: {
      std::uint32_t value = 0;
      error = crash_async_mobject_read_uint32(mobj, byteorder, location, offset, &value);
      *result = value;
      break;
    }
    case 8:
      error = crash_async_mobject_read_uint64(mobj, byteorder, location, offset, result);
      break;
    default:
      CRASH_ASYNC_LOG("Unhandled data width %llu", static_cast<unsigned long long>(width));
      return CRASH_EINVAL;
  }
  return error;
}

template <typename machine_ptr>
gnu_ehptr_reader<machine_ptr>::gnu_ehptr_reader(const crash_async_byteorder* byteorder)
    : byteorder_(byteorder),
      frame_section_{false, 0},
      frame_section_vm_addr_(0),
      text_{false, 0},
      data_{false, 0},
      func_{false, 0} {}

template <typename machine_ptr>
void gnu_ehptr_reader<machine_ptr>::set_frame_section_base(machine_ptr frame_section_addr,
                                                           machine_ptr frame_section_vm_addr) {
  frame_section_ = {true, frame_section_addr};
  frame_section_vm_addr_ = frame_section_vm_addr;
}

template <typename machine_ptr>
void gnu_ehptr_reader<machine_ptr>::set_text_base(machine_ptr text_addr) {
  text_ = {true, text_addr};
}

template <typename machine_ptr>
void gnu_ehptr_reader<machine_ptr>::set_data_base(machine_ptr data_addr) {
  data_ = {true, data_addr};
}

template <typename machine_ptr>
void gnu_ehptr_reader<machine_ptr>::set_func_base(machine_ptr func_addr) {
  func_ = {true, func_addr};
}

template <typename machine_ptr>
crash_error_t gnu_ehptr_reader<machine_ptr>::read(const crash_async_mobject* mobj, std::uint64_t location,
                                                  std::int64_t offset, DW_EH_PE_t encoding, machine_ptr* result,
                                                  std::uint64_t* size) const {
  if (encoding == DW_EH_PE_omit) {
    CRASH_ASYNC_LOG("Skipping decoding of DW_EH_PE_omit pointer");
    return CRASH_ENOTFOUND;
  }
  constexpr std::uint64_t kWord = sizeof(machine_ptr);
  const machine_ptr here = static_cast<machine_ptr>(location + static_cast<std::uint64_t>(offset));
  machine_ptr base = 0;
  std::uint64_t padding = 0;
  switch (encoding & 0x70) {
    case DW_EH_PE_absptr:
      break;
    case DW_EH_PE_pcrel:
      base = here;
      break;
    case DW_EH_PE_textrel:
      if (!text_.valid) {
        CRASH_ASYNC_LOG("Cannot decode DW_EH_PE_textrel value with CRASH_ASYNC_DWARF_INVALID_BASE_ADDR text_addr");
        return CRASH_ENOTSUP;
      }
      base = text_.address;
      break;
    case DW_EH_PE_datarel:
      if (!data_.valid) {
        CRASH_ASYNC_LOG("Cannot decode DW_EH_PE_datarel value with CRASH_ASYNC_DWARF_INVALID_BASE_ADDR data_base");
        return CRASH_ENOTSUP;
      }
      base = data_.address;
      break;
    case DW_EH_PE_funcrel:
      if (!func_.valid) {
        CRASH_ASYNC_LOG("Cannot decode DW_EH_PE_funcrel value with CRASH_ASYNC_DWARF_INVALID_BASE_ADDR func_base");
        return CRASH_ENOTSUP;
      }
      base = func_.address;
      break;
    case DW_EH_PE_aligned: {
      if (!frame_section_.valid) {
        CRASH_ASYNC_LOG("Cannot decode DW_EH_PE_aligned value without a valid frame section base configured");
        return CRASH_ENOTSUP;
      }
      const machine_ptr vm = static_cast<machine_ptr>(frame_section_vm_addr_ + (here - frame_section_.address));
      padding = (kWord - vm % kWord) % kWord;
      break;
    }
    default:
      CRASH_ASYNC_LOG("Unsupported pointer base encoding of 0x%x", encoding);
      return CRASH_ENOTSUP;
  }

  const std::int64_t at = offset + static_cast<std::int64_t>(padding);
  std::uint64_t value = 0;
  std::uint64_t length = 0;
  crash_error_t error = CRASH_ESUCCESS;
  const char* failure = nullptr;
  switch (encoding & 0x0f) {
    case DW_EH_PE_absptr:
      error = crash_async_dwarf_read_uintmax64(mobj, byteorder_, location, at, kWord, &value);
      length = kWord;
      failure = "Failed to read value at 0x%llx";
      break;
    case DW_EH_PE_uleb128:
      error = crash_async_dwarf_read_uleb128(mobj, location, at, &value, &length);
      failure = "Failed to read uleb128 value at 0x%llx";
      break;
    case DW_EH_PE_udata2:
      error = crash_async_dwarf_read_uintmax64(mobj, byteorder_, location, at, 2, &value);
      length = 2;
      failure = "Failed to read udata2 value at 0x%llx";
      break;
    case DW_EH_PE_udata4:
      error = crash_async_dwarf_read_uintmax64(mobj, byteorder_, location, at, 4, &value);
      length = 4;
      failure = "Failed to read udata4 value at 0x%llx";
      break;
    case DW_EH_PE_udata8:
      error = crash_async_dwarf_read_uintmax64(mobj, byteorder_, location, at, 8, &value);
      length = 8;
      failure = "Failed to read udata8 value at 0x%llx";
      break;
    case DW_EH_PE_sleb128: {
      std::int64_t signed_value = 0;
      error = crash_async_dwarf_read_sleb128(mobj, location, at, &signed_value, &length);
      value = static_cast<std::uint64_t>(signed_value);
      failure = "Failed to read sleb128 value at 0x%llx";
      break;
    }
    case DW_EH_PE_sdata2:
      error = crash_async_dwarf_read_uintmax64(mobj, byteorder_, location, at, 2, &value);
      value = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int16_t>(value)));
      length = 2;
      failure = "Failed to read sdata2 value at 0x%llx";
      break;
    case DW_EH_PE_sdata4:
      error = crash_async_dwarf_read_uintmax64(mobj, byteorder_, location, at, 4, &value);
      value = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(value)));
      length = 4;
      failure = "Failed to read sdata4 value at 0x%llx";
      break;
    case DW_EH_PE_sdata8:
      error = crash_async_dwarf_read_uintmax64(mobj, byteorder_, location, at, 8, &value);
      length = 8;
      failure = "Failed to read sdata8 value at 0x%llx";
      break;
    default:
      CRASH_ASYNC_LOG("Unknown pointer encoding of type 0x%x", encoding & 0x0f);
      return CRASH_ENOTSUP;
  }
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG(failure, static_cast<unsigned long long>(location));
    return error;
  }

  machine_ptr pointer = static_cast<machine_ptr>(base + static_cast<machine_ptr>(value));
  if ((encoding & DW_EH_PE_indirect) != 0) {
    machine_ptr target = 0;
    error = crash_async_task_memcpy(crash_async_mobject_task(mobj), pointer, 0, &target, sizeof target);
    if (error != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("Failed to read indirect pointer value at 0x%llx", static_cast<unsigned long long>(pointer));
      return error;
    }
    pointer = sizeof target == 8 ? static_cast<machine_ptr>(byteorder_->swap64(target))
                                 : static_cast<machine_ptr>(byteorder_->swap32(static_cast<std::uint32_t>(target)));
  }
  *result = pointer;
  *size = padding + length;
  return CRASH_ESUCCESS;
}

template class gnu_ehptr_reader<std::uint32_t>;
template class gnu_ehptr_reader<std::uint64_t>;

}  // namespace crash::async
