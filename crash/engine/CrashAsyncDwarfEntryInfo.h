#pragma once
// The records of a call-frame section (__eh_frame in the GCC exception-frame format, or
// __debug_frame in the DWARF format): a common information entry (CIE) holds what the frame
// descriptions (FDEs) that point at it share, an FDE the instructions for one range of code.
// These parsers read one record crash-safely through a memory object over the section.
//
// Both exist in a 32-bit and a 64-bit form (target addresses of that width); the image chooses.
// Record lengths may use the 32-bit or the 64-bit DWARF format in either form. Nothing is
// allocated; failures are crash_error_t codes with a diagnostic line, and leave the record's
// fields unspecified.
#include <cstdint>

#include "crash/engine/CrashAsyncDwarfPrimitives.h"

namespace crash::async {

template <typename machine_ptr>
struct crash_async_dwarf_cie_info {
  std::uint64_t cie_offset;  // of the contents (after the length) from the section's start
  std::uint64_t cie_length;  // as declared
  std::uint64_t cie_id;
  std::uint8_t cie_version;
  std::uint8_t address_size;  // only version 4 carries it
  std::uint8_t segment_size;  // likewise
  std::uint64_t code_alignment_factor;
  std::int64_t data_alignment_factor;
  std::uint64_t return_address_register;  // a DWARF register number

  // What the augmentation string (and its data) declared.
  struct {
    bool data_available;  // the string began with 'z'
    bool has_lsda_encoding;
    std::uint8_t lsda_encoding;
    bool has_personality_address;
    machine_ptr personality_address;
    bool has_pointer_encoding;
    std::uint8_t pointer_encoding;  // of the FDEs' addresses
    bool signal_frame;
  } eh_augmentation;

  std::uint64_t initial_instructions_offset;  // from the section's start
  std::uint64_t initial_instructions_length;
};

// Parses the CIE whose length field is at `address` in `mobj`, whose base is the section's
// start; personality pointers are read with `ptr_reader`. Returns 0; 5 for a record that does not
// fit the object or contradicts itself (an id that is neither 0 nor all ones, a version other
// than 1, 3 or 4, a length shorter than what was read); 4 for an augmentation string that does
// not begin with 'z'; the read's code for an augmentation value that cannot be read.
template <typename machine_ptr>
crash_error_t crash_async_dwarf_cie_info_init(crash_async_dwarf_cie_info<machine_ptr>* info,
                                              const crash_async_mobject* mobj, const crash_async_byteorder* byteorder,
                                              const gnu_ehptr_reader<machine_ptr>* ptr_reader, std::uint64_t address);

template <typename machine_ptr>
std::uint64_t crash_async_dwarf_cie_info_initial_instructions_offset(const crash_async_dwarf_cie_info<machine_ptr>* info) {
  return info->initial_instructions_offset;
}
template <typename machine_ptr>
std::uint64_t crash_async_dwarf_cie_info_initial_instructions_length(const crash_async_dwarf_cie_info<machine_ptr>* info) {
  return info->initial_instructions_length;
}
// Nothing is held.
template <typename machine_ptr>
void crash_async_dwarf_cie_info_free(crash_async_dwarf_cie_info<machine_ptr>*) {}

struct crash_async_dwarf_fde_info {
  std::uint64_t fde_offset;  // of the contents (after the length) from the section's start
  std::uint64_t fde_length;
  std::uint64_t cie_offset;  // of the owning CIE's length field from the section's start
  std::uint64_t pc_start;
  std::uint64_t pc_end;  // exclusive
  std::uint64_t instructions_offset;  // from the section's start
  std::uint64_t instructions_length;
};

// Parses the FDE whose length field is at `address` in `mobj` (based at the section's start),
// with its CIE. `debug_frame` says how the CIE pointer reads: an offset from the section's start
// (__debug_frame) or a distance back from the pointer itself (__eh_frame). Returns 0; 5 for a
// record that does not fit the object, a CIE pointer outside the section, or a range that passes
// 2^64 - 1; the CIE's or the pointer read's code.
template <typename machine_ptr>
crash_error_t crash_async_dwarf_fde_info_init(crash_async_dwarf_fde_info* info, const crash_async_mobject* mobj,
                                              const crash_async_byteorder* byteorder, std::uint64_t address,
                                              bool debug_frame);

inline std::uint64_t crash_async_dwarf_fde_info_instructions_offset(const crash_async_dwarf_fde_info* info) {
  return info->instructions_offset;
}
inline std::uint64_t crash_async_dwarf_fde_info_instructions_length(const crash_async_dwarf_fde_info* info) {
  return info->instructions_length;
}
// Nothing is held.
inline void crash_async_dwarf_fde_info_free(crash_async_dwarf_fde_info*) {}

}  // namespace crash::async
