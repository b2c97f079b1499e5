#pragma once
// Finds the frame description (FDE) that covers an instruction address in one image's call-frame
// section, __eh_frame or __debug_frame. The search walks the section's records in order; an ELF
// image's .eh_frame_hdr, when given, lets it look the address up in the linker's sorted table
// instead, which costs a handful of reads in place of parsing every record before the match.
//
// A plain value that borrows the section's memory object. Crash-safe: nothing is allocated;
// failures are crash_error_t codes with a diagnostic line.
#include <cstdint>

#include "crash/engine/CrashAsyncDwarfEntryInfo.h"

namespace crash::async {

class dwarf_frame_reader {
 public:
  // Reads the section `mobj` (borrowed; its base address is the section's start) with
  // `byteorder`, for a 64-bit or a 32-bit target; `debug_frame` tells __debug_frame from
  // __eh_frame. Returns 0.
  crash_error_t init(const crash_async_mobject* mobj, const crash_async_byteorder* byteorder, bool m64,
                     bool debug_frame);

  // Uses the binary search table of the .eh_frame_hdr section `hdr` (borrowed) for searches that
  // start at the section's start. Returns 0; 4 for a table whose entries are not in the linker's
  // usual fixed-size form; 5 for a header that does not parse, does not fit `hdr`, or names
  // another section. On failure searches keep walking the records.
  crash_error_t set_search_table(const crash_async_mobject* hdr);

  // Finds the first FDE, from `offset` into the section on, whose range holds `pc`. Returns 0
  // with `*info` filled; 8 when none does (a zero terminator or the section's end reached); 5 for
  // a record that overruns the section or a start outside it; an FDE's parse code.
  crash_error_t find_fde(std::uint64_t offset, std::uint64_t pc, crash_async_dwarf_fde_info* info) const;

  // Parses the next FDE at or after `*offset` (from the section's start), skipping CIEs, and
  // moves `*offset` past it. Returns 0; 8 at the end of the records; otherwise as find_fde.
  crash_error_t next_fde(std::uint64_t* offset, crash_async_dwarf_fde_info* info) const;

 private:
  crash_error_t parse_fde(std::uint64_t address, crash_async_dwarf_fde_info* info) const;
  crash_error_t find_indexed(std::uint64_t pc, crash_async_dwarf_fde_info* info) const;

  const crash_async_mobject* mobj_ = nullptr;
  const crash_async_byteorder* byteorder_ = nullptr;
  bool m64_ = false;
  bool debug_frame_ = false;
  const crash_async_mobject* table_mobj_ = nullptr;  // the .eh_frame_hdr, when set
  std::uint64_t table_ = 0;                           // task address of the first table entry
  std::uint64_t table_count_ = 0;
};

}  // namespace crash::async
