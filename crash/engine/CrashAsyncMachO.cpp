#include "crash/engine/CrashAsyncMachO.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Sizes of the published structures, by width.
constexpr std::uint64_t kSegmentCommandSize64 = 72;
constexpr std::uint64_t kSegmentCommandSize32 = 56;
constexpr std::uint64_t kSectionSize64 = 80;
constexpr std::uint64_t kSectionSize32 = 68;
constexpr std::uint64_t kSymtabCommandSize = 24;
constexpr std::uint64_t kDysymtabCommandSize = 80;
constexpr std::uint64_t kUuidCommandSize = 24;
constexpr std::uint64_t kLoadCommandSize = 8;

std::uint64_t local(const void* pointer) { return reinterpret_cast<std::uint64_t>(pointer); }

// Fields of a load command whose bounds were verified.
std::uint32_t field32(const crash_async_macho* image, const void* base, std::uint64_t offset) {
  std::uint32_t value = 0;
  __builtin_memcpy(&value, static_cast<const char*>(base) + offset, sizeof value);
  return image->byteorder->swap32(value);
}

std::uint64_t field64(const crash_async_macho* image, const void* base, std::uint64_t offset) {
  std::uint64_t value = 0;
  __builtin_memcpy(&value, static_cast<const char*>(base) + offset, sizeof value);
  return image->byteorder->swap64(value);
}

// vmaddr, vmsize, fileoff and filesize of a verified segment command of the image's width.
struct SegmentFields {
  std::uint64_t vmaddr, vmsize, fileoff, filesize;
  std::uint32_t nsects;
};

SegmentFields segmentFields(const crash_async_macho* image, const void* command) {
  if (image->m64) {
    return {field64(image, command, 24), field64(image, command, 32), field64(image, command, 40),
            field64(image, command, 48), field32(image, command, 64)};
  }
  return {field32(image, command, 24), field32(image, command, 28), field32(image, command, 32),
          field32(image, command, 36), field32(image, command, 48)};
}

std::uint32_t segmentCommandType(const crash_async_macho* image) {
  return image->m64 ? CRASH_MACHO_LC_SEGMENT_64 : CRASH_MACHO_LC_SEGMENT;
}

std::uint64_t segmentCommandSize(const crash_async_macho* image) {
  return image->m64 ? kSegmentCommandSize64 : kSegmentCommandSize32;
}

// Whether `command` is at least `size` bytes long, by its cmdsize and inside the load commands.
// A shorter command would have its fields read from the commands after it.
bool commandHolds(const crash_async_macho* image, const void* command, std::uint64_t size) {
  return crash_async_mobject_verify_local_pointer(&image->load_cmds, local(command), 0, size) &&
         field32(image, command, 4) >= size;
}

void releaseInit(crash_async_macho* image, bool load_cmds_mapped) {
  if (load_cmds_mapped) crash_async_mobject_free(&image->load_cmds);
  free(image->name);
  image->name = nullptr;
}

}  // namespace

crash_error_t crash_nasync_macho_init(crash_async_macho* image, kernel::task_t task, const char* path,
                                      std::uint64_t header_addr) {
  image->task = task;
  image->header_addr = header_addr;
  image->name = strdup(path);
  if (image->name == nullptr) return CRASH_ENOMEM;

  const kernel::kern_return_t read =
      crash_async_read_addr(task, header_addr, &image->header, sizeof image->header);
  if (read != kernel::KERN_SUCCESS) {
    CRASH_ASYNC_LOG("Failed to read Mach-O header from 0x%llx for image %s, kern_error=%d",
                    static_cast<unsigned long long>(header_addr), path, read);
    releaseInit(image, false);
    return CRASH_EINTERNAL;
  }

  if (crash_async_elf_is_elf(reinterpret_cast<const std::uint8_t*>(&image->header))) {
    image->format = CRASH_ASYNC_IMAGE_ELF;
    const crash_error_t error = crash_nasync_elf_init(image);
    if (error != CRASH_ESUCCESS) releaseInit(image, false);
    return error;
  }

  image->format = CRASH_ASYNC_IMAGE_MACHO;
  switch (image->header.magic) {
    case CRASH_MACHO_MH_MAGIC:
      image->byteorder = &crash_async_byteorder_direct;
      image->m64 = false;
      image->header_size = 28;
      break;
    case CRASH_MACHO_MH_MAGIC_64:
      image->byteorder = &crash_async_byteorder_direct;
      image->m64 = true;
      image->header_size = 32;
      break;
    case CRASH_MACHO_MH_CIGAM:
      image->byteorder = &crash_async_byteorder_swapped;
      image->m64 = false;
      image->header_size = 28;
      break;
    case CRASH_MACHO_MH_CIGAM_64:
      image->byteorder = &crash_async_byteorder_swapped;
      image->m64 = true;
      image->header_size = 32;
      break;
    case CRASH_MACHO_FAT_MAGIC:
    case CRASH_MACHO_FAT_CIGAM:
      CRASH_ASYNC_LOG("%s called with an unsupported universal Mach-O archive in: %s", __func__, path);
      releaseInit(image, false);
      return CRASH_EINVAL;
    default:
      CRASH_ASYNC_LOG("Unknown Mach-O magic: 0x%x in: %s", image->header.magic, path);
      releaseInit(image, false);
      return CRASH_EINVAL;
  }

  image->ncmds = image->byteorder->swap32(image->header.ncmds);
  const std::uint32_t sizeofcmds = image->byteorder->swap32(image->header.sizeofcmds);
  crash_error_t error =
      crash_async_mobject_init(&image->load_cmds, task, header_addr + image->header_size, sizeofcmds, true);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to map Mach-O load commands in image %s", path);
    releaseInit(image, false);
    return error;
  }

  bool found_text = false;
  const std::uint32_t type = segmentCommandType(image);
  for (void* command = crash_async_macho_next_command_type(image, nullptr, type); command != nullptr;
       command = crash_async_macho_next_command_type(image, command, type)) {
    if (!commandHolds(image, command, segmentCommandSize(image))) {
      CRASH_ASYNC_LOG("LC_SEGMENT command was too short");
      releaseInit(image, true);
      return CRASH_EINVAL;
    }
    if (found_text || crash_async_strncmp(static_cast<const char*>(command) + 8, "__TEXT", 16) != 0) continue;
    const SegmentFields text = segmentFields(image, command);
    image->text_vmaddr = text.vmaddr;
    image->text_size = text.vmsize;
    found_text = true;
  }
  if (!found_text) {
    CRASH_ASYNC_LOG("Could not find __TEXT segment!");
    releaseInit(image, true);
    return CRASH_EINVAL;
  }
  image->vmaddr_slide = static_cast<std::int64_t>(header_addr - image->text_vmaddr);
  return CRASH_ESUCCESS;
}

void crash_nasync_macho_free(crash_async_macho* image) {
  if (image->format == CRASH_ASYNC_IMAGE_ELF) {
    crash_nasync_elf_free(image);
  } else {
    crash_async_mobject_free(&image->load_cmds);
  }
  free(image->name);
  image->name = nullptr;
}

const crash_async_byteorder* crash_async_macho_byteorder(const crash_async_macho* image) {
  return image->byteorder;
}

const crash_async_macho_header_t* crash_async_macho_header(const crash_async_macho* image) {
  return &image->header;
}

std::uint32_t crash_async_macho_header_size(const crash_async_macho* image) { return image->header_size; }

std::uint32_t crash_async_macho_cpu_type(const crash_async_macho* image) {
  if (image->format == CRASH_ASYNC_IMAGE_ELF) return image->elf.cpu_type;
  return image->byteorder->swap32(image->header.cputype);
}

std::uint32_t crash_async_macho_cpu_subtype(const crash_async_macho* image) {
  if (image->format == CRASH_ASYNC_IMAGE_ELF) return image->elf.cpu_subtype;
  return image->byteorder->swap32(image->header.cpusubtype);
}

bool crash_async_macho_contains_address(const crash_async_macho* image, std::uint64_t address) {
  return address >= image->header_addr && address - image->header_addr < image->text_size;
}

crash_error_t crash_async_macho_uuid(crash_async_macho* image, std::uint8_t uuid[16]) {
  if (image->format == CRASH_ASYNC_IMAGE_ELF) {
    if (!image->elf.has_uuid) return CRASH_ENOTFOUND;
    crash_async_memcpy(uuid, image->elf.uuid, 16);
    return CRASH_ESUCCESS;
  }
  void* command = crash_async_macho_find_command(image, CRASH_MACHO_LC_UUID);
  if (command == nullptr || !commandHolds(image, command, kUuidCommandSize)) {
    return CRASH_ENOTFOUND;
  }
  crash_async_memcpy(uuid, static_cast<const char*>(command) + 8, 16);
  return CRASH_ESUCCESS;
}

void* crash_async_macho_next_command(crash_async_macho* image, void* previous) {
  if (image->format != CRASH_ASYNC_IMAGE_MACHO) return nullptr;
  const crash_async_mobject* commands = &image->load_cmds;
  std::uint64_t next = 0;
  if (previous == nullptr) {
    if (image->byteorder->swap32(image->header.sizeofcmds) < kLoadCommandSize) {
      CRASH_ASYNC_LOG("Mach-O sizeofcmds is less than sizeof(struct load_command) in %s", image->name);
      return nullptr;
    }
    next = commands->address;
  } else {
    if (!crash_async_mobject_verify_local_pointer(commands, local(previous), 0, kLoadCommandSize)) {
      CRASH_ASYNC_LOG("Failed to map LC_CMD at address %p in: %s", previous, image->name);
      return nullptr;
    }
    const std::uint32_t cmdsize = field32(image, previous, 4);
    if (cmdsize < kLoadCommandSize) {
      CRASH_ASYNC_LOG("Found invalid 0-length cmdsize in LC_CMD at address %p in: %s (terminating further iteration)",
                      previous, image->name);
      return nullptr;
    }
    if (__builtin_add_overflow(local(previous), cmdsize, &next)) {
      CRASH_ASYNC_LOG("Found invalid cmdsize in LC_CMD at address %p in: %s", previous, image->name);
      return nullptr;
    }
    if (next >= commands->address + commands->length) return nullptr;
  }
  // Every command handed out lies wholly inside the load commands, the first included, so its
  // readers only need to check that it is as long as its type requires.
  void* command = reinterpret_cast<void*>(next);
  if (!crash_async_mobject_verify_local_pointer(commands, next, 0, kLoadCommandSize) ||
      !crash_async_mobject_verify_local_pointer(commands, next, 0, field32(image, command, 4))) {
    CRASH_ASYNC_LOG("Failed to map LC_CMD at address %p in: %s", command, image->name);
    return nullptr;
  }
  return command;
}

void* crash_async_macho_next_command_type(crash_async_macho* image, void* previous, std::uint32_t type) {
  for (void* command = crash_async_macho_next_command(image, previous); command != nullptr;
       command = crash_async_macho_next_command(image, command)) {
    if (field32(image, command, 0) == type) return command;
  }
  return nullptr;
}

void* crash_async_macho_find_command(crash_async_macho* image, std::uint32_t type) {
  return crash_async_macho_next_command_type(image, nullptr, type);
}

void* crash_async_macho_find_segment_cmd(crash_async_macho* image, const char* segname) {
  const std::uint32_t type = segmentCommandType(image);
  for (void* command = crash_async_macho_next_command_type(image, nullptr, type); command != nullptr;
       command = crash_async_macho_next_command_type(image, command, type)) {
    if (!commandHolds(image, command, segmentCommandSize(image))) continue;
    if (crash_async_strncmp(static_cast<const char*>(command) + 8, segname, 16) == 0) return command;
  }
  return nullptr;
}

crash_error_t crash_async_macho_map_segment(crash_async_macho* image, const char* segname,
                                            crash_async_macho_mapped_segment* segment) {
  const void* command = crash_async_macho_find_segment_cmd(image, segname);
  if (command == nullptr) return CRASH_ENOTFOUND;
  const SegmentFields fields = segmentFields(image, command);
  segment->fileoff = fields.fileoff;
  segment->filesize = fields.filesize;
  return crash_async_mobject_init(&segment->mobj, image->task,
                                  fields.vmaddr + static_cast<std::uint64_t>(image->vmaddr_slide),
                                  fields.vmsize, false);
}

void crash_async_macho_mapped_segment_free(crash_async_macho_mapped_segment* segment) {
  crash_async_mobject_free(&segment->mobj);
}

crash_error_t crash_async_macho_map_section(crash_async_macho* image, const char* segname,
                                            const char* sectname, crash_async_mobject* mobj) {
  if (image->format == CRASH_ASYNC_IMAGE_ELF) {
    if (crash_async_strcmp(segname, "__TEXT") == 0 && crash_async_strcmp(sectname, "__eh_frame") == 0) {
      return crash_async_elf_map_eh_frame(image, mobj);
    }
    return CRASH_ENOTFOUND;
  }
  const void* command = crash_async_macho_find_segment_cmd(image, segname);
  if (command == nullptr) return CRASH_ENOTFOUND;
  const SegmentFields fields = segmentFields(image, command);
  if (fields.nsects == 0) return CRASH_ENOTFOUND;

  const std::uint64_t section_size = image->m64 ? kSectionSize64 : kSectionSize32;
  const std::uint64_t first = local(command) + segmentCommandSize(image);
  for (std::uint32_t i = 0; i < fields.nsects; ++i) {
    const std::uint64_t section = first + i * section_size;
    if (!crash_async_mobject_verify_local_pointer(&image->load_cmds, section, 0, section_size)) {
      CRASH_ASYNC_LOG("Section table entry outside of expected range; searching for (%s,%s)", segname, sectname);
      return CRASH_EINVAL;
    }
    const void* header = reinterpret_cast<const void*>(section);
    if (crash_async_strncmp(static_cast<const char*>(header), sectname, 16) != 0) continue;
    const std::uint64_t addr = image->m64 ? field64(image, header, 32) : field32(image, header, 32);
    const std::uint64_t size = image->m64 ? field64(image, header, 40) : field32(image, header, 36);
    return crash_async_mobject_init(mobj, image->task, addr + static_cast<std::uint64_t>(image->vmaddr_slide),
                                    size, true);
  }
  return CRASH_ENOTFOUND;
}

namespace {

// The table at `file_offset` of __LINKEDIT, `length` bytes long, or null when it lies outside.
void* linkeditTable(const crash_async_macho_mapped_segment* linkedit, std::uint64_t file_offset,
                    std::uint64_t length) {
  const std::int64_t delta = static_cast<std::int64_t>(file_offset - linkedit->fileoff);
  std::uint64_t address = 0;
  if (!crash_async_address_apply_offset(crash_async_mobject_base_address(&linkedit->mobj), delta, &address)) {
    return nullptr;
  }
  return crash_async_mobject_remap_address(&linkedit->mobj, address, 0, length);
}

}  // namespace

crash_error_t crash_async_macho_symtab_reader_init(crash_async_macho_symtab_reader* reader,
                                                   crash_async_macho* image) {
  void* symtab = crash_async_macho_find_command(image, CRASH_MACHO_LC_SYMTAB);
  if (symtab == nullptr) {
    CRASH_ASYNC_LOG("could not find LC_SYMTAB load command");
    return CRASH_ENOTFOUND;
  }
  if (!commandHolds(image, symtab, kSymtabCommandSize)) {
    CRASH_ASYNC_LOG("LC_SYMTAB command was too short");
    return CRASH_EINVAL;
  }
  void* dysymtab = crash_async_macho_find_command(image, CRASH_MACHO_LC_DYSYMTAB);
  if (dysymtab != nullptr && !commandHolds(image, dysymtab, kDysymtabCommandSize)) {
    CRASH_ASYNC_LOG("LC_DYSYMTAB command was too short");
    return CRASH_EINVAL;
  }

  crash_error_t error = crash_async_macho_map_segment(image, "__LINKEDIT", &reader->linkedit);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("crash_async_mobject_init() failure: %d in %s", error, image->name);
    return CRASH_EINTERNAL;
  }

  const std::uint32_t symoff = field32(image, symtab, 8);
  const std::uint32_t nsyms = field32(image, symtab, 12);
  const std::uint32_t stroff = field32(image, symtab, 16);
  const std::uint32_t strsize = field32(image, symtab, 20);
  const std::uint64_t entry_size = image->m64 ? 16 : 12;

  reader->image = image;
  reader->nsyms = nsyms;
  reader->symtab = linkeditTable(&reader->linkedit, symoff, nsyms * entry_size);
  if (reader->symtab == nullptr) {
    CRASH_ASYNC_LOG("crash_async_mobject_remap_address(mobj, %llx, %llx) returned NULL mapping __LINKEDIT.symoff in %s",
                    static_cast<unsigned long long>(symoff), static_cast<unsigned long long>(nsyms * entry_size),
                    image->name);
    crash_async_macho_mapped_segment_free(&reader->linkedit);
    return CRASH_EINTERNAL;
  }
  reader->string_table = static_cast<char*>(linkeditTable(&reader->linkedit, stroff, strsize));
  reader->string_table_size = strsize;
  if (reader->string_table == nullptr) {
    CRASH_ASYNC_LOG("crash_async_mobject_remap_address(mobj, %llx, %llx) returned NULL mapping __LINKEDIT.stroff in %s",
                    static_cast<unsigned long long>(stroff), static_cast<unsigned long long>(strsize), image->name);
    crash_async_macho_mapped_segment_free(&reader->linkedit);
    return CRASH_EINTERNAL;
  }

  reader->symtab_global = nullptr;
  reader->nsyms_global = 0;
  reader->symtab_local = nullptr;
  reader->nsyms_local = 0;
  if (dysymtab != nullptr) {
    const std::uint64_t ilocalsym = field32(image, dysymtab, 8);
    const std::uint64_t nlocalsym = field32(image, dysymtab, 12);
    const std::uint64_t iextdefsym = field32(image, dysymtab, 16);
    const std::uint64_t nextdefsym = field32(image, dysymtab, 20);
    if (iextdefsym + nextdefsym > nsyms || ilocalsym + nlocalsym > nsyms) {
      CRASH_ASYNC_LOG("iextdefsym=%llx, ilocalsym=%llx out of range nsym=%x",
                      static_cast<unsigned long long>(iextdefsym + nextdefsym),
                      static_cast<unsigned long long>(ilocalsym + nlocalsym), nsyms);
      crash_async_macho_mapped_segment_free(&reader->linkedit);
      return CRASH_EINVAL;
    }
    reader->symtab_global = static_cast<char*>(reader->symtab) + iextdefsym * entry_size;
    reader->nsyms_global = static_cast<std::uint32_t>(nextdefsym);
    reader->symtab_local = static_cast<char*>(reader->symtab) + ilocalsym * entry_size;
    reader->nsyms_local = static_cast<std::uint32_t>(nlocalsym);
  }
  return CRASH_ESUCCESS;
}

crash_async_macho_symtab_entry crash_async_macho_symtab_reader_read(crash_async_macho_symtab_reader* reader,
                                                                    void* table, std::uint32_t index) {
  const crash_async_macho* image = reader->image;
  const std::uint64_t entry_size = image->m64 ? 16 : 12;
  const char* entry = static_cast<const char*>(table) + index * entry_size;
  crash_async_macho_symtab_entry result{};
  result.n_strx = field32(image, entry, 0);
  result.n_type = static_cast<std::uint8_t>(entry[4]);
  result.n_sect = static_cast<std::uint8_t>(entry[5]);
  std::uint16_t desc = 0;
  __builtin_memcpy(&desc, entry + 6, sizeof desc);
  result.n_desc = image->byteorder->swap16(desc);
  result.n_value = image->m64 ? field64(image, entry, 8) : field32(image, entry, 8);
  // A Thumb definition's address carries bit 0, as the processor expects it in a branch target.
  result.normalized_value = result.n_value | ((result.n_desc & 0x0008) != 0 ? 1 : 0);
  return result;
}

const char* crash_async_macho_symtab_reader_symbol_name(crash_async_macho_symtab_reader* reader,
                                                        std::uint32_t n_strx) {
  const std::uint64_t start = local(reader->string_table);
  for (std::uint64_t i = n_strx;; ++i) {
    if (!crash_async_mobject_verify_local_pointer(&reader->linkedit.mobj, start, static_cast<std::int64_t>(i), 1)) {
      CRASH_ASYNC_LOG("End of mobject reached while walking string");
      return nullptr;
    }
    if (reader->string_table[i] == '\0') return reader->string_table + n_strx;
  }
}

void crash_async_macho_symtab_reader_free(crash_async_macho_symtab_reader* reader) {
  crash_async_macho_mapped_segment_free(&reader->linkedit);
}

namespace {

// A defined symbol of a section, external or not, and no debugging entry.
bool isSectionSymbol(const crash_async_macho_symtab_entry& entry) { return (entry.n_type & 0xEE) == 0x0E; }

void searchTable(crash_async_macho_symtab_reader* reader, void* table, std::uint32_t count, std::uint64_t pc,
                 bool* found, crash_async_macho_symtab_entry* best) {
  for (std::uint32_t i = 0; i < count; ++i) {
    const crash_async_macho_symtab_entry entry = crash_async_macho_symtab_reader_read(reader, table, i);
    if (!isSectionSymbol(entry) || entry.n_value > pc) continue;
    // Only a strictly greater start beats the best: among equal starts the first scanned stays.
    if (*found && entry.n_value <= best->n_value) continue;
    *best = entry;
    *found = true;
  }
}

}  // namespace

crash_error_t crash_async_macho_find_symbol_by_pc(crash_async_macho* image, std::uint64_t pc,
                                                  crash_async_macho_found_symbol_cb callback, void* context) {
  if (image->format == CRASH_ASYNC_IMAGE_ELF) return crash_async_elf_find_symbol_by_pc(image, pc, callback, context);
  crash_async_macho_symtab_reader reader;
  const crash_error_t error = crash_async_macho_symtab_reader_init(&reader, image);
  if (error != CRASH_ESUCCESS) return error;

  const std::uint64_t slide = static_cast<std::uint64_t>(image->vmaddr_slide);
  const std::uint64_t unslid = pc - slide;
  bool found = false;
  crash_async_macho_symtab_entry best{};
  if (reader.symtab_global != nullptr && reader.symtab_local != nullptr) {
    searchTable(&reader, reader.symtab_global, reader.nsyms_global, unslid, &found, &best);
    searchTable(&reader, reader.symtab_local, reader.nsyms_local, unslid, &found, &best);
  } else {
    searchTable(&reader, reader.symtab, reader.nsyms, unslid, &found, &best);
  }
  if (!found) {
    crash_async_macho_symtab_reader_free(&reader);
    return CRASH_ENOTFOUND;
  }
  const char* name = crash_async_macho_symtab_reader_symbol_name(&reader, best.n_strx);
  if (name == nullptr) {
    CRASH_ASYNC_LOG("Failed to read symbol name");
    crash_async_macho_symtab_reader_free(&reader);
    return CRASH_EINVAL;
  }
  callback(slide + best.normalized_value, name, context);
  crash_async_macho_symtab_reader_free(&reader);
  return CRASH_ESUCCESS;
}

crash_error_t crash_async_macho_find_symbol_by_name(crash_async_macho* image, const char* name,
                                                    std::uint64_t* address) {
  if (image->format == CRASH_ASYNC_IMAGE_ELF) return crash_async_elf_find_symbol_by_name(image, name, address);
  crash_async_macho_symtab_reader reader;
  const crash_error_t error = crash_async_macho_symtab_reader_init(&reader, image);
  if (error != CRASH_ESUCCESS) return error;

  crash_error_t result = CRASH_ENOTFOUND;
  for (std::uint32_t i = 0; i < reader.nsyms; ++i) {
    const crash_async_macho_symtab_entry entry = crash_async_macho_symtab_reader_read(&reader, reader.symtab, i);
    if (!isSectionSymbol(entry)) continue;
    const char* candidate = crash_async_macho_symtab_reader_symbol_name(&reader, entry.n_strx);
    if (candidate == nullptr || crash_async_strcmp(candidate, name) != 0) continue;
    *address = entry.normalized_value + static_cast<std::uint64_t>(image->vmaddr_slide);
    result = CRASH_ESUCCESS;
    break;
  }
  crash_async_macho_symtab_reader_free(&reader);
  return result;
}

crash_error_t crash_async_macho_string_init(crash_async_macho_string* string, crash_async_macho* image,
                                            std::uint64_t address) {
  string->image = image;
  string->address = address;
  string->length = 0;
  string->mapped = false;
  return CRASH_ESUCCESS;
}

namespace {

constexpr std::uint64_t kStringPage = 4096;

crash_error_t mapString(crash_async_macho_string* string) {
  const kernel::task_t task = string->image->task;
  crash_error_t error = crash_async_mobject_init(&string->mobj, task, string->address, kStringPage, false);
  if (error != CRASH_ESUCCESS) return error;
  std::uint64_t pages = 1;
  for (std::uint64_t offset = 0;; ++offset) {
    auto* byte = static_cast<const char*>(
        crash_async_mobject_remap_address(&string->mobj, string->address, static_cast<std::int64_t>(offset), 1));
    if (byte == nullptr) {
      CRASH_ASYNC_LOG("Mapped a string larger than one page! Remapping ...");
      crash_async_mobject_free(&string->mobj);
      ++pages;
      error = crash_async_mobject_init(&string->mobj, task, string->address, pages * kStringPage, false);
      if (error == CRASH_ESUCCESS) {
        byte = static_cast<const char*>(crash_async_mobject_remap_address(
            &string->mobj, string->address, static_cast<std::int64_t>(offset), 1));
        if (byte == nullptr) crash_async_mobject_free(&string->mobj);
      }
      if (byte == nullptr) {
        CRASH_ASYNC_LOG("Failed to remap additional space ...");
        return CRASH_EINVAL;
      }
    }
    if (*byte == '\0') {
      string->length = offset;
      string->mapped = true;
      return CRASH_ESUCCESS;
    }
  }
}

}  // namespace

crash_error_t crash_async_macho_string_get_length(crash_async_macho_string* string, std::uint64_t* length) {
  if (!string->mapped) {
    const crash_error_t error = mapString(string);
    if (error != CRASH_ESUCCESS) return error;
  }
  *length = string->length;
  return CRASH_ESUCCESS;
}

crash_error_t crash_async_macho_string_get_pointer(crash_async_macho_string* string, const char** pointer) {
  if (!string->mapped) {
    const crash_error_t error = mapString(string);
    if (error != CRASH_ESUCCESS) return error;
  }
  // The terminator was seen inside the mapping, so the pointer can be used as a C string.
  const void* start = crash_async_mobject_remap_address(&string->mobj, string->address, 0, string->length + 1);
  if (start == nullptr) return CRASH_EACCESS;
  *pointer = static_cast<const char*>(start);
  return CRASH_ESUCCESS;
}

void crash_async_macho_string_free(crash_async_macho_string* string) {
  if (!string->mapped) return;
  crash_async_mobject_free(&string->mobj);
  string->mapped = false;
}
