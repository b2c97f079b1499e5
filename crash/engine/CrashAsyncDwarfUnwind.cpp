#include "crash/engine/CrashAsyncDwarfUnwind.h"

#include "crash/engine/CrashAsyncDwarfCFAState.h"
#include "crash/engine/CrashAsyncDwarfFrameReader.h"
#include "crash/engine/CrashAsyncMachO.h"

using namespace crash::async;

namespace {

// One step at the image's width, with the section already mapped.
template <typename machine_ptr>
crash_frame_error_t unwindWithSection(kernel::task_t task, crash_async_macho* image, const crash_async_mobject* section,
                                      const crash_async_mobject* search_table, bool debug_frame, std::uint64_t pc,
                                      const crash_async_thread_state* current, crash_async_thread_state* next) {
  const crash_async_byteorder* byteorder = crash_async_macho_byteorder(image);
  const gnu_ehptr_reader<machine_ptr> ptr_reader(byteorder);
  dwarf_cfa_state<machine_ptr> state;

  dwarf_frame_reader reader;
  crash_error_t error = reader.init(section, byteorder, sizeof(machine_ptr) == 8, debug_frame);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Could not initialize a %s DWARF parser for the current frame pc: 0x%llx %d",
                    debug_frame ? "debug_frame" : "eh_frame", static_cast<unsigned long long>(pc), error);
    return CRASH_FRAME_EINVAL;
  }
  if (search_table != nullptr) reader.set_search_table(search_table);  // without it the walk still finds the FDE

  crash_async_dwarf_fde_info fde;
  if (reader.find_fde(0, pc, &fde) != CRASH_ESUCCESS) return CRASH_FRAME_ENOTSUP;

  const std::uint64_t base = crash_async_mobject_base_address(section);
  crash_async_dwarf_cie_info<machine_ptr> cie;
  error = crash_async_dwarf_cie_info_init(&cie, section, byteorder, &ptr_reader, base + fde.cie_offset);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to parse CIE at offset of 0x%llx: %d", static_cast<unsigned long long>(fde.cie_offset),
                    error);
    return CRASH_FRAME_ENOTSUP;
  }

  const auto target = static_cast<machine_ptr>(pc);
  const auto start = static_cast<machine_ptr>(fde.pc_start);
  error = state.eval_program(section, target, start, &cie, &ptr_reader, byteorder, base,
                             cie.initial_instructions_offset, cie.initial_instructions_length);
  if (error == CRASH_ESUCCESS) {
    error = state.eval_program(section, target, start, &cie, &ptr_reader, byteorder, base, fde.instructions_offset,
                               fde.instructions_length);
  }
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to evaluate CFA at offset of 0x%llx: %d",
                    static_cast<unsigned long long>(fde.instructions_offset), error);
    return CRASH_FRAME_ENOTSUP;
  }

  if ((error = state.apply_state(task, &cie, current, byteorder, next)) != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to apply CFA state for PC 0x%llx: %d", static_cast<unsigned long long>(pc), error);
    return CRASH_FRAME_ENOFRAME;
  }
  return CRASH_FRAME_ESUCCESS;
}

// Maps the image's call-frame section (and an ELF image's search table) and runs one step.
crash_frame_error_t unwindInImage(kernel::task_t task, crash_async_macho* image, std::uint64_t pc,
                                  const crash_async_thread_state* current, crash_async_thread_state* next) {
  crash_async_mobject section;
  bool debug_frame = false;
  if (crash_async_macho_map_section(image, "__TEXT", "__eh_frame", &section) != CRASH_ESUCCESS) {
    if (crash_async_macho_map_section(image, "__DWARF", "__debug_frame", &section) != CRASH_ESUCCESS) {
      return CRASH_FRAME_ENOFRAME;
    }
    debug_frame = true;
  }
  crash_async_mobject table;
  const bool has_table = !debug_frame && image->format == CRASH_ASYNC_IMAGE_ELF &&
                         crash_async_elf_map_eh_frame_hdr(image, &table) == CRASH_ESUCCESS;

  crash_frame_error_t status = CRASH_FRAME_ENOTSUP;
  if (image->m64) {
    status = unwindWithSection<std::uint64_t>(task, image, &section, has_table ? &table : nullptr, debug_frame, pc,
                                              current, next);
  } else if (pc <= 0xFFFFFFFF) {
    status = unwindWithSection<std::uint32_t>(task, image, &section, has_table ? &table : nullptr, debug_frame, pc,
                                              current, next);
  }
  if (has_table) crash_async_mobject_free(&table);
  crash_async_mobject_free(&section);
  return status;
}

}  // namespace

crash_frame_error_t crash_frame_cursor_read_dwarf_unwind(kernel::task_t task, crash_async_image_list* image_list,
                                                         const crash_async_thread_state* current,
                                                         const crash_async_thread_state* previous,
                                                         crash_async_thread_state* next) {
  if (!crash_async_thread_state_has_reg(current, 0)) {
    CRASH_ASYNC_LOG("Frame is missing a valid IP register, skipping DWARF unwind");
    return CRASH_FRAME_EBADFRAME;
  }
  return crash_frame_cursor_read_in_image(task, image_list, crash_frame_lookup_address(current, previous), current,
                                          next, unwindInImage);
}
