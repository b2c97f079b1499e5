#include "crash/engine/CrashAsyncDwarfFrameReader.h"

namespace crash::async {

namespace {

// The table encoding linkers write: 32-bit signed offsets from the start of .eh_frame_hdr.
constexpr std::uint8_t kTableEncoding = DW_EH_PE_datarel | DW_EH_PE_sdata4;
constexpr std::uint64_t kTableEntrySize = 8;

}  // namespace

crash_error_t dwarf_frame_reader::init(const crash_async_mobject* mobj, const crash_async_byteorder* byteorder,
                                       bool m64, bool debug_frame) {
  mobj_ = mobj;
  byteorder_ = byteorder;
  m64_ = m64;
  debug_frame_ = debug_frame;
  table_mobj_ = nullptr;
  table_ = 0;
  table_count_ = 0;
  return CRASH_ESUCCESS;
}

crash_error_t dwarf_frame_reader::set_search_table(const crash_async_mobject* hdr) {
  const std::uint64_t start = crash_async_mobject_base_address(hdr);
  std::uint8_t version = 0;
  std::uint8_t frame_encoding = 0;
  std::uint8_t count_encoding = 0;
  std::uint8_t table_encoding = 0;
  if (crash_async_mobject_read_uint8(hdr, start, 0, &version) != CRASH_ESUCCESS ||
      crash_async_mobject_read_uint8(hdr, start, 1, &frame_encoding) != CRASH_ESUCCESS ||
      crash_async_mobject_read_uint8(hdr, start, 2, &count_encoding) != CRASH_ESUCCESS ||
      crash_async_mobject_read_uint8(hdr, start, 3, &table_encoding) != CRASH_ESUCCESS || version != 1) {
    CRASH_ASYNC_LOG("Unreadable or unknown .eh_frame_hdr header");
    return CRASH_EINVAL;
  }
  if (table_encoding != kTableEncoding || count_encoding == DW_EH_PE_omit) {
    CRASH_ASYNC_LOG("Unsupported .eh_frame_hdr table encoding 0x%x", table_encoding);
    return CRASH_ENOTSUP;
  }
  gnu_ehptr_reader<std::uint64_t> reader(byteorder_);
  reader.set_data_base(start);
  std::uint64_t frame = 0;
  std::uint64_t count = 0;
  std::uint64_t size = 0;
  std::uint64_t position = start + 4;
  if (reader.read(hdr, position, 0, static_cast<DW_EH_PE_t>(frame_encoding), &frame, &size) != CRASH_ESUCCESS) {
    return CRASH_EINVAL;
  }
  position += size;
  if (reader.read(hdr, position, 0, static_cast<DW_EH_PE_t>(count_encoding), &count, &size) != CRASH_ESUCCESS) {
    return CRASH_EINVAL;
  }
  position += size;
  if (frame != crash_async_mobject_base_address(mobj_)) {
    CRASH_ASYNC_LOG(".eh_frame_hdr describes the section at 0x%llx, not this one", static_cast<unsigned long long>(frame));
    return CRASH_EINVAL;
  }
  if (count > crash_async_mobject_length(hdr) / kTableEntrySize ||
      crash_async_mobject_remap_address(hdr, position, 0, count * kTableEntrySize) == nullptr) {
    CRASH_ASYNC_LOG(".eh_frame_hdr table lies outside the mapped range");
    return CRASH_EINVAL;
  }
  table_mobj_ = hdr;
  table_ = position;
  table_count_ = count;
  return CRASH_ESUCCESS;
}

crash_error_t dwarf_frame_reader::parse_fde(std::uint64_t address, crash_async_dwarf_fde_info* info) const {
  if (m64_) return crash_async_dwarf_fde_info_init<std::uint64_t>(info, mobj_, byteorder_, address, debug_frame_);
  return crash_async_dwarf_fde_info_init<std::uint32_t>(info, mobj_, byteorder_, address, debug_frame_);
}

// The linker sorts the table by start address and refuses to write one for overlapping FDEs, so
// the one entry at or below the pc is the only FDE that can cover it, as a walk would find.
crash_error_t dwarf_frame_reader::find_indexed(std::uint64_t pc, crash_async_dwarf_fde_info* info) const {
  const std::uint64_t hdr = crash_async_mobject_base_address(table_mobj_);
  auto entry = [&](std::uint64_t index, std::int64_t field) {
    std::uint32_t value = 0;
    crash_async_mobject_read_uint32(table_mobj_, byteorder_, table_,
                                    static_cast<std::int64_t>(index * kTableEntrySize) + field, &value);
    return hdr + static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(value)));
  };
  std::uint64_t low = 0;
  std::uint64_t high = table_count_;
  while (low < high) {  // the first entry whose start lies above the pc
    const std::uint64_t middle = low + (high - low) / 2;
    if (entry(middle, 0) <= pc) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low == 0) return CRASH_ENOTFOUND;
  const std::uint64_t fde = entry(low - 1, 4);
  const crash_error_t error = parse_fde(fde, info);
  if (error != CRASH_ESUCCESS) return error;
  if (pc < info->pc_start || pc >= info->pc_end) return CRASH_ENOTFOUND;
  return CRASH_ESUCCESS;
}

crash_error_t dwarf_frame_reader::find_fde(std::uint64_t offset, std::uint64_t pc,
                                           crash_async_dwarf_fde_info* info) const {
  const std::uint64_t base = crash_async_mobject_base_address(mobj_);
  std::uint64_t start = 0;
  if (__builtin_add_overflow(base, offset, &start)) {
    CRASH_ASYNC_LOG("FDE offset hint overflows the mobject's base address");
    return CRASH_EINVAL;
  }
  if (start >= base + crash_async_mobject_length(mobj_)) {
    CRASH_ASYNC_LOG("FDE base address + offset falls outside the mapped range");
    return CRASH_EINVAL;
  }
  if (table_mobj_ != nullptr && offset == 0) return find_indexed(pc, info);
  std::uint64_t cursor = offset;
  while (true) {
    const crash_error_t error = next_fde(&cursor, info);
    if (error != CRASH_ESUCCESS) return error;
    if (info->pc_start <= pc && pc < info->pc_end) return CRASH_ESUCCESS;
  }
}

crash_error_t dwarf_frame_reader::next_fde(std::uint64_t* offset, crash_async_dwarf_fde_info* info) const {
  const std::uint64_t base = crash_async_mobject_base_address(mobj_);
  const std::uint64_t end = base + crash_async_mobject_length(mobj_);
  std::uint64_t entry = 0;
  if (__builtin_add_overflow(base, *offset, &entry)) return CRASH_ENOTFOUND;

  while (entry < end) {
    std::uint32_t length32 = 0;
    if (crash_async_mobject_read_uint32(mobj_, byteorder_, entry, 0, &length32) != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("The current CFI entry 0x%llx header lies outside the mapped range",
                      static_cast<unsigned long long>(entry));
      return CRASH_EINVAL;
    }
    std::uint64_t length = length32;
    std::uint64_t header = 4;
    std::uint8_t id_width = 4;
    if (length32 == 0xffffffff) {
      if (crash_async_mobject_read_uint64(mobj_, byteorder_, entry, 4, &length) != CRASH_ESUCCESS) {
        CRASH_ASYNC_LOG("The current CFI entry 0x%llx header lies outside the mapped range",
                        static_cast<unsigned long long>(entry));
        return CRASH_EINVAL;
      }
      header = 12;
      id_width = 8;
    }
    if (length == 0) return CRASH_ENOTFOUND;

    std::uint64_t next = 0;
    if (__builtin_add_overflow(entry + header, length, &next)) {
      CRASH_ASYNC_LOG("Entry length size overflows the CFI address");
      return CRASH_EINVAL;
    }
    std::uint64_t id = 0;
    if (crash_async_dwarf_read_uintmax64(mobj_, byteorder_, entry + header, 0, id_width, &id) != CRASH_ESUCCESS) {
      CRASH_ASYNC_LOG("The current CFI entry 0x%llx cie_id lies outside the mapped range",
                      static_cast<unsigned long long>(entry));
      return CRASH_EINVAL;
    }
    const std::uint64_t cie_id = !debug_frame_ ? 0 : id_width == 8 ? ~std::uint64_t{0} : std::uint64_t{0xffffffff};
    if (id != cie_id) {
      const crash_error_t error = parse_fde(entry, info);
      if (error != CRASH_ESUCCESS) return error;
      *offset = next - base;
      return CRASH_ESUCCESS;
    }
    entry = next;
  }
  return CRASH_ENOTFOUND;
}

}  // namespace crash::async
