#pragma once
// The DWARF frame reader, the frame cursor's second reader: it finds the image holding the
// instruction pointer, that image's call-frame section and the FDE covering the address, runs the
// CIE's and the FDE's instructions up to the address and applies the resulting row to compute
// the caller's registers.
//
// Crash-safe: the section view, the row and the expression stack live on the stack for one step;
// the image list is read under its reader mark.
#include "crash/engine/CrashFrameCursor.h"

// The DWARF frame reader (see crash_frame_reader_t). Returns 0; 3 without an instruction pointer;
// 4 when no image holds the pc, no FDE covers it, or its CIE or instructions do not parse; 2 when
// the image has no call-frame section or the row cannot be applied. At a frame whose rules leave
// the return address undefined (a thread's entry point) it returns 0 with an instruction pointer
// of 0, so the walk ends there instead of asking the frame-pointer reader for a caller.
crash_frame_error_t crash_frame_cursor_read_dwarf_unwind(kernel::task_t task, crash_async_image_list* image_list,
                                                         const crash_async_thread_state* current,
                                                         const crash_async_thread_state* previous,
                                                         crash_async_thread_state* next);
