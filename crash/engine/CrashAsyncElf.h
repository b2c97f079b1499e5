#pragma once
// The ELF side of a loaded image record: what the engine needs of an ELF object mapped into the
// process, found while the process is healthy and kept for crash time. Its header and program
// headers give the load bias, the code range, the GNU build-id (the image's UUID) and the
// exception-frame section the stack walker unwinds with; its section headers, read from the
// file it was loaded from, give the dynamic symbol table and, when the file carries one, the
// full symbol table.
//
// Only 64-bit little-endian objects occur in an x86-64 process; other classes are refused.
// Builders allocate and open files (not crash-safe); lookups only read through memory objects.
#include <cstdint>

#include "crash/engine/CrashAsync.h"

struct crash_async_macho;

// One symbol table of an ELF image: entries and their string table, both addresses in the task.
struct crash_async_elf_symbols {
  std::uint64_t table;          // first Elf64_Sym
  std::uint64_t count;          // entries
  std::uint64_t strings;        // first byte of the string table
  std::uint64_t strings_size;
};

struct crash_async_elf {
  std::uint32_t cpu_type;
  std::uint32_t cpu_subtype;
  bool has_uuid;
  std::uint8_t uuid[16];        // the build-id's first 16 bytes, zero-padded when shorter
  std::uint64_t eh_frame;       // task address of the exception-frame section, or 0
  std::uint64_t eh_frame_size;
  std::uint64_t eh_frame_hdr;   // task address of its search-table header, or 0
  std::uint64_t eh_frame_hdr_size;
  crash_async_elf_symbols dynamic;  // count 0 when the image has none
  crash_async_elf_symbols full;     // from the file's own table; count 0 when it has none
  std::uint64_t file_map;       // the file mapping that holds `full`, or 0
  std::uint64_t file_map_size;
};

// True when the four bytes at `magic` open an ELF header.
bool crash_async_elf_is_elf(const std::uint8_t magic[4]);

// Fills the ELF part of `image`, whose task, header address and name are already set: bias,
// code range, CPU type, build-id, exception frames and symbol tables. Returns 0; 4 for an object
// of another class or byte order; 5 for headers that do not fit the mapped memory or contradict
// each other; the read's code when the header cannot be read. Not crash-safe.
crash_error_t crash_nasync_elf_init(crash_async_macho* image);

// Releases the file mapping of the full symbol table. Not crash-safe.
void crash_nasync_elf_free(crash_async_macho* image);

// A view of the exception-frame section. Returns 0; 8 when the image has none; the memory
// object's code when it cannot be mapped. Async-signal-safe.
crash_error_t crash_async_elf_map_eh_frame(crash_async_macho* image, struct crash_async_mobject* mobj);

// A view of the exception-frame section's header, whose sorted table finds a pc's frame
// description without walking the section. Returns 0; 8 when the image has none; the memory
// object's code when it cannot be mapped. Async-signal-safe.
crash_error_t crash_async_elf_map_eh_frame_hdr(crash_async_macho* image, struct crash_async_mobject* mobj);

// The function symbol that holds `pc` (a task address): the one with the greatest start not
// above it, among symbols whose size, when they have one, reaches the pc. The dynamic table is
// searched first, so on equal starts its name is reported. Calls `callback` with (start address
// in the task, name, context) and returns 0; 8 when no symbol holds the pc. Async-signal-safe.
crash_error_t crash_async_elf_find_symbol_by_pc(crash_async_macho* image, std::uint64_t pc,
                                                void (*callback)(std::uint64_t address, const char* name,
                                                                 void* context),
                                                void* context);

// The task address of the first defined symbol named `name` (dynamic table first). Returns 0 with
// `*address` set, or 8. Async-signal-safe.
crash_error_t crash_async_elf_find_symbol_by_name(crash_async_macho* image, const char* name,
                                                  std::uint64_t* address);
