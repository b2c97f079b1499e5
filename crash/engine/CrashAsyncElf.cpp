#include "crash/engine/CrashAsyncElf.h"

#include "crash/engine/CrashAsyncMachO.h"
#include "crash/engine/CrashAsyncMObject.h"
#include "platform/kernel/VirtualMemory.h"

#include <initializer_list>

namespace {

// Numbers of the published ELF format that the engine reads.
constexpr std::uint8_t kClass64 = 2;
constexpr std::uint8_t kDataLittleEndian = 1;
constexpr std::uint64_t kHeaderSize = 64;
constexpr std::uint64_t kProgramHeaderSize = 56;
constexpr std::uint64_t kSectionHeaderSize = 64;
constexpr std::uint64_t kSymbolSize = 24;
constexpr std::uint32_t kLoad = 1;
constexpr std::uint32_t kNote = 4;
constexpr std::uint32_t kEhFrameHeader = 0x6474e550;
constexpr std::uint32_t kExecutable = 0x1;  // segment flag
constexpr std::uint32_t kSymtab = 2;
constexpr std::uint32_t kDynsym = 11;
constexpr std::uint16_t kUndefinedSection = 0;
constexpr std::uint16_t kAbsoluteSection = 0xfff1;
constexpr std::uint32_t kBuildIdNote = 3;
// Mach-O CPU numbers the report uses for the machine of an ELF object.
constexpr std::uint32_t kCpuTypeX86 = 7;
constexpr std::uint32_t kCpuTypeX86_64 = 0x01000007;
constexpr std::uint32_t kCpuTypeArm64 = 0x0100000C;
constexpr std::uint32_t kCpuSubtypeX86All = 3;

template <typename T>
T at(const std::uint8_t* bytes, std::uint64_t offset) {
  T value{};
  __builtin_memcpy(&value, bytes + offset, sizeof value);
  return value;
}

struct ProgramHeader {
  std::uint32_t type, flags;
  std::uint64_t offset, vaddr, filesz, memsz, align;
};

ProgramHeader programHeader(const std::uint8_t* bytes) {
  return {at<std::uint32_t>(bytes, 0),  at<std::uint32_t>(bytes, 4),  at<std::uint64_t>(bytes, 8),
          at<std::uint64_t>(bytes, 16), at<std::uint64_t>(bytes, 32), at<std::uint64_t>(bytes, 40),
          at<std::uint64_t>(bytes, 48)};
}

struct SectionHeader {
  std::uint32_t type, link;
  std::uint64_t addr, offset, size, entsize;
};

SectionHeader sectionHeader(const std::uint8_t* bytes) {
  return {at<std::uint32_t>(bytes, 4),  at<std::uint32_t>(bytes, 40), at<std::uint64_t>(bytes, 16),
          at<std::uint64_t>(bytes, 24), at<std::uint64_t>(bytes, 32), at<std::uint64_t>(bytes, 56)};
}

// What init learns from the header and the program headers.
struct Layout {
  kernel::task_t task;
  std::uint64_t bias;
  std::uint64_t phoff, shoff;
  std::uint16_t phnum, shnum, shentsize;
  crash_async_mobject phdrs;
  ProgramHeader first;  // the segment that maps the header
};

std::uint64_t alignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}

// The GNU build-id in one note segment, if it holds one.
bool findBuildId(kernel::task_t task, std::uint64_t address, std::uint64_t size, std::uint64_t alignment,
                 std::uint8_t uuid[16]) {
  crash_async_mobject notes;
  if (crash_async_mobject_init(&notes, task, address, size, true) != CRASH_ESUCCESS) return false;
  const std::uint64_t align = alignment == 8 ? 8 : 4;
  bool found = false;
  for (std::uint64_t offset = 0; offset + 12 <= size && !found;) {
    const auto* head = static_cast<const std::uint8_t*>(crash_async_mobject_remap_address(&notes, address, offset, 12));
    if (head == nullptr) break;
    const std::uint64_t namesz = at<std::uint32_t>(head, 0);
    const std::uint64_t descsz = at<std::uint32_t>(head, 4);
    const std::uint32_t type = at<std::uint32_t>(head, 8);
    const std::uint64_t desc = offset + 12 + alignUp(namesz, align);
    const auto* name = static_cast<const char*>(crash_async_mobject_remap_address(&notes, address, offset + 12, namesz));
    const auto* bytes = static_cast<const std::uint8_t*>(crash_async_mobject_remap_address(&notes, address, desc, descsz));
    if (name == nullptr || bytes == nullptr) break;
    if (type == kBuildIdNote && namesz == 4 && crash_async_strncmp(name, "GNU", 4) == 0 && descsz > 0) {
      crash_async_memset(uuid, 0, 16);
      crash_async_memcpy(uuid, bytes, descsz < 16 ? descsz : 16);
      found = true;
    }
    offset = desc + alignUp(descsz, align);
  }
  crash_async_mobject_free(&notes);
  return found;
}

// Reads a pointer of the exception header's encoding at `address` (a field of the header that
// starts at `base`). Only the encodings linkers write there are understood.
bool readEncodedPointer(const crash_async_mobject* mobj, std::uint64_t address, std::uint8_t encoding,
                        std::uint64_t base, std::uint64_t bias, std::uint64_t* out) {
  std::uint64_t value = 0;
  const crash_async_byteorder* order = &crash_async_byteorder_direct;
  switch (encoding & 0x0f) {
    case 0x0:
    case 0x4:
    case 0xc: {
      if (crash_async_mobject_read_uint64(mobj, order, address, 0, &value) != CRASH_ESUCCESS) return false;
      break;
    }
    case 0x3: {
      std::uint32_t word = 0;
      if (crash_async_mobject_read_uint32(mobj, order, address, 0, &word) != CRASH_ESUCCESS) return false;
      value = word;
      break;
    }
    case 0xb: {
      std::uint32_t word = 0;
      if (crash_async_mobject_read_uint32(mobj, order, address, 0, &word) != CRASH_ESUCCESS) return false;
      value = static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(word)));
      break;
    }
    default:
      return false;
  }
  switch (encoding & 0xf0) {
    case 0x00: *out = value + bias; return true;  // a link-time address
    case 0x10: *out = value + address; return true;
    case 0x30: *out = value + base; return true;
    default: return false;
  }
}

// The exception-frame section named by the PT_GNU_EH_FRAME header, and its length: its records
// are walked up to the zero terminator or the end of the segment that holds them.
void findEhFrame(crash_async_macho* image, const Layout& layout, const ProgramHeader& header_segment) {
  const std::uint64_t hdr = layout.bias + header_segment.vaddr;
  crash_async_mobject mobj;
  if (crash_async_mobject_init(&mobj, layout.task, hdr, header_segment.memsz, true) != CRASH_ESUCCESS) return;
  std::uint8_t version = 0;
  std::uint8_t encoding = 0;
  std::uint64_t eh_frame = 0;
  const bool decoded = crash_async_mobject_read_uint8(&mobj, hdr, 0, &version) == CRASH_ESUCCESS && version == 1 &&
                       crash_async_mobject_read_uint8(&mobj, hdr, 1, &encoding) == CRASH_ESUCCESS &&
                       readEncodedPointer(&mobj, hdr + 4, encoding, hdr, layout.bias, &eh_frame);
  crash_async_mobject_free(&mobj);
  if (!decoded) return;

  std::uint64_t segment_end = 0;
  for (std::uint16_t i = 0; i < layout.phnum; ++i) {
    const auto* bytes = static_cast<const std::uint8_t*>(crash_async_mobject_remap_address(
        &layout.phdrs, crash_async_mobject_base_address(&layout.phdrs), i * kProgramHeaderSize, kProgramHeaderSize));
    const ProgramHeader ph = programHeader(bytes);
    const std::uint64_t start = layout.bias + ph.vaddr;
    if (ph.type == kLoad && eh_frame >= start && eh_frame - start < ph.filesz) segment_end = start + ph.filesz;
  }
  if (segment_end == 0) return;

  if (crash_async_mobject_init(&mobj, layout.task, eh_frame, segment_end - eh_frame, false) != CRASH_ESUCCESS) return;
  const std::uint64_t available = crash_async_mobject_length(&mobj);
  std::uint64_t offset = 0;
  const crash_async_byteorder* order = &crash_async_byteorder_direct;
  while (offset + 4 <= available) {
    std::uint32_t length = 0;
    crash_async_mobject_read_uint32(&mobj, order, eh_frame, offset, &length);
    if (length == 0) {
      offset += 4;  // the terminator belongs to the section
      break;
    }
    std::uint64_t next = offset + 4 + length;
    if (length == 0xffffffff) {
      std::uint64_t length64 = 0;
      if (crash_async_mobject_read_uint64(&mobj, order, eh_frame, offset + 4, &length64) != CRASH_ESUCCESS) break;
      if (__builtin_add_overflow(offset + 12, length64, &next)) break;
    }
    if (next > available) break;
    offset = next;
  }
  crash_async_mobject_free(&mobj);
  if (offset == 0) return;
  image->elf.eh_frame = eh_frame;
  image->elf.eh_frame_size = offset;
  image->elf.eh_frame_hdr = hdr;
  image->elf.eh_frame_hdr_size = header_segment.memsz;
}

// Whether [vaddr, vaddr + size) lies in the file-backed part of one loadable segment.
bool insideLoadedSegment(const Layout& layout, std::uint64_t vaddr, std::uint64_t size) {
  for (std::uint16_t i = 0; i < layout.phnum; ++i) {
    const auto* bytes = static_cast<const std::uint8_t*>(crash_async_mobject_remap_address(
        &layout.phdrs, crash_async_mobject_base_address(&layout.phdrs), i * kProgramHeaderSize, kProgramHeaderSize));
    const ProgramHeader ph = programHeader(bytes);
    if (ph.type == kLoad && vaddr >= ph.vaddr && size <= ph.filesz && vaddr - ph.vaddr <= ph.filesz - size) {
      return true;
    }
  }
  return false;
}

// Copies `length` bytes of our own memory (a file mapping among them) without faulting, should
// the file have shrunk under its mapping.
bool readOwn(std::uint64_t address, void* destination, std::uint64_t length) {
  return crash_async_task_memcpy(kernel::task_self(), address, 0, destination, length) == CRASH_ESUCCESS;
}

// Takes the symbol tables from the section headers of the object's file, mapped at `file`:
// the dynamic one where the loader put it, the full one in the file mapping.
void readSymbolTables(crash_async_macho* image, const Layout& layout, std::uint64_t file, std::uint64_t file_size) {
  const std::uint64_t table_size = static_cast<std::uint64_t>(layout.shnum) * kSectionHeaderSize;
  if (layout.shoff > file_size || table_size > file_size - layout.shoff) return;
  auto read_section = [&](std::uint64_t index, SectionHeader* out) {
    std::uint8_t bytes[kSectionHeaderSize];
    if (!readOwn(file + layout.shoff + index * kSectionHeaderSize, bytes, sizeof bytes)) return false;
    *out = sectionHeader(bytes);
    return true;
  };
  auto in_file = [&](std::uint64_t offset, std::uint64_t size) {
    return offset <= file_size && size <= file_size - offset;
  };

  for (std::uint16_t i = 0; i < layout.shnum; ++i) {
    SectionHeader table{};
    SectionHeader strings{};
    if (!read_section(i, &table) || (table.type != kDynsym && table.type != kSymtab)) continue;
    if (table.entsize != kSymbolSize || table.link >= layout.shnum || !read_section(table.link, &strings)) continue;
    const std::uint64_t count = table.size / kSymbolSize;
    if (table.type == kDynsym && image->elf.dynamic.count == 0 && insideLoadedSegment(layout, table.addr, table.size) &&
        insideLoadedSegment(layout, strings.addr, strings.size)) {
      image->elf.dynamic = {layout.bias + table.addr, count, layout.bias + strings.addr, strings.size};
    } else if (table.type == kSymtab && image->elf.full.count == 0 && in_file(table.offset, table.size) &&
               in_file(strings.offset, strings.size)) {
      image->elf.full = {file + table.offset, count, file + strings.offset, strings.size};
    }
  }
}

// Whether the mapped file is the object in memory: the same program headers, and the same
// build-id when the object has one.
bool fileMatches(const crash_async_macho* image, const Layout& layout, std::uint64_t file, std::uint64_t file_size) {
  const std::uint64_t phdrs_size = static_cast<std::uint64_t>(layout.phnum) * kProgramHeaderSize;
  if (file_size < kHeaderSize || layout.phoff > file_size || phdrs_size > file_size - layout.phoff) return false;
  const auto* in_memory = static_cast<const std::uint8_t*>(crash_async_mobject_remap_address(
      &layout.phdrs, crash_async_mobject_base_address(&layout.phdrs), 0, phdrs_size));
  for (std::uint64_t done = 0; done < phdrs_size;) {
    std::uint8_t chunk[256];
    const std::uint64_t n = phdrs_size - done < sizeof chunk ? phdrs_size - done : sizeof chunk;
    if (!readOwn(file + layout.phoff + done, chunk, n) || __builtin_memcmp(chunk, in_memory + done, n) != 0) {
      return false;
    }
    done += n;
  }
  if (!image->elf.has_uuid) return true;
  for (std::uint16_t i = 0; i < layout.phnum; ++i) {
    const ProgramHeader ph = programHeader(in_memory + i * kProgramHeaderSize);
    std::uint8_t uuid[16];
    if (ph.type == kNote && ph.offset <= file_size && ph.filesz <= file_size - ph.offset &&
        findBuildId(kernel::task_self(), file + ph.offset, ph.filesz, ph.align, uuid) &&
        __builtin_memcmp(uuid, image->elf.uuid, 16) == 0) {
      return true;
    }
  }
  return false;
}

// The number of entries of a dynamic symbol table, from its hash table: the chain count of a
// SysV table, or one past the highest index a GNU table reaches. 0 when it cannot be read.
std::uint64_t symbolCount(kernel::task_t task, std::uint64_t hash, bool gnu) {
  const crash_async_byteorder* order = &crash_async_byteorder_direct;
  std::uint32_t words[4] = {};
  if (crash_async_task_memcpy(task, hash, 0, words, sizeof words) != CRASH_ESUCCESS) return 0;
  if (!gnu) return words[1];
  const std::uint64_t buckets = words[0];
  const std::uint64_t first = words[1];
  const std::uint64_t bucket_table = hash + 16 + std::uint64_t{words[2]} * 8;
  std::uint32_t highest = 0;
  for (std::uint64_t i = 0; i < buckets; ++i) {
    std::uint32_t bucket = 0;
    if (crash_async_task_read_uint32(task, order, bucket_table, static_cast<std::int64_t>(i * 4), &bucket) !=
        CRASH_ESUCCESS) {
      return 0;
    }
    if (bucket > highest) highest = bucket;
  }
  if (highest < first) return first;
  // Walk the last chain to its end marker.
  const std::uint64_t chains = bucket_table + buckets * 4;
  for (std::uint64_t index = highest;; ++index) {
    std::uint32_t value = 0;
    if (crash_async_task_read_uint32(task, order, chains, static_cast<std::int64_t>((index - first) * 4), &value) !=
        CRASH_ESUCCESS) {
      return 0;
    }
    if ((value & 1) != 0) return index + 1;
  }
}

// Takes the dynamic symbol table from the dynamic section in memory.
void readDynamicSection(crash_async_macho* image, const Layout& layout) {
  constexpr std::uint32_t kDynamic = 2;
  constexpr std::int64_t kNull = 0, kHash = 4, kStrtab = 5, kSymtab = 6, kStrsz = 10, kSyment = 11;
  constexpr std::int64_t kGnuHash = 0x6ffffef5;
  std::uint64_t symtab = 0, strtab = 0, strsz = 0, syment = 0, hash = 0, gnu_hash = 0;
  for (std::uint16_t i = 0; i < layout.phnum; ++i) {
    const auto* bytes = static_cast<const std::uint8_t*>(crash_async_mobject_remap_address(
        &layout.phdrs, crash_async_mobject_base_address(&layout.phdrs), i * kProgramHeaderSize, kProgramHeaderSize));
    const ProgramHeader ph = programHeader(bytes);
    if (ph.type != kDynamic) continue;
    crash_async_mobject dynamic;
    const std::uint64_t address = layout.bias + ph.vaddr;
    if (crash_async_mobject_init(&dynamic, layout.task, address, ph.memsz, true) != CRASH_ESUCCESS) return;
    for (std::uint64_t offset = 0; offset + 16 <= ph.memsz; offset += 16) {
      const auto* entry =
          static_cast<const std::uint8_t*>(crash_async_mobject_remap_address(&dynamic, address, offset, 16));
      const auto tag = at<std::int64_t>(entry, 0);
      const auto value = at<std::uint64_t>(entry, 8);
      if (tag == kNull) break;
      if (tag == kSymtab) symtab = value;
      if (tag == kStrtab) strtab = value;
      if (tag == kStrsz) strsz = value;
      if (tag == kSyment) syment = value;
      if (tag == kHash) hash = value;
      if (tag == kGnuHash) gnu_hash = value;
    }
    crash_async_mobject_free(&dynamic);
    break;
  }
  if (symtab == 0 || strtab == 0 || syment != kSymbolSize || (hash == 0 && gnu_hash == 0)) return;
  // Some loaders relocate the entries in place, others leave them as linked.
  auto loaded = [&](std::uint64_t value) {
    return layout.bias != 0 && insideLoadedSegment(layout, value, 1) ? value + layout.bias : value;
  };
  symtab = loaded(symtab);
  strtab = loaded(strtab);
  const std::uint64_t count = symbolCount(layout.task, hash != 0 ? loaded(hash) : loaded(gnu_hash), hash == 0);
  if (count == 0 || !insideLoadedSegment(layout, symtab - layout.bias, count * kSymbolSize) ||
      !insideLoadedSegment(layout, strtab - layout.bias, strsz)) {
    return;
  }
  image->elf.dynamic = {symtab, count, strtab, strsz};
}

void findSymbols(crash_async_macho* image, const Layout& layout) {
  std::uint64_t file = 0;
  std::uint64_t file_size = 0;
  if (kernel::vm_map_file(image->name, &file, &file_size) == kernel::KERN_SUCCESS) {
    if (fileMatches(image, layout, file, file_size)) {
      readSymbolTables(image, layout, file, file_size);
    }
    if (image->elf.full.count > 0) {
      image->elf.file_map = file;
      image->elf.file_map_size = file_size;
      return;
    }
    kernel::vm_unmap_file(file, file_size);
    if (image->elf.dynamic.count > 0) return;
  }
  // Without its file (the kernel's virtual shared object has none), the dynamic section, which
  // the loader maps, still leads to the exported symbols.
  readDynamicSection(image, layout);
}

void machineNumbers(std::uint16_t machine, crash_async_elf* elf) {
  switch (machine) {
    case 62: elf->cpu_type = kCpuTypeX86_64; elf->cpu_subtype = kCpuSubtypeX86All; break;
    case 3: elf->cpu_type = kCpuTypeX86; elf->cpu_subtype = kCpuSubtypeX86All; break;
    case 183: elf->cpu_type = kCpuTypeArm64; elf->cpu_subtype = 0; break;
    default: elf->cpu_type = 0; elf->cpu_subtype = 0; break;
  }
}

}  // namespace

bool crash_async_elf_is_elf(const std::uint8_t magic[4]) {
  return magic[0] == 0x7f && magic[1] == 'E' && magic[2] == 'L' && magic[3] == 'F';
}

crash_error_t crash_nasync_elf_init(crash_async_macho* image) {
  std::uint8_t header[kHeaderSize];
  const crash_error_t read = crash_async_task_memcpy(image->task, image->header_addr, 0, header, sizeof header);
  if (read != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to read the ELF header of %s: %d", image->name, read);
    return read;
  }
  if (header[4] != kClass64 || header[5] != kDataLittleEndian) {
    CRASH_ASYNC_LOG("Unsupported ELF class %u or data encoding %u in %s", header[4], header[5], image->name);
    return CRASH_ENOTSUP;
  }
  Layout layout{};
  layout.task = image->task;
  layout.phoff = at<std::uint64_t>(header, 32);
  layout.shoff = at<std::uint64_t>(header, 40);
  layout.phnum = at<std::uint16_t>(header, 56);
  layout.shentsize = at<std::uint16_t>(header, 58);
  layout.shnum = at<std::uint16_t>(header, 60);
  if (at<std::uint16_t>(header, 54) != kProgramHeaderSize || layout.phnum == 0 || layout.phnum == 0xffff) {
    CRASH_ASYNC_LOG("Unexpected ELF program header table in %s", image->name);
    return CRASH_EINVAL;
  }
  if (layout.shentsize != kSectionHeaderSize) layout.shnum = 0;

  const std::uint64_t phdrs_size = layout.phnum * kProgramHeaderSize;
  std::uint64_t phdrs_address = 0;
  if (!crash_async_address_apply_offset(image->header_addr, static_cast<std::int64_t>(layout.phoff), &phdrs_address) ||
      layout.phoff > (std::uint64_t{1} << 62) ||
      crash_async_mobject_init(&layout.phdrs, image->task, phdrs_address, phdrs_size, true) != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("ELF program headers of %s are not mapped", image->name);
    return CRASH_EINVAL;
  }

  bool found_first = false;
  std::uint64_t code_end = 0;
  for (std::uint16_t i = 0; i < layout.phnum; ++i) {
    const auto* bytes = static_cast<const std::uint8_t*>(
        crash_async_mobject_remap_address(&layout.phdrs, phdrs_address, i * kProgramHeaderSize, kProgramHeaderSize));
    const ProgramHeader ph = programHeader(bytes);
    if (ph.type != kLoad) continue;
    if (!found_first && ph.offset == 0) {
      layout.first = ph;
      found_first = true;
    }
    if ((ph.flags & kExecutable) != 0 && ph.vaddr + ph.memsz > code_end) code_end = ph.vaddr + ph.memsz;
  }
  if (!found_first) {
    CRASH_ASYNC_LOG("No loadable segment maps the ELF header of %s", image->name);
    crash_async_mobject_free(&layout.phdrs);
    return CRASH_EINVAL;
  }

  layout.bias = image->header_addr - layout.first.vaddr;
  image->vmaddr_slide = static_cast<std::int64_t>(layout.bias);
  image->text_vmaddr = layout.first.vaddr;
  image->text_size = code_end > layout.first.vaddr ? code_end - layout.first.vaddr : 0;
  image->header_size = kHeaderSize;
  image->m64 = true;
  image->byteorder = &crash_async_byteorder_direct;
  image->ncmds = 0;
  image->load_cmds = {};
  image->elf = {};
  machineNumbers(at<std::uint16_t>(header, 18), &image->elf);

  for (std::uint16_t i = 0; i < layout.phnum; ++i) {
    const auto* bytes = static_cast<const std::uint8_t*>(
        crash_async_mobject_remap_address(&layout.phdrs, phdrs_address, i * kProgramHeaderSize, kProgramHeaderSize));
    const ProgramHeader ph = programHeader(bytes);
    if (ph.type == kNote && !image->elf.has_uuid) {
      image->elf.has_uuid = findBuildId(image->task, layout.bias + ph.vaddr, ph.filesz, ph.align, image->elf.uuid);
    } else if (ph.type == kEhFrameHeader) {
      findEhFrame(image, layout, ph);
    }
  }
  findSymbols(image, layout);
  crash_async_mobject_free(&layout.phdrs);
  return CRASH_ESUCCESS;
}

void crash_nasync_elf_free(crash_async_macho* image) {
  kernel::vm_unmap_file(image->elf.file_map, image->elf.file_map_size);
  image->elf.file_map = 0;
  image->elf.file_map_size = 0;
}

crash_error_t crash_async_elf_map_eh_frame(crash_async_macho* image, crash_async_mobject* mobj) {
  if (image->elf.eh_frame == 0) return CRASH_ENOTFOUND;
  return crash_async_mobject_init(mobj, image->task, image->elf.eh_frame, image->elf.eh_frame_size, true);
}

crash_error_t crash_async_elf_map_eh_frame_hdr(crash_async_macho* image, crash_async_mobject* mobj) {
  if (image->elf.eh_frame_hdr == 0) return CRASH_ENOTFOUND;
  return crash_async_mobject_init(mobj, image->task, image->elf.eh_frame_hdr, image->elf.eh_frame_hdr_size, true);
}

namespace {

// One symbol table and its strings, mapped for a search.
class MappedTable {
 public:
  MappedTable(kernel::task_t task, const crash_async_elf_symbols& symbols) : symbols_(symbols) {
    if (symbols.count == 0) return;
    if (crash_async_mobject_init(&table_, task, symbols.table, symbols.count * kSymbolSize, true) != CRASH_ESUCCESS) {
      return;
    }
    if (crash_async_mobject_init(&strings_, task, symbols.strings, symbols.strings_size, true) != CRASH_ESUCCESS) {
      crash_async_mobject_free(&table_);
      return;
    }
    mapped_ = true;
  }
  ~MappedTable() {
    if (!mapped_) return;
    crash_async_mobject_free(&table_);
    crash_async_mobject_free(&strings_);
  }
  MappedTable(const MappedTable&) = delete;
  MappedTable& operator=(const MappedTable&) = delete;

  std::uint64_t count() const { return mapped_ ? symbols_.count : 0; }

  // Entry `index`: name offset, type, section index, value and size.
  struct Symbol {
    std::uint32_t name;
    std::uint8_t type;
    std::uint16_t section;
    std::uint64_t value, size;
  };
  Symbol symbol(std::uint64_t index) const {
    const auto* bytes = static_cast<const std::uint8_t*>(
        crash_async_mobject_remap_address(&table_, symbols_.table, index * kSymbolSize, kSymbolSize));
    return {at<std::uint32_t>(bytes, 0), static_cast<std::uint8_t>(bytes[4] & 0xf), at<std::uint16_t>(bytes, 6),
            at<std::uint64_t>(bytes, 8), at<std::uint64_t>(bytes, 16)};
  }

  // The zero-terminated name at `offset` of the string table, or null when it runs off its end.
  const char* name(std::uint32_t offset) const {
    const auto* start =
        static_cast<const char*>(crash_async_mobject_remap_address(&strings_, symbols_.strings, offset, 1));
    if (start == nullptr) return nullptr;
    const std::uint64_t room = symbols_.strings_size - offset;
    for (std::uint64_t i = 0; i < room; ++i) {
      if (start[i] == '\0') return start;
    }
    return nullptr;
  }

 private:
  crash_async_elf_symbols symbols_;
  crash_async_mobject table_{};
  crash_async_mobject strings_{};
  bool mapped_ = false;
};

constexpr std::uint8_t kTypeNone = 0;
constexpr std::uint8_t kTypeObject = 1;
constexpr std::uint8_t kTypeFunction = 2;
constexpr std::uint8_t kTypeIndirectFunction = 10;

bool isDefined(const MappedTable::Symbol& symbol) {
  return symbol.section != kUndefinedSection && symbol.section != kAbsoluteSection;
}

}  // namespace

crash_error_t crash_async_elf_find_symbol_by_pc(crash_async_macho* image, std::uint64_t pc,
                                                void (*callback)(std::uint64_t address, const char* name,
                                                                 void* context),
                                                void* context) {
  const std::uint64_t bias = static_cast<std::uint64_t>(image->vmaddr_slide);
  const std::uint64_t unslid = pc - bias;
  // The full table lives in our own mapping of the file.
  MappedTable dynamic(image->task, image->elf.dynamic);
  MappedTable full(kernel::task_self(), image->elf.full);
  const MappedTable* best_table = nullptr;
  MappedTable::Symbol best{};
  for (const MappedTable* table : {&dynamic, &full}) {
    for (std::uint64_t i = 0; i < table->count(); ++i) {
      const MappedTable::Symbol symbol = table->symbol(i);
      if ((symbol.type != kTypeFunction && symbol.type != kTypeIndirectFunction) || !isDefined(symbol)) continue;
      if (symbol.value > unslid || (symbol.size != 0 && unslid - symbol.value >= symbol.size)) continue;
      if (best_table != nullptr && symbol.value <= best.value) continue;
      best = symbol;
      best_table = table;
    }
  }
  if (best_table == nullptr) return CRASH_ENOTFOUND;
  const char* name = best_table->name(best.name);
  if (name == nullptr) {
    CRASH_ASYNC_LOG("Failed to read symbol name");
    return CRASH_EINVAL;
  }
  callback(best.value + bias, name, context);
  return CRASH_ESUCCESS;
}

crash_error_t crash_async_elf_find_symbol_by_name(crash_async_macho* image, const char* name,
                                                  std::uint64_t* address) {
  MappedTable dynamic(image->task, image->elf.dynamic);
  MappedTable full(kernel::task_self(), image->elf.full);
  for (const MappedTable* table : {&dynamic, &full}) {
    for (std::uint64_t i = 0; i < table->count(); ++i) {
      const MappedTable::Symbol symbol = table->symbol(i);
      if (!isDefined(symbol) || (symbol.type != kTypeNone && symbol.type != kTypeObject &&
                                 symbol.type != kTypeFunction && symbol.type != kTypeIndirectFunction)) {
        continue;
      }
      const char* candidate = table->name(symbol.name);
      if (candidate == nullptr || crash_async_strcmp(candidate, name) != 0) continue;
      *address = symbol.value + static_cast<std::uint64_t>(image->vmaddr_slide);
      return CRASH_ESUCCESS;
    }
  }
  return CRASH_ENOTFOUND;
}
