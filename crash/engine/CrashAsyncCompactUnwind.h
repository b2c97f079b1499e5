#pragma once
// Reading of the compact unwind section (__TEXT,__unwind_info) that the linker writes into a
// Mach-O image: one 32-bit encoding per function saying how its frame is laid out (frame
// pointer or not, stack size, which callee-saved registers lie where). The reader looks up the
// encoding of an address, decodes it for x86-64 or i386, and computes the caller's registers;
// encodings that defer to DWARF or mark the end of the stack are left to the other frame readers.
//
// Every table of the section is checked to lie inside the mapped section before it is read, so a
// malformed section yields a code, never a read outside it. Everything here is crash-safe:
// nothing is allocated, failures are codes with a diagnostic line.
#include <cstdint>

#include "crash/engine/CrashAsync.h"
#include "crash/engine/CrashAsyncMObject.h"
#include "crash/engine/CrashAsyncThreadState.h"
#include "crash/engine/CrashFrameCursor.h"

// The section's header: seven 32-bit fields in their stored order.
struct crash_async_cfe_header {
  std::uint32_t version;
  std::uint32_t common_encodings_offset;
  std::uint32_t common_encodings_count;
  std::uint32_t personality_offset;
  std::uint32_t personality_count;
  std::uint32_t index_offset;
  std::uint32_t index_count;
};

struct crash_async_cfe_reader {
  const crash_async_mobject* section;  // borrowed
  std::uint32_t cpu_type;
  crash_async_cfe_header header;
  const crash_async_byteorder* byteorder;
};

enum crash_async_cfe_type : std::uint32_t {
  CRASH_ASYNC_CFE_TYPE_FRAME_PTR = 1,      // a frame-pointer chain
  CRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD = 2, // no frame pointer, stack size in the encoding
  CRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT = 3,  // stack size read from the function's code
  CRASH_ASYNC_CFE_TYPE_DWARF = 4,          // see the DWARF call-frame information
  CRASH_ASYNC_CFE_TYPE_NONE = 5,           // no unwind information: the end of the stack
};

inline constexpr std::uint32_t CRASH_ASYNC_CFE_SAVED_REGISTER_MAX = 10;
inline constexpr std::uint32_t CRASH_ASYNC_CFE_NO_REGISTER = 0xFFFFFFFF;

// One encoding, decoded.
struct crash_async_cfe_entry {
  crash_async_cfe_type type;
  std::uint32_t cpu_type;
  // Frame pointer: the (negative) distance from it to the save area. Frameless immediate: the
  // stack size. Frameless indirect: the offset from the function start of the immediate holding
  // the stack size. DWARF: the offset of the function's entry in the DWARF section.
  std::int64_t stack_offset;
  std::uint32_t stack_adjust;             // added to an indirect stack size
  std::uint32_t return_address_register;  // a register id, or CRASH_ASYNC_CFE_NO_REGISTER (on the stack)
  std::uint32_t register_count;
  std::uint32_t register_list[CRASH_ASYNC_CFE_SAVED_REGISTER_MAX];  // save-area order; NO_REGISTER skips a slot
};

// Sets up a reader of `section` (borrowed) for `cpu_type` (i386, x86-64 or arm64). Returns 0; 4
// for another CPU type or a version other than 1; 5 when the header does not fit the section.
crash_error_t crash_async_cfe_reader_init(crash_async_cfe_reader* reader, const crash_async_mobject* section,
                                          std::uint32_t cpu_type);

// Finds the encoding of the function holding `pc` (an offset from the image's header). Returns 0
// with the function's start (same base) and its encoding; 8 when no function holds the pc; 5 when
// a table the search needs lies outside the section or names an entry it does not hold.
crash_error_t crash_async_cfe_reader_find_pc(crash_async_cfe_reader* reader, std::uint64_t pc,
                                             std::uint64_t* function_base, std::uint32_t* encoding);

void crash_async_cfe_reader_free(crash_async_cfe_reader* reader);

// Decodes `encoding` for `cpu_type`. Returns 0; 4 for an unknown mode or CPU type; 5 for a
// register list that does not decode.
crash_error_t crash_async_cfe_entry_init(crash_async_cfe_entry* entry, std::uint32_t cpu_type,
                                         std::uint32_t encoding);

crash_async_cfe_type crash_async_cfe_entry_type(const crash_async_cfe_entry* entry);
std::int64_t crash_async_cfe_entry_stack_offset(const crash_async_cfe_entry* entry);
std::uint32_t crash_async_cfe_entry_stack_adjustment(const crash_async_cfe_entry* entry);
std::uint32_t crash_async_cfe_entry_return_address_register(const crash_async_cfe_entry* entry);
std::uint32_t crash_async_cfe_entry_register_count(const crash_async_cfe_entry* entry);
// Copies the register_count register ids to `register_list`.
void crash_async_cfe_entry_register_list(const crash_async_cfe_entry* entry, std::uint32_t* register_list);

// Computes the caller's registers of `current` into `next` for the function starting at
// `function_address` (a task address). Returns 0; 4 for DWARF and "none" entries; 8 when a
// register the entry needs is missing from `current`; 5 when the frame pointer would wrap; the
// read's code when the stack or code cannot be read.
crash_error_t crash_async_cfe_entry_apply(kernel::task_t task, std::uint64_t function_address,
                                          const crash_async_thread_state* current,
                                          const crash_async_cfe_entry* entry, crash_async_thread_state* next);

void crash_async_cfe_entry_free(crash_async_cfe_entry* entry);

// The 10-bit permutation of `count` (at most 6) distinct register numbers 1 to 6, as the
// frameless encodings store them. A count above 6 aborts.
std::uint32_t crash_async_cfe_register_encode(const std::uint32_t registers[], std::uint32_t count);
// The inverse. Returns 0, or 5 for a count above 6.
crash_error_t crash_async_cfe_register_decode(std::uint32_t permutation, std::uint32_t count,
                                              std::uint32_t registers[]);

// The compact-unwind frame reader (see crash_frame_reader_t). Returns 0; 2 when the function has
// no unwind information or its entry cannot be applied (a DWARF deferral included), so the cursor
// goes on to its next reader; 3 without an instruction pointer; 4 when no image or entry holds the
// pc or the image has no compact unwind section; 5 for a section that does not parse.
crash_frame_error_t crash_frame_cursor_read_compact_unwind(kernel::task_t task, crash_async_image_list* image_list,
                                                           const crash_async_thread_state* current,
                                                           const crash_async_thread_state* previous,
                                                           crash_async_thread_state* next);
