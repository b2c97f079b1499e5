#pragma once
// The name of the function holding an address, from an image's symbol table, its object-runtime
// class metadata, or both: the source that gives the greater start address wins, the metadata's
// name on a tie. Used by the report writer for every stack frame.
#include <cstdint>

#include "crash/engine/CrashAsync.h"
#include "crash/engine/CrashAsyncMachO.h"
#include "crash/engine/CrashAsyncObjC.h"

// Which sources a lookup consults.
enum : std::uint32_t {
  CRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE = 0x1,
  CRASH_ASYNC_SYMBOL_STRATEGY_OBJC = 0x2,
};

// Looks `pc` up in the sources `strategy` names and calls `callback` with (start address, name,
// context); the name, at most 255 bytes, is valid only during the call. Methods are named
// "-[Class method]" or "+[Class method]". Returns 0; the symbol table's code (8 for a source not
// asked) when neither source knows the pc; 6 when a source answered but gave no readable name.
// Async-signal-safe; `cache` carries section views from one lookup to the next.
crash_error_t crash_async_find_symbol(crash_async_macho* image, std::uint32_t strategy,
                                      crash_async_symbol_cache* cache, std::uint64_t pc,
                                      crash_async_macho_found_symbol_cb callback, void* context);
