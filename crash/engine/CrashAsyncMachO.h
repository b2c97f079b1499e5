#pragma once
// The image record of one loaded image and the crash-safe reading of Mach-O images: header and
// load commands, segments and sections as memory objects, symbol tables, and zero-terminated
// strings in task memory.
//
// Images are parsed once while the process is healthy (crash_nasync_macho_init); at crash time
// they are only read, through memory objects private to each reading routine. All four Mach-O
// magics are accepted, values being read in the image's byte order. A record may also describe
// an ELF image, which is what this system's loader maps: the operations that make sense for both
// (code range, CPU type, UUID, section views, symbol lookup) answer for either, and the Mach-O
// load-command walks find nothing in an ELF image.
//
// Functions named crash_nasync_* allocate and are not crash-safe; every crash_async_* function is
// async-signal-safe, allocates nothing and reports failure as a code or a null pointer, with a
// diagnostic line where one is named.
#include <atomic>
#include <cstdint>

#include "crash/engine/CrashAsync.h"
#include "crash/engine/CrashAsyncElf.h"
#include "crash/engine/CrashAsyncMObject.h"

// Load-command types and magics the engine reads.
enum : std::uint32_t {
  CRASH_MACHO_LC_SEGMENT = 0x1,
  CRASH_MACHO_LC_SYMTAB = 0x2,
  CRASH_MACHO_LC_DYSYMTAB = 0xB,
  CRASH_MACHO_LC_SEGMENT_64 = 0x19,
  CRASH_MACHO_LC_UUID = 0x1B,
  CRASH_MACHO_MH_MAGIC = 0xFEEDFACE,
  CRASH_MACHO_MH_CIGAM = 0xCEFAEDFE,
  CRASH_MACHO_MH_MAGIC_64 = 0xFEEDFACF,
  CRASH_MACHO_MH_CIGAM_64 = 0xCFFAEDFE,
  CRASH_MACHO_FAT_MAGIC = 0xCAFEBABE,
  CRASH_MACHO_FAT_CIGAM = 0xBEBAFECA,
};

// The first 28 bytes of a Mach-O header, as stored in the image.
struct crash_async_macho_header_t {
  std::uint32_t magic;
  std::uint32_t cputype;
  std::uint32_t cpusubtype;
  std::uint32_t filetype;
  std::uint32_t ncmds;
  std::uint32_t sizeofcmds;
  std::uint32_t flags;
};

enum crash_async_image_format : std::uint32_t { CRASH_ASYNC_IMAGE_MACHO = 0, CRASH_ASYNC_IMAGE_ELF = 1 };

// A parsed loaded image. Built by crash_nasync_macho_init into a zero-filled record.
struct crash_async_macho {
  kernel::task_t task;
  std::uint64_t header_addr;
  std::int64_t vmaddr_slide;         // header address - the text segment's vmaddr
  char* name;                        // private copy of the image path
  crash_async_macho_header_t header; // unswapped (for ELF: the first 28 bytes of its header)
  std::uint32_t header_size;         // 28 or 32 (ELF: 64)
  std::uint32_t ncmds;               // in host order
  crash_async_mobject load_cmds;     // the sizeofcmds bytes after the header
  std::uint64_t text_vmaddr;
  std::uint64_t text_size;           // ELF: from the header to the end of the last code segment
  bool m64;
  const crash_async_byteorder* byteorder;
  std::atomic<void*> list_node;      // the image list's node holding this record
  crash_async_image_format format;
  crash_async_elf elf;               // only for ELF images
};

// A mapped segment: its memory and the file range it was loaded from.
struct crash_async_macho_mapped_segment {
  crash_async_mobject mobj;
  std::uint64_t fileoff;
  std::uint64_t filesize;
};

// A symbol entry in host order.
struct crash_async_macho_symtab_entry {
  std::uint32_t n_strx;
  std::uint8_t n_type;
  std::uint8_t n_sect;
  std::uint16_t n_desc;
  std::uint64_t n_value;
  std::uint64_t normalized_value;  // n_value with bit 0 set for a Thumb definition
};

// Reads one image's symbol table in place inside its mapped __LINKEDIT segment.
struct crash_async_macho_symtab_reader {
  crash_async_macho* image;
  crash_async_macho_mapped_segment linkedit;
  void* symtab;
  std::uint32_t nsyms;
  void* symtab_global;
  std::uint32_t nsyms_global;
  void* symtab_local;
  std::uint32_t nsyms_local;
  char* string_table;
  std::uint32_t string_table_size;
};

// A zero-terminated string in task memory, mapped on first use.
struct crash_async_macho_string {
  crash_async_macho* image;
  std::uint64_t address;
  crash_async_mobject mobj;
  std::uint64_t length;
  bool mapped;
};

// Parses the image whose header is at `header_addr` in `task`. Returns 0; 5 for an unknown magic,
// a universal archive, a load command that does not fit or a missing __TEXT segment (or a
// malformed ELF header); 6 when the header cannot be read; the memory object's code when the load
// commands cannot be mapped. On failure nothing stays allocated. Not crash-safe.
crash_error_t crash_nasync_macho_init(crash_async_macho* image, kernel::task_t task, const char* path,
                                      std::uint64_t header_addr);
// Releases what init allocated. Not crash-safe.
void crash_nasync_macho_free(crash_async_macho* image);

const crash_async_byteorder* crash_async_macho_byteorder(const crash_async_macho* image);
const crash_async_macho_header_t* crash_async_macho_header(const crash_async_macho* image);
std::uint32_t crash_async_macho_header_size(const crash_async_macho* image);
// The CPU type and subtype in host order (for ELF, the matching Mach-O numbers).
std::uint32_t crash_async_macho_cpu_type(const crash_async_macho* image);
std::uint32_t crash_async_macho_cpu_subtype(const crash_async_macho* image);
// header address <= address < header address + text size.
bool crash_async_macho_contains_address(const crash_async_macho* image, std::uint64_t address);
// Copies the image's 16-byte UUID (LC_UUID; for ELF the GNU build-id). Returns 0, or 8 when the
// image has none.
crash_error_t crash_async_macho_uuid(crash_async_macho* image, std::uint8_t uuid[16]);

// The load command after `previous` (the first for null), or null at the end or on a malformed
// command.
void* crash_async_macho_next_command(crash_async_macho* image, void* previous);
// The next command of `type` after `previous`, or null.
void* crash_async_macho_next_command_type(crash_async_macho* image, void* previous, std::uint32_t type);
// The first command of `type`, or null.
void* crash_async_macho_find_command(crash_async_macho* image, std::uint32_t type);
// The first segment command of the image's width named `segname`, or null.
void* crash_async_macho_find_segment_cmd(crash_async_macho* image, const char* segname);

// Maps the segment `segname`. Returns 0, 8 when there is none, or the memory object's code.
// Free with crash_async_macho_mapped_segment_free.
crash_error_t crash_async_macho_map_segment(crash_async_macho* image, const char* segname,
                                            crash_async_macho_mapped_segment* segment);
void crash_async_macho_mapped_segment_free(crash_async_macho_mapped_segment* segment);

// Maps the section `sectname` of segment `segname`. Returns 0; 8 when there is none; 5 when the
// section table runs outside the load commands; the memory object's code. For an ELF image,
// ("__TEXT", "__eh_frame") is its exception-frame section and every other section is 8.
// Free with crash_async_mobject_free.
crash_error_t crash_async_macho_map_section(crash_async_macho* image, const char* segname,
                                            const char* sectname, crash_async_mobject* mobj);

// Sets up a reader of the image's symbol table. Returns 0; 8 without LC_SYMTAB (and for ELF);
// 6 when __LINKEDIT or the tables cannot be mapped; 5 when LC_DYSYMTAB's ranges overrun the
// table. Free with crash_async_macho_symtab_reader_free.
crash_error_t crash_async_macho_symtab_reader_init(crash_async_macho_symtab_reader* reader,
                                                   crash_async_macho* image);
// Entry `index` of `table` (one of the reader's three tables); the index must be below that
// table's count.
crash_async_macho_symtab_entry crash_async_macho_symtab_reader_read(crash_async_macho_symtab_reader* reader,
                                                                    void* table, std::uint32_t index);
// The zero-terminated name at `n_strx`, or null when it does not end inside __LINKEDIT.
const char* crash_async_macho_symtab_reader_symbol_name(crash_async_macho_symtab_reader* reader,
                                                        std::uint32_t n_strx);
void crash_async_macho_symtab_reader_free(crash_async_macho_symtab_reader* reader);

typedef void (*crash_async_macho_found_symbol_cb)(std::uint64_t address, const char* name, void* context);

// Finds the symbol holding `pc` and calls `callback` with its task address and name (valid only
// during the call). Returns 0; 8 when no symbol starts at or below the pc; 5 when its name
// cannot be read; the reader's code.
crash_error_t crash_async_macho_find_symbol_by_pc(crash_async_macho* image, std::uint64_t pc,
                                                  crash_async_macho_found_symbol_cb callback, void* context);
// The task address of the first section symbol named `name`. Returns 0, 8, or the reader's code.
crash_error_t crash_async_macho_find_symbol_by_name(crash_async_macho* image, const char* name,
                                                    std::uint64_t* address);

// Records the string at `address`; nothing is read yet. Returns 0.
crash_error_t crash_async_macho_string_init(crash_async_macho_string* string, crash_async_macho* image,
                                            std::uint64_t address);
// The string's length without its terminator. Returns 0; 5 when no terminator is readable.
crash_error_t crash_async_macho_string_get_length(crash_async_macho_string* string, std::uint64_t* length);
// A local pointer to the string's bytes, valid until the string is freed. Returns 0, or 7.
crash_error_t crash_async_macho_string_get_pointer(crash_async_macho_string* string, const char** pointer);
void crash_async_macho_string_free(crash_async_macho_string* string);
