#include "crash/engine/CrashAsyncCompactUnwind.h"

#include "crash/engine/CrashAsyncMachO.h"

namespace {

constexpr std::uint32_t kCpuTypeX86 = 7;
constexpr std::uint32_t kCpuTypeX86_64 = 0x01000007;
constexpr std::uint32_t kCpuTypeArm64 = 0x0100000C;

constexpr std::uint64_t kHeaderSize = 28;
constexpr std::uint64_t kIndexEntrySize = 12;
constexpr std::uint64_t kRegularEntrySize = 8;
constexpr std::uint64_t kCompressedEntrySize = 4;
constexpr std::uint32_t kRegularPage = 2;
constexpr std::uint32_t kCompressedPage = 3;

// Fields of the x86 and x86-64 encodings (they share the layout).
constexpr std::uint32_t kModeMask = 0x0F000000;
constexpr std::uint32_t kFrameOffsetMask = 0x00FF0000;
constexpr std::uint32_t kFrameRegistersMask = 0x00007FFF;
constexpr std::uint32_t kFramelessSizeMask = 0x00FF0000;
constexpr std::uint32_t kFramelessAdjustMask = 0x0000E000;
constexpr std::uint32_t kFramelessCountMask = 0x00001C00;
constexpr std::uint32_t kFramelessPermutationMask = 0x000003FF;
constexpr std::uint32_t kDwarfOffsetMask = 0x00FFFFFF;

std::uint32_t field(std::uint32_t encoding, std::uint32_t mask) {
  return (encoding & mask) >> __builtin_ctz(mask);
}

// Reads one little-endian 32-bit word at `offset` from the section's start.
bool sectionWord(const crash_async_cfe_reader* reader, std::uint64_t offset, std::uint32_t* value) {
  const std::uint64_t base = crash_async_mobject_base_address(reader->section);
  return crash_async_mobject_read_uint32(reader->section, reader->byteorder, base,
                                         static_cast<std::int64_t>(offset), value) == CRASH_ESUCCESS;
}

bool sectionHalf(const crash_async_cfe_reader* reader, std::uint64_t offset, std::uint16_t* value) {
  const std::uint64_t base = crash_async_mobject_base_address(reader->section);
  return crash_async_mobject_read_uint16(reader->section, reader->byteorder, base,
                                         static_cast<std::int64_t>(offset), value) == CRASH_ESUCCESS;
}

// Whether `count` entries of `size` bytes at `offset` from the section's start lie inside it.
bool tableInside(const crash_async_cfe_reader* reader, std::uint64_t offset, std::uint64_t count,
                 std::uint64_t size) {
  const std::uint64_t base = crash_async_mobject_base_address(reader->section);
  return crash_async_mobject_remap_address(reader->section, base, static_cast<std::int64_t>(offset),
                                           count * size) != nullptr;
}

// The last of `count` sorted keys (read by `key`) that is <= `pc`, or -1 when the first is
// already above it.
template <typename KeyAt>
std::int64_t lastAtOrBelow(std::uint64_t count, std::uint64_t pc, KeyAt key) {
  std::int64_t low = 0;
  std::int64_t high = static_cast<std::int64_t>(count) - 1;
  std::int64_t found = -1;
  while (low <= high) {
    const std::int64_t middle = low + (high - low) / 2;
    if (key(static_cast<std::uint64_t>(middle)) <= pc) {
      found = middle;
      low = middle + 1;
    } else {
      high = middle - 1;
    }
  }
  return found;
}

crash_error_t findInRegularPage(crash_async_cfe_reader* reader, std::uint64_t page, std::uint64_t pc,
                                std::uint64_t* function_base, std::uint32_t* encoding) {
  std::uint16_t entries_offset = 0;
  std::uint16_t count = 0;
  if (!tableInside(reader, page, 1, 8) || !sectionHalf(reader, page + 4, &entries_offset) ||
      !sectionHalf(reader, page + 6, &count)) {
    CRASH_ASYNC_LOG("The second-level page header lies outside the mapped CFE range");
    return CRASH_EINVAL;
  }
  const std::uint64_t entries = page + entries_offset;
  if (!tableInside(reader, entries, count, kRegularEntrySize)) {
    CRASH_ASYNC_LOG("CFE entries table lies outside the mapped CFE range");
    return CRASH_EINVAL;
  }
  const std::int64_t index = lastAtOrBelow(count, pc, [&](std::uint64_t i) {
    std::uint32_t offset = 0;
    sectionWord(reader, entries + i * kRegularEntrySize, &offset);
    return std::uint64_t{offset};
  });
  if (index < 0) {
    CRASH_ASYNC_LOG("Could not find a second level regular CFE entry for pc=%llx", static_cast<unsigned long long>(pc));
    return CRASH_ENOTFOUND;
  }
  std::uint32_t start = 0;
  sectionWord(reader, entries + static_cast<std::uint64_t>(index) * kRegularEntrySize, &start);
  sectionWord(reader, entries + static_cast<std::uint64_t>(index) * kRegularEntrySize + 4, encoding);
  *function_base = start;
  return CRASH_ESUCCESS;
}

crash_error_t findInCompressedPage(crash_async_cfe_reader* reader, std::uint64_t page, std::uint32_t first_level_offset,
                                   std::uint64_t pc, std::uint64_t* function_base, std::uint32_t* encoding) {
  std::uint16_t entries_offset = 0;
  std::uint16_t count = 0;
  std::uint16_t encodings_offset = 0;
  std::uint16_t encodings_count = 0;
  if (!tableInside(reader, page, 1, 12) || !sectionHalf(reader, page + 4, &entries_offset) ||
      !sectionHalf(reader, page + 6, &count) || !sectionHalf(reader, page + 8, &encodings_offset) ||
      !sectionHalf(reader, page + 10, &encodings_count)) {
    CRASH_ASYNC_LOG("The second-level page header lies outside the mapped CFE range");
    return CRASH_EINVAL;
  }
  const std::uint64_t entries = page + entries_offset;
  if (!tableInside(reader, entries, count, kCompressedEntrySize)) {
    CRASH_ASYNC_LOG("CFE entries table lies outside the mapped CFE range");
    return CRASH_EINVAL;
  }
  auto entryAt = [&](std::uint64_t i) {
    std::uint32_t entry = 0;
    sectionWord(reader, entries + i * kCompressedEntrySize, &entry);
    return entry;
  };
  const std::int64_t index = lastAtOrBelow(count, pc, [&](std::uint64_t i) {
    return std::uint64_t{first_level_offset} + (entryAt(i) & 0x00FFFFFF);
  });
  if (index < 0) {
    CRASH_ASYNC_LOG("Could not find a second level compressed CFE entry for pc=%llx",
                    static_cast<unsigned long long>(pc));
    return CRASH_ENOTFOUND;
  }
  const std::uint32_t entry = entryAt(static_cast<std::uint64_t>(index));
  *function_base = std::uint64_t{first_level_offset} + (entry & 0x00FFFFFF);

  const std::uint32_t encoding_index = entry >> 24;
  if (encoding_index < reader->header.common_encodings_count) {
    sectionWord(reader, std::uint64_t{reader->header.common_encodings_offset} + encoding_index * 4, encoding);
    return CRASH_ESUCCESS;
  }
  const std::uint8_t local_index = static_cast<std::uint8_t>(encoding_index - reader->header.common_encodings_count);
  const std::uint64_t local_table = page + encodings_offset;
  if (!tableInside(reader, local_table, encodings_count, 4)) {
    CRASH_ASYNC_LOG("CFE compressed encodings table lies outside the mapped CFE range");
    return CRASH_EINVAL;
  }
  if (local_index >= encodings_count) {
    CRASH_ASYNC_LOG("Encoding index lies outside the second level encoding table");
    return CRASH_EINVAL;
  }
  sectionWord(reader, local_table + std::uint64_t{local_index} * 4, encoding);
  return CRASH_ESUCCESS;
}

// The register id of an encoding's register number.
crash_error_t mapRegister(std::uint32_t cpu_type, std::uint32_t number, std::uint32_t* id) {
  static constexpr std::uint32_t kX86_64[] = {CRASH_ASYNC_CFE_NO_REGISTER, CRASH_X86_64_RBX, CRASH_X86_64_R12,
                                              CRASH_X86_64_R13, CRASH_X86_64_R14, CRASH_X86_64_R15,
                                              CRASH_X86_64_RBP};
  static constexpr std::uint32_t kX86[] = {CRASH_ASYNC_CFE_NO_REGISTER, CRASH_X86_EBX, CRASH_X86_ECX,
                                           CRASH_X86_EDX, CRASH_X86_EDI, CRASH_X86_ESI, CRASH_X86_EBP};
  if (cpu_type != kCpuTypeX86_64 && cpu_type != kCpuTypeX86) {
    CRASH_ASYNC_LOG("Requested register mapping for unknown cpu type %u", cpu_type);
    return CRASH_ENOTSUP;
  }
  if (number > 6) {
    CRASH_ASYNC_LOG("Requested register mapping for unknown register %d", static_cast<int>(number));
    return CRASH_EINVAL;
  }
  *id = cpu_type == kCpuTypeX86_64 ? kX86_64[number] : kX86[number];
  return CRASH_ESUCCESS;
}

crash_error_t mapRegisterList(crash_async_cfe_entry* entry) {
  for (std::uint32_t i = 0; i < entry->register_count; ++i) {
    const std::uint32_t number = entry->register_list[i];
    const crash_error_t error = mapRegister(entry->cpu_type, number, &entry->register_list[i]);
    if (error != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("Failed to map register value of %x", number);
      return error;
    }
  }
  return CRASH_ESUCCESS;
}

}  // namespace

crash_error_t crash_async_cfe_reader_init(crash_async_cfe_reader* reader, const crash_async_mobject* section,
                                          std::uint32_t cpu_type) {
  if (cpu_type != kCpuTypeX86 && cpu_type != kCpuTypeX86_64 && cpu_type != kCpuTypeArm64) {
    CRASH_ASYNC_LOG("Unsupported CPU type: %u", cpu_type);
    return CRASH_ENOTSUP;
  }
  reader->section = section;
  reader->cpu_type = cpu_type;
  reader->byteorder = crash_async_byteorder_little_endian();
  std::uint32_t words[7] = {};
  for (std::uint64_t i = 0; i < 7; ++i) {
    if (!sectionWord(reader, i * 4, &words[i])) {
      CRASH_ASYNC_LOG("Could not map the unwind info section header");
      return CRASH_EINVAL;
    }
  }
  static_assert(sizeof(crash_async_cfe_header) == kHeaderSize);
  if (words[0] != 1) {
    CRASH_ASYNC_LOG("Unsupported CFE version: %u", words[0]);
    return CRASH_ENOTSUP;
  }
  reader->header = {words[0], words[1], words[2], words[3], words[4], words[5], words[6]};
  return CRASH_ESUCCESS;
}

crash_error_t crash_async_cfe_reader_find_pc(crash_async_cfe_reader* reader, std::uint64_t pc,
                                             std::uint64_t* function_base, std::uint32_t* encoding) {
  const crash_async_cfe_header& header = reader->header;
  if (!tableInside(reader, header.common_encodings_offset, header.common_encodings_count, 4)) {
    CRASH_ASYNC_LOG("The declared common table lies outside the mapped CFE range");
    return CRASH_EINVAL;
  }
  if (header.index_count == 0) {
    CRASH_ASYNC_LOG("CFE index contains no entries");
    return CRASH_ENOTFOUND;
  }
  // The last index entry only closes the range of the one before it; it is read as that bound,
  // so it has to lie in the section as well.
  if (!tableInside(reader, header.index_offset, header.index_count, kIndexEntrySize)) {
    CRASH_ASYNC_LOG("The declared entries table lies outside the mapped CFE range");
    return CRASH_EINVAL;
  }
  auto functionOffset = [&](std::uint64_t i) {
    std::uint32_t offset = 0;
    sectionWord(reader, header.index_offset + i * kIndexEntrySize, &offset);
    return std::uint64_t{offset};
  };
  const std::uint64_t real_entries = header.index_count - 1;
  const std::int64_t index = lastAtOrBelow(real_entries, pc, functionOffset);
  if (index < 0 || pc >= functionOffset(static_cast<std::uint64_t>(index) + 1)) {
    CRASH_ASYNC_LOG("Could not find a first level CFE entry for pc=%llx", static_cast<unsigned long long>(pc));
    return CRASH_ENOTFOUND;
  }
  const std::uint64_t entry = header.index_offset + static_cast<std::uint64_t>(index) * kIndexEntrySize;
  std::uint32_t first_level_offset = 0;
  std::uint32_t page = 0;
  sectionWord(reader, entry, &first_level_offset);
  sectionWord(reader, entry + 4, &page);

  std::uint32_t kind = 0;
  if (!sectionWord(reader, page, &kind)) {
    CRASH_ASYNC_LOG("The second-level page header lies outside the mapped CFE range");
    return CRASH_EINVAL;
  }
  if (kind == kRegularPage) return findInRegularPage(reader, page, pc, function_base, encoding);
  if (kind == kCompressedPage) {
    return findInCompressedPage(reader, page, first_level_offset, pc, function_base, encoding);
  }
  CRASH_ASYNC_LOG("Unsupported second-level CFE table kind: 0x%x at 0x%x", kind, page);
  return CRASH_EINVAL;
}

void crash_async_cfe_reader_free(crash_async_cfe_reader*) {}

crash_error_t crash_async_cfe_entry_init(crash_async_cfe_entry* entry, std::uint32_t cpu_type,
                                         std::uint32_t encoding) {
  crash_async_memset(entry, 0, sizeof *entry);
  entry->cpu_type = cpu_type;
  entry->return_address_register = CRASH_ASYNC_CFE_NO_REGISTER;
  if (cpu_type != kCpuTypeX86_64 && cpu_type != kCpuTypeX86) {
    // arm64 images never occur in an x86-64 process, so their encodings are not decoded.
    CRASH_ASYNC_LOG("Unsupported CPU type: %u", cpu_type);
    return CRASH_ENOTSUP;
  }
  const std::int64_t scale = cpu_type == kCpuTypeX86_64 ? 8 : 4;
  const std::uint32_t mode = field(encoding, kModeMask);
  switch (mode) {
    case 0:
      entry->type = CRASH_ASYNC_CFE_TYPE_NONE;
      return CRASH_ESUCCESS;
    case 1: {
      entry->type = CRASH_ASYNC_CFE_TYPE_FRAME_PTR;
      entry->stack_offset = -scale * field(encoding, kFrameOffsetMask);
      for (std::uint32_t groups = field(encoding, kFrameRegistersMask); groups != 0; groups >>= 3) {
        entry->register_list[entry->register_count++] = groups & 0x7;
      }
      return mapRegisterList(entry);
    }
    case 2:
    case 3: {
      entry->type = mode == 2 ? CRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD : CRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT;
      const std::uint32_t size = field(encoding, kFramelessSizeMask);
      entry->stack_offset = mode == 2 ? scale * size : size;
      if (mode == 3) entry->stack_adjust = static_cast<std::uint32_t>(scale) * field(encoding, kFramelessAdjustMask);
      entry->register_count = field(encoding, kFramelessCountMask);
      const crash_error_t error = crash_async_cfe_register_decode(field(encoding, kFramelessPermutationMask),
                                                                  entry->register_count, entry->register_list);
      if (error != CRASH_ESUCCESS) {
        CRASH_ASYNC_LOG("Failed to decode register list: %d", error);
        entry->register_count = 0;
        return error;
      }
      return mapRegisterList(entry);
    }
    case 4:
      entry->type = CRASH_ASYNC_CFE_TYPE_DWARF;
      entry->stack_offset = field(encoding, kDwarfOffsetMask);
      return CRASH_ESUCCESS;
    default:
      CRASH_ASYNC_LOG("Unexpected entry mode of %x", encoding & kModeMask);
      return CRASH_ENOTSUP;
  }
}

crash_async_cfe_type crash_async_cfe_entry_type(const crash_async_cfe_entry* entry) { return entry->type; }
std::int64_t crash_async_cfe_entry_stack_offset(const crash_async_cfe_entry* entry) { return entry->stack_offset; }
std::uint32_t crash_async_cfe_entry_stack_adjustment(const crash_async_cfe_entry* entry) {
  return entry->stack_adjust;
}
std::uint32_t crash_async_cfe_entry_return_address_register(const crash_async_cfe_entry* entry) {
  return entry->return_address_register;
}
std::uint32_t crash_async_cfe_entry_register_count(const crash_async_cfe_entry* entry) {
  return entry->register_count;
}
void crash_async_cfe_entry_register_list(const crash_async_cfe_entry* entry, std::uint32_t* register_list) {
  crash_async_memcpy(register_list, entry->register_list, entry->register_count * sizeof(std::uint32_t));
}
void crash_async_cfe_entry_free(crash_async_cfe_entry*) {}

namespace {

// Radices of the permutation's digits, by register count.
constexpr std::uint32_t kMultipliers[7][6] = {
    {0, 0, 0, 0, 0, 0},         {1, 0, 0, 0, 0, 0},     {5, 1, 0, 0, 0, 0},   {20, 4, 1, 0, 0, 0},
    {60, 12, 3, 1, 0, 0},       {120, 24, 6, 2, 1, 0},  {120, 24, 6, 2, 1, 0},
};

}  // namespace

std::uint32_t crash_async_cfe_register_encode(const std::uint32_t registers[], std::uint32_t count) {
  CRASH_ASYNC_ASSERT(count <= 6, "count <= 6");
  std::uint32_t permutation = 0;
  for (std::uint32_t i = 0; i < count && i < 5; ++i) {
    std::uint32_t digit = registers[i] - 1;
    for (std::uint32_t j = 0; j < i; ++j) {
      if (registers[j] < registers[i]) --digit;
    }
    permutation += digit * kMultipliers[count][i];
  }
  CRASH_ASYNC_ASSERT((permutation & 0x3FF) == permutation, "(permutation & 0x3FF) == permutation");
  return permutation;
}

crash_error_t crash_async_cfe_register_decode(std::uint32_t permutation, std::uint32_t count,
                                              std::uint32_t registers[]) {
  if (count > 6) {
    CRASH_ASYNC_LOG("Register permutation decoding attempted with an unsupported count of %u", count);
    return CRASH_EINVAL;
  }
  std::uint32_t digits[6] = {};
  std::uint32_t rest = permutation;
  for (std::uint32_t i = 0; i < count && i < 5; ++i) {
    const std::uint32_t radix = kMultipliers[count][i];
    digits[i] = rest / radix;
    rest %= radix;
  }
  bool taken[7] = {};
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t seen = 0;
    std::uint32_t number = 0;
    for (std::uint32_t candidate = 1; candidate <= 6 && number == 0; ++candidate) {
      if (taken[candidate]) continue;
      if (seen == digits[i]) number = candidate;
      ++seen;
    }
    // A digit past the free numbers comes only from a corrupt permutation: it names no register.
    if (number == 0) {
      CRASH_ASYNC_LOG("Register permutation 0x%x does not decode for %u registers", permutation, count);
      return CRASH_EINVAL;
    }
    taken[number] = true;
    registers[i] = number;
  }
  return CRASH_ESUCCESS;
}

namespace {

crash_error_t readWord(kernel::task_t task, std::uint64_t address, std::uint64_t size, std::uint64_t* value) {
  std::uint64_t wide = 0;
  std::uint32_t narrow = 0;
  void* destination = size == 8 ? static_cast<void*>(&wide) : static_cast<void*>(&narrow);
  const crash_error_t error = crash_async_task_memcpy(task, address, 0, destination, size);
  if (error == CRASH_ESUCCESS) *value = size == 8 ? wide : narrow;
  return error;
}

}  // namespace

crash_error_t crash_async_cfe_entry_apply(kernel::task_t task, std::uint64_t function_address,
                                          const crash_async_thread_state* current,
                                          const crash_async_cfe_entry* entry, crash_async_thread_state* next) {
  const std::uint64_t word = crash_async_thread_state_get_greg_size(current);
  crash_async_thread_state_copy(next, current);
  crash_async_thread_state_clear_volatile_regs(next);
  if (entry->type == CRASH_ASYNC_CFE_TYPE_DWARF || entry->type == CRASH_ASYNC_CFE_TYPE_NONE) return CRASH_ENOTSUP;

  std::uint64_t save_area = 0;
  if (entry->type == CRASH_ASYNC_CFE_TYPE_FRAME_PTR) {
    if (!crash_async_thread_state_has_reg(current, 1)) {
      CRASH_ASYNC_LOG("Can't apply FRAME_PTR unwind type without a valid frame pointer");
      return CRASH_ENOTFOUND;
    }
    const std::uint64_t fp = crash_async_thread_state_get_reg(current, 1);
    std::uint64_t new_sp = 0;
    if (__builtin_add_overflow(fp, 2 * word, &new_sp)) {
      CRASH_ASYNC_LOG("Current frame pointer falls outside of addressable bounds");
      return CRASH_EINVAL;
    }
    std::uint64_t saved_fp = 0;
    std::uint64_t return_address = 0;
    crash_error_t error = readWord(task, fp, word, &saved_fp);
    if (error == CRASH_ESUCCESS) error = readWord(task, fp + word, word, &return_address);
    if (error != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("Failed to read frame data at address 0x%llx: %d", static_cast<unsigned long long>(fp), error);
      return error;
    }
    crash_async_thread_state_set_reg(next, 2, new_sp);
    crash_async_thread_state_set_reg(next, 1, saved_fp);
    crash_async_thread_state_set_reg(next, 0, return_address);
    save_area = fp + static_cast<std::uint64_t>(entry->stack_offset);
  } else {
    if (!crash_async_thread_state_has_reg(current, 2)) {
      CRASH_ASYNC_LOG("Can't apply FRAME_IMMD unwind type without a valid stack pointer");
      return CRASH_ENOTFOUND;
    }
    std::uint64_t stack_size = static_cast<std::uint64_t>(entry->stack_offset);
    if (entry->type == CRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT) {
      std::uint32_t immediate = 0;
      const crash_error_t error =
          crash_async_task_memcpy(task, function_address, entry->stack_offset, &immediate, sizeof immediate);
      if (error != CRASH_ESUCCESS) {
        CRASH_ASYNC_LOG("Failed to read indirect stack size from 0x%llx + 0x%llx: %d",
                        static_cast<unsigned long long>(function_address),
                        static_cast<unsigned long long>(entry->stack_offset), error);
        return error;
      }
      stack_size = std::uint64_t{immediate} + entry->stack_adjust;
    }
    const std::uint64_t new_sp = crash_async_thread_state_get_reg(current, 2) + stack_size;
    crash_async_thread_state_set_reg(next, 2, new_sp);
    if (entry->return_address_register == CRASH_ASYNC_CFE_NO_REGISTER) {
      std::uint64_t return_address = 0;
      const crash_error_t error = readWord(task, new_sp - word, word, &return_address);
      if (error != CRASH_ESUCCESS) {
        CRASH_ASYNC_LOG("Failed to read return address from 0x%llx: %d",
                        static_cast<unsigned long long>(new_sp - word), error);
        return error;
      }
      crash_async_thread_state_set_reg(next, 0, return_address);
      save_area = new_sp - word - word * entry->register_count;
    } else {
      const auto ra = static_cast<crash_regnum_t>(entry->return_address_register);
      if (!crash_async_thread_state_has_reg(current, ra)) {
        CRASH_ASYNC_LOG("The specified return_address_register '%s' is not available",
                        crash_async_thread_state_get_reg_name(current, ra));
        return CRASH_ENOTFOUND;
      }
      crash_async_thread_state_set_reg(next, 0, crash_async_thread_state_get_reg(current, ra));
      save_area = new_sp - word * entry->register_count;
    }
  }

  for (std::uint32_t i = 0; i < entry->register_count; ++i) {
    if (entry->register_list[i] == CRASH_ASYNC_CFE_NO_REGISTER) continue;
    const auto id = static_cast<crash_regnum_t>(entry->register_list[i]);
    std::uint64_t value = 0;
    const crash_error_t error = readWord(task, save_area + i * word, word, &value);
    if (error != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("Failed to read register data for index %s: %d", crash_async_thread_state_get_reg_name(current, id),
                      error);
      return error;
    }
    crash_async_thread_state_set_reg(next, id, value);
  }
  return CRASH_ESUCCESS;
}

namespace {

// The part of the compact-unwind reader that runs while the image list is marked as read.
crash_frame_error_t readCompactUnwind(kernel::task_t task, crash_async_macho* image, std::uint64_t pc,
                                      const crash_async_thread_state* current, crash_async_thread_state* next) {
  crash_async_mobject section;
  const crash_error_t mapped = crash_async_macho_map_section(image, "__TEXT", "__unwind_info", &section);
  if (mapped == CRASH_ENOTFOUND) return CRASH_FRAME_ENOTSUP;
  if (mapped != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Could not map the compact unwind info section for image %s: %d", image->name, mapped);
    return CRASH_FRAME_ENOTSUP;
  }

  crash_frame_error_t status = CRASH_FRAME_ESUCCESS;
  crash_async_cfe_reader reader;
  crash_async_cfe_entry entry;
  std::uint64_t function_offset = 0;
  std::uint32_t encoding = 0;
  crash_error_t error = crash_async_cfe_reader_init(&reader, &section, crash_async_macho_cpu_type(image));
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Could not parse the compact unwind info section for image '%s': %d", image->name, error);
    status = CRASH_FRAME_EINVAL;
  } else if ((error = crash_async_cfe_reader_find_pc(&reader, pc - image->header_addr, &function_offset, &encoding)) !=
             CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Did not find CFE entry for PC 0x%llx: %d", static_cast<unsigned long long>(pc), error);
    status = CRASH_FRAME_ENOTSUP;
  } else if ((error = crash_async_cfe_entry_init(&entry, reader.cpu_type, encoding)) != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Could not decode CFE encoding 0x%x for PC 0x%llx: %d", encoding,
                    static_cast<unsigned long long>(pc), error);
    status = CRASH_FRAME_ENOTSUP;
  } else if (entry.type == CRASH_ASYNC_CFE_TYPE_NONE) {
    status = CRASH_FRAME_ENOFRAME;
  } else {
    std::uint64_t function_address = 0;
    if (__builtin_add_overflow(image->header_addr, function_offset, &function_address)) {
      CRASH_ASYNC_LOG("The provided function base (0x%llx) plus header address (0x%llx) will overflow crash_vm_address_t",
                      static_cast<unsigned long long>(function_offset),
                      static_cast<unsigned long long>(image->header_addr));
      status = CRASH_FRAME_EINVAL;
    } else if ((error = crash_async_cfe_entry_apply(task, function_address, current, &entry, next)) != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("Failed to apply CFE encoding 0x%x for PC 0x%llx: %d", encoding,
                      static_cast<unsigned long long>(pc), error);
      status = CRASH_FRAME_ENOFRAME;
    }
  }
  crash_async_mobject_free(&section);
  return status;
}

}  // namespace

crash_frame_error_t crash_frame_cursor_read_compact_unwind(kernel::task_t task, crash_async_image_list* image_list,
                                                           const crash_async_thread_state* current,
                                                           const crash_async_thread_state* previous,
                                                           crash_async_thread_state* next) {
  if (!crash_async_thread_state_has_reg(current, 0)) {
    CRASH_ASYNC_LOG("Frame is missing a valid IP register, skipping compact unwind encoding");
    return CRASH_FRAME_EBADFRAME;
  }
  return crash_frame_cursor_read_in_image(task, image_list, crash_frame_lookup_address(current, previous), current,
                                          next, readCompactUnwind);
}
