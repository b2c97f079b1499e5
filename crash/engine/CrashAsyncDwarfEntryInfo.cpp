#include "crash/engine/CrashAsyncDwarfEntryInfo.h"

namespace crash::async {

namespace {

constexpr std::uint32_t kDwarf64Escape = 0xffffffff;

// The length field at `address`: the declared length, the size of the field (4, or 12 in the
// 64-bit format) and the width of the id or CIE pointer that follows it (4 or 8).
struct LengthField {
  std::uint64_t length;
  std::uint64_t header_size;
  std::uint8_t id_width;
};

bool readLengthField(const crash_async_mobject* mobj, const crash_async_byteorder* byteorder, std::uint64_t address,
                     LengthField* field, bool* short_read_failed) {
  std::uint32_t length = 0;
  *short_read_failed = crash_async_mobject_read_uint32(mobj, byteorder, address, 0, &length) != CRASH_ESUCCESS;
  if (*short_read_failed) return false;
  if (length != kDwarf64Escape) {
    *field = {length, 4, 4};
    return true;
  }
  std::uint64_t length64 = 0;
  if (crash_async_mobject_read_uint64(mobj, byteorder, address, 4, &length64) != CRASH_ESUCCESS) return false;
  *field = {length64, 12, 8};
  return true;
}

}  // namespace

template <typename machine_ptr>
crash_error_t crash_async_dwarf_cie_info_init(crash_async_dwarf_cie_info<machine_ptr>* info,
                                              const crash_async_mobject* mobj, const crash_async_byteorder* byteorder,
                                              const gnu_ehptr_reader<machine_ptr>* ptr_reader, std::uint64_t address) {
  crash_async_memset(info, 0, sizeof *info);
  const std::uint64_t base = crash_async_mobject_base_address(mobj);
  LengthField header;
  bool short_read_failed = false;
  if (!readLengthField(mobj, byteorder, address, &header, &short_read_failed)) {
    CRASH_ASYNC_LOG("CIE 0x%llx header lies outside the mapped range", static_cast<unsigned long long>(address));
    return CRASH_EINVAL;
  }
  info->cie_length = header.length;
  info->cie_offset = address + header.header_size - base;
  std::uint64_t position = address + header.header_size;  // task address of the next byte to read

  crash_error_t error = crash_async_dwarf_read_uintmax64(mobj, byteorder, position, 0, header.id_width, &info->cie_id);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("CIE id could not be read");
    return error;
  }
  const std::uint64_t debug_frame_id = header.id_width == 8 ? ~std::uint64_t{0} : std::uint64_t{0xffffffff};
  if (info->cie_id != 0 && info->cie_id != debug_frame_id) {
    CRASH_ASYNC_LOG("CIE id is not one of 0 (eh_frame) or UINT?_MAX (debug_frame): %llx",
                    static_cast<unsigned long long>(info->cie_id));
    return CRASH_EINVAL;
  }
  position += header.id_width;

  if ((error = crash_async_mobject_read_uint8(mobj, position, 0, &info->cie_version)) != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("CIE version could not be read");
    return error;
  }
  position += 1;
  if (info->cie_version != 1 && info->cie_version != 3 && info->cie_version != 4) {
    CRASH_ASYNC_LOG("CIE version is not one of 1 (eh_frame) or 3 (DWARF3) or 4 (DWARF4): %hhu", info->cie_version);
    return CRASH_EINVAL;
  }

  // The augmentation string: its first byte decides whether augmentation data follow.
  const std::uint64_t augmentation = position;
  std::uint8_t first = 0;
  while (true) {
    std::uint8_t byte = 0;
    if ((error = crash_async_mobject_read_uint8(mobj, position, 0, &byte)) != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("CIE augmentation string could not be read");
      return error;
    }
    if (position == augmentation) first = byte;
    position += 1;
    if (byte == 0) break;
  }
  if (first == 'z') {
    info->eh_augmentation.data_available = true;
  } else if (first != 0) {
    CRASH_ASYNC_LOG("Unknown augmentation string prefix of %c, cannot parse CIE", first);
    return CRASH_ENOTSUP;
  }

  if (info->cie_version == 4) {
    if ((error = crash_async_mobject_read_uint8(mobj, position, 0, &info->address_size)) != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("CIE address_size could not be read");
      return error;
    }
    if ((error = crash_async_mobject_read_uint8(mobj, position, 1, &info->segment_size)) != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("CIE segment_size could not be read");
      return error;
    }
    position += 2;
  }

  std::uint64_t size = 0;
  if ((error = crash_async_dwarf_read_uleb128(mobj, position, 0, &info->code_alignment_factor, &size)) != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to read CIE code alignment value");
    return error;
  }
  position += size;
  if ((error = crash_async_dwarf_read_sleb128(mobj, position, 0, &info->data_alignment_factor, &size)) != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to read CIE data alignment value");
    return error;
  }
  position += size;
  if ((error = crash_async_dwarf_read_uleb128(mobj, position, 0, &info->return_address_register, &size)) !=
      CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to read CIE return address register");
    return error;
  }
  position += size;

  if (info->eh_augmentation.data_available) {
    std::uint64_t data_length = 0;
    if ((error = crash_async_dwarf_read_uleb128(mobj, position, 0, &data_length, &size)) != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("Failed to read the augmentation data uleb128 length");
      return error;
    }
    position += size;
    std::uint64_t data_end = 0;
    if (__builtin_add_overflow(position, data_length, &data_end)) {
      CRASH_ASYNC_LOG("CIE augmentation data length of 0x%llx overflows the CIE address",
                      static_cast<unsigned long long>(data_length));
      return CRASH_EINVAL;
    }

    // The data are read in step with the string's letters after the 'z'.
    std::uint64_t data = position;
    for (std::uint64_t letter = augmentation + 1;; ++letter) {
      std::uint8_t c = 0;
      crash_async_mobject_read_uint8(mobj, letter, 0, &c);  // inside the string read above
      if (c == 0) break;
      if (c == 'L') {
        if ((error = crash_async_mobject_read_uint8(mobj, data, 0, &info->eh_augmentation.lsda_encoding)) !=
            CRASH_ESUCCESS) {
          CRASH_ASYNC_LOG("Failed to read the LSDA encoding value");
          return error;
        }
        info->eh_augmentation.has_lsda_encoding = true;
        data += 1;
      } else if (c == 'P') {
        std::uint8_t encoding = 0;
        if ((error = crash_async_mobject_read_uint8(mobj, data, 0, &encoding)) != CRASH_ESUCCESS) {
          CRASH_ASYNC_LOG("Failed to read the personality routine encoding value");
          return error;
        }
        data += 1;
        if ((error = ptr_reader->read(mobj, data, 0, static_cast<DW_EH_PE_t>(encoding),
                                      &info->eh_augmentation.personality_address, &size)) != CRASH_ESUCCESS) {
          CRASH_ASYNC_LOG("Failed to read the personality routine pointer value");
          return error;
        }
        info->eh_augmentation.has_personality_address = true;
        data += size;
      } else if (c == 'R') {
        if ((error = crash_async_mobject_read_uint8(mobj, data, 0, &info->eh_augmentation.pointer_encoding)) !=
            CRASH_ESUCCESS) {
          CRASH_ASYNC_LOG("Failed to read the FDE pointer encoding value");
          return error;
        }
        info->eh_augmentation.has_pointer_encoding = true;
        data += 1;
      } else if (c == 'S') {
        info->eh_augmentation.signal_frame = true;
      } else {
        CRASH_ASYNC_LOG("Unknown augmentation entry of %c; terminating parsing early", c);
        break;
      }
    }
    // The declared data length holds, whatever the letters consumed.
    position = data_end;
  }

  const std::uint64_t consumed = position - (address + header.header_size);
  if (info->cie_length < consumed) {
    CRASH_ASYNC_LOG("CIE length of 0x%llu declared to be less than the actual read length of 0x%llu",
                    static_cast<unsigned long long>(info->cie_length), static_cast<unsigned long long>(consumed));
    return CRASH_EINVAL;
  }
  info->initial_instructions_offset = position - base;
  info->initial_instructions_length = info->cie_length - consumed;
  return CRASH_ESUCCESS;
}

template <typename machine_ptr>
crash_error_t crash_async_dwarf_fde_info_init(crash_async_dwarf_fde_info* info, const crash_async_mobject* mobj,
                                              const crash_async_byteorder* byteorder, std::uint64_t address,
                                              bool debug_frame) {
  crash_async_memset(info, 0, sizeof *info);
  const std::uint64_t base = crash_async_mobject_base_address(mobj);
  LengthField header;
  bool short_read_failed = false;
  if (!readLengthField(mobj, byteorder, address, &header, &short_read_failed)) {
    if (short_read_failed) {
      CRASH_ASYNC_LOG("The current FDE entry 0x%llx header lies outside the mapped range",
                      static_cast<unsigned long long>(address));
    } else {
      CRASH_ASYNC_LOG("Failed to read FDE 64-bit length value value; FDE entry lies outside the mapped range");
    }
    return CRASH_EINVAL;
  }
  info->fde_length = header.length;
  info->fde_offset = address + header.header_size - base;
  const std::uint64_t cie_pointer_address = address + header.header_size;

  std::uint64_t cie_pointer = 0;
  crash_error_t error =
      crash_async_dwarf_read_uintmax64(mobj, byteorder, cie_pointer_address, 0, header.id_width, &cie_pointer);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("FDE instruction offset falls outside the mapped range");
    return error;
  }

  std::uint64_t cie_address = 0;
  if (debug_frame) {
    if (static_cast<std::int64_t>(cie_pointer) < 0 || __builtin_add_overflow(base, cie_pointer, &cie_address)) {
      CRASH_ASYNC_LOG("CIE offset of 0x%llx overflows representable range of crash_vm_address_t",
                      static_cast<unsigned long long>(cie_pointer));
      return CRASH_EINVAL;
    }
  } else {
    // The pointer is the distance back from its own address; a CIE before the section's start
    // lies outside it.
    if (cie_pointer > cie_pointer_address || cie_pointer_address - cie_pointer < base) {
      CRASH_ASYNC_LOG("CIE offset 0x%llx would place the CIE value outside of the .eh_frame section",
                      static_cast<unsigned long long>(cie_pointer));
      return CRASH_EINVAL;
    }
    cie_address = cie_pointer_address - cie_pointer;
  }
  info->cie_offset = cie_address - base;

  const gnu_ehptr_reader<machine_ptr> ptr_reader(byteorder);
  crash_async_dwarf_cie_info<machine_ptr> cie;
  if ((error = crash_async_dwarf_cie_info_init(&cie, mobj, byteorder, &ptr_reader, cie_address)) != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to parse CFE for FDE");
    return error;
  }

  DW_EH_PE_t encoding = DW_EH_PE_absptr;
  if (cie.eh_augmentation.data_available && cie.eh_augmentation.has_pointer_encoding) {
    encoding = static_cast<DW_EH_PE_t>(cie.eh_augmentation.pointer_encoding);
  }
  std::uint64_t position = cie_pointer_address + header.id_width;
  machine_ptr pc_start = 0;
  std::uint64_t size = 0;
  if ((error = ptr_reader.read(mobj, position, 0, encoding, &pc_start, &size)) != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to read FDE initial_location");
    return error;
  }
  position += size;
  machine_ptr range = 0;
  if ((error = ptr_reader.read(mobj, position, 0, static_cast<DW_EH_PE_t>(encoding & 0x0f), &range, &size)) !=
      CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to read FDE address_length");
    return error;
  }
  position += size;
  if (__builtin_add_overflow(std::uint64_t{pc_start}, std::uint64_t{range}, &info->pc_end)) {
    CRASH_ASYNC_LOG("FDE address_length + initial_location exceeds UINT64_MAX");
    return CRASH_EINVAL;
  }
  info->pc_start = pc_start;

  if (cie.eh_augmentation.data_available) {
    std::uint64_t data_length = 0;
    if ((error = crash_async_dwarf_read_uleb128(mobj, position, 0, &data_length, &size)) != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("Failed to read the FDE augmentation data length");
      return error;
    }
    if (__builtin_add_overflow(position + size, data_length, &position)) {
      CRASH_ASYNC_LOG("FDE augmentation data length of 0x%llx overflows the FDE address",
                      static_cast<unsigned long long>(data_length));
      return CRASH_EINVAL;
    }
  }
  const std::uint64_t consumed = position - cie_pointer_address;
  if (info->fde_length < consumed) {
    CRASH_ASYNC_LOG("FDE length of 0x%lludeclared to be less than the actual read length of 0x%llu",
                    static_cast<unsigned long long>(info->fde_length), static_cast<unsigned long long>(consumed));
    return CRASH_EINVAL;
  }
  info->instructions_offset = position - base;
  info->instructions_length = info->fde_length + info->fde_offset - info->instructions_offset;
  return CRASH_ESUCCESS;
}

template crash_error_t crash_async_dwarf_cie_info_init<std::uint32_t>(crash_async_dwarf_cie_info<std::uint32_t>*,
                                                                      const crash_async_mobject*,
                                                                      const crash_async_byteorder*,
                                                                      const gnu_ehptr_reader<std::uint32_t>*,
                                                                      std::uint64_t);
template crash_error_t crash_async_dwarf_cie_info_init<std::uint64_t>(crash_async_dwarf_cie_info<std::uint64_t>*,
                                                                      const crash_async_mobject*,
                                                                      const crash_async_byteorder*,
                                                                      const gnu_ehptr_reader<std::uint64_t>*,
                                                                      std::uint64_t);
template crash_error_t crash_async_dwarf_fde_info_init<std::uint32_t>(crash_async_dwarf_fde_info*,
                                                                      const crash_async_mobject*,
                                                                      const crash_async_byteorder*, std::uint64_t,
                                                                      bool);
template crash_error_t crash_async_dwarf_fde_info_init<std::uint64_t>(crash_async_dwarf_fde_info*,
                                                                      const crash_async_mobject*,
                                                                      const crash_async_byteorder*, std::uint64_t,
                                                                      bool);

}  // namespace crash::async
