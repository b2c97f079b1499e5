#pragma once
// The primitive readers of DWARF call-frame data: LEB128 numbers, fixed-width words, and the
// pointer encodings of the GNU exception-frame format (DW_EH_PE_*), read crash-safely through a
// memory object or through faultless task reads.
//
// The pointer reader exists in a 32-bit and a 64-bit form (target addresses of that width); the
// image's width chooses. Everything here allocates nothing, takes no lock and reports failure as
// a crash_error_t with a diagnostic line.
#include <cstdint>

#include "crash/engine/CrashAsync.h"
#include "crash/engine/CrashAsyncMObject.h"

namespace crash::async {

// Reads the unsigned LEB128 number at `location` + `offset` in `mobj`. Returns 0 with the value
// and its byte count; 5 when the number does not end inside the object; 4 when it has more
// significant bits than 64 (past ten bytes).
crash_error_t crash_async_dwarf_read_uleb128(const crash_async_mobject* mobj, std::uint64_t location,
                                             std::int64_t offset, std::uint64_t* result, std::uint64_t* size);
// The same for a signed LEB128 number.
crash_error_t crash_async_dwarf_read_sleb128(const crash_async_mobject* mobj, std::uint64_t location,
                                             std::int64_t offset, std::int64_t* result, std::uint64_t* size);

// The same read from task memory at `location` + `offset`: 5 when the sum wraps; the mapping's
// code when nothing is readable there.
crash_error_t crash_async_dwarf_read_task_uleb128(kernel::task_t task, std::uint64_t location, std::int64_t offset,
                                                  std::uint64_t* result, std::uint64_t* size);
crash_error_t crash_async_dwarf_read_task_sleb128(kernel::task_t task, std::uint64_t location, std::int64_t offset,
                                                  std::int64_t* result, std::uint64_t* size);

// Reads an unsigned value of `width` bytes (1, 2, 4 or 8) through `byteorder`. Returns 0; 5 when
// it lies outside the object or for any other width.
crash_error_t crash_async_dwarf_read_uintmax64(const crash_async_mobject* mobj, const crash_async_byteorder* byteorder,
                                               std::uint64_t location, std::int64_t offset, std::uint8_t width,
                                               std::uint64_t* result);

// Pointer encodings: low four bits the value's format, bits 4 to 6 its base, bit 7 indirect.
enum DW_EH_PE_t : std::uint8_t {
  DW_EH_PE_absptr = 0x00,
  DW_EH_PE_uleb128 = 0x01,
  DW_EH_PE_udata2 = 0x02,
  DW_EH_PE_udata4 = 0x03,
  DW_EH_PE_udata8 = 0x04,
  DW_EH_PE_sleb128 = 0x09,
  DW_EH_PE_sdata2 = 0x0a,
  DW_EH_PE_sdata4 = 0x0b,
  DW_EH_PE_sdata8 = 0x0c,

  DW_EH_PE_pcrel = 0x10,
  DW_EH_PE_textrel = 0x20,
  DW_EH_PE_datarel = 0x30,
  DW_EH_PE_funcrel = 0x40,
  DW_EH_PE_aligned = 0x50,

  DW_EH_PE_indirect = 0x80,
  DW_EH_PE_omit = 0xff,
};

// Reads encoded pointers. The text, data and function bases and the frame section base are
// optional; a value relative to a base that was not set fails with 4.
template <typename machine_ptr>
class gnu_ehptr_reader {
 public:
  explicit gnu_ehptr_reader(const crash_async_byteorder* byteorder);

  // `frame_section_addr`: the section's start as reads address it; `frame_section_vm_addr`: the
  // address against which the aligned encoding's padding is reckoned.
  void set_frame_section_base(machine_ptr frame_section_addr, machine_ptr frame_section_vm_addr);
  void set_text_base(machine_ptr text_addr);
  void set_data_base(machine_ptr data_addr);
  void set_func_base(machine_ptr func_addr);

  // Reads the pointer encoded as `encoding` at `location` + `offset` in `mobj`. Returns 0 with the
  // value (wrapped to the target width) and the bytes consumed (padding included); 8 for
  // DW_EH_PE_omit; 4 for an unknown format or base, or a base that was not set; 5 or the task
  // read's code when the value, or the word an indirect value points to, cannot be read.
  crash_error_t read(const crash_async_mobject* mobj, std::uint64_t location, std::int64_t offset,
                     DW_EH_PE_t encoding, machine_ptr* result, std::uint64_t* size) const;

  const crash_async_byteorder* byteorder() const { return byteorder_; }

 private:
  struct Base {
    bool valid;
    machine_ptr address;
  };
  const crash_async_byteorder* byteorder_;
  Base frame_section_;
  machine_ptr frame_section_vm_addr_;
  Base text_;
  Base data_;
  Base func_;
};

extern template class gnu_ehptr_reader<std::uint32_t>;
extern template class gnu_ehptr_reader<std::uint64_t>;

}  // namespace crash::async
