#include "crash/engine/CrashAsyncMachO.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "tests/crash/engine/MachOFixture.h"
#include "tests/crash/engine/StderrCapture.h"

namespace {

using test::LoadedMachO;
using test::MachOExpectations;

constexpr std::uint32_t kCpuX86_64 = 0x01000007;
constexpr std::uint32_t kCpuX86 = 7;

// An image record that frees itself.
struct Image {
  crash_async_macho record{};
  crash_error_t error;
  Image(std::uint64_t header, const std::string& path)
      : error(crash_nasync_macho_init(&record, kernel::task_self(), path.c_str(), header)) {}
  explicit Image(const LoadedMachO& loaded) : Image(loaded.header(), loaded.path()) {}
  ~Image() {
    if (error == CRASH_ESUCCESS) crash_nasync_macho_free(&record);
  }
};

std::string uuidText(const std::uint8_t bytes[16]) {
  char text[40];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

using test::Found;
using test::symbolAt;

struct Fixture {
  const char* file;
  std::uint64_t text_vmaddr;
  const char* expect;
  std::uint32_t cpu_type;
  std::uint32_t cpu_subtype;
  bool m64;
  std::uint32_t header_size;
};

// The same image in every width and byte order, and an executable linked at a fixed address.
const Fixture kFixtures[] = {
    {"libimage.dylib", 0, "libimage.dylib", kCpuX86_64, 3, true, 32},
    {"image", 0x100000000, "image", kCpuX86_64, 0x80000003, true, 32},  // 64-bit libraries flag
    {"libimage-swapped.dylib", 0, "libimage.dylib", kCpuX86_64, 3, true, 32},
    {"libimage-i386.dylib", 0, "libimage.dylib", kCpuX86, 3, false, 28},
    {"libimage-i386-swapped.dylib", 0, "libimage.dylib", kCpuX86, 3, false, 28},
};

TEST(MachOImage, ReadsHeaderSegmentsSectionsAndUuidOfEveryForm) {
  for (const Fixture& f : kFixtures) {
    SCOPED_TRACE(f.file);
    const MachOExpectations expected = test::readExpectations(f.expect);
    LoadedMachO loaded(f.file, f.text_vmaddr);
    Image image(loaded);
    ASSERT_EQ(image.error, CRASH_ESUCCESS);
    crash_async_macho* record = &image.record;

    EXPECT_EQ(crash_async_macho_cpu_type(record), f.cpu_type);
    EXPECT_EQ(crash_async_macho_cpu_subtype(record), f.cpu_subtype);
    EXPECT_EQ(record->m64, f.m64);
    EXPECT_EQ(crash_async_macho_header_size(record), f.header_size);
    EXPECT_EQ(record->vmaddr_slide, static_cast<std::int64_t>(loaded.slide()));
    EXPECT_STREQ(record->name, loaded.path().c_str());

    std::uint64_t text_size = 0;
    for (const auto& segment : expected.segments) {
      if (segment.name == "__TEXT") text_size = segment.vmsize;
    }
    EXPECT_EQ(record->text_size, text_size);
    EXPECT_TRUE(crash_async_macho_contains_address(record, loaded.header()));
    EXPECT_TRUE(crash_async_macho_contains_address(record, loaded.header() + text_size - 1));
    EXPECT_FALSE(crash_async_macho_contains_address(record, loaded.header() + text_size));
    EXPECT_FALSE(crash_async_macho_contains_address(record, loaded.header() - 1));

    for (const auto& segment : expected.segments) {
      if (segment.vmaddr < f.text_vmaddr) continue;  // the zero page below an executable
      crash_async_macho_mapped_segment mapped;
      ASSERT_EQ(crash_async_macho_map_segment(record, segment.name.c_str(), &mapped), CRASH_ESUCCESS) << segment.name;
      EXPECT_EQ(crash_async_mobject_base_address(&mapped.mobj), loaded.at(segment.vmaddr)) << segment.name;
      EXPECT_EQ(crash_async_mobject_length(&mapped.mobj), segment.vmsize) << segment.name;
      EXPECT_EQ(mapped.fileoff, segment.vmaddr - f.text_vmaddr) << segment.name;
      crash_async_macho_mapped_segment_free(&mapped);
    }
    for (const auto& section : expected.sections) {
      crash_async_mobject mobj;
      ASSERT_EQ(crash_async_macho_map_section(record, section.segment.c_str(), section.name.c_str(), &mobj),
                CRASH_ESUCCESS)
          << section.name;
      EXPECT_EQ(crash_async_mobject_base_address(&mobj), loaded.at(section.addr)) << section.name;
      ASSERT_EQ(crash_async_mobject_length(&mobj), section.size) << section.name;
      const void* contents = crash_async_mobject_remap_address(&mobj, loaded.at(section.addr), 0, section.size);
      ASSERT_NE(contents, nullptr);
      EXPECT_EQ(std::memcmp(contents, loaded.bytes(section.addr - f.text_vmaddr), section.size), 0) << section.name;
      crash_async_mobject_free(&mobj);
    }

    crash_async_mobject none;
    EXPECT_EQ(crash_async_macho_map_section(record, "__TEXT", "__nothing", &none), CRASH_ENOTFOUND);
    EXPECT_EQ(crash_async_macho_map_section(record, "__NOTHING", "__text", &none), CRASH_ENOTFOUND);
    crash_async_macho_mapped_segment no_segment;
    EXPECT_EQ(crash_async_macho_map_segment(record, "__NOTHING", &no_segment), CRASH_ENOTFOUND);

    std::uint8_t uuid[16];
    ASSERT_EQ(crash_async_macho_uuid(record, uuid), CRASH_ESUCCESS);
    EXPECT_EQ(uuidText(uuid), expected.uuid);
  }
}

TEST(MachOImage, FindsSymbolsByAddressAndName) {
  struct Case {
    const char* at;        // the pc is this symbol's value plus `offset`
    std::uint64_t offset;
    const char* expected;  // the symbol reported
    std::uint64_t bit0;    // added to the reported address
  };
  const Case cases[] = {
      {"_fixture_first", 0, "_fixture_first", 0},
      {"_fixture_first", 5, "_fixture_first", 0},
      {"_helper", 2, "_helper", 0},  // a local symbol
      // A local and two globals share one address: the global first in the table wins.
      {"_tie_local", 0, "_tie_alpha", 0},
      // A Thumb definition is reported with bit 0 set.
      {"_thumb_marked", 0, "_thumb_marked", 1},
  };
  for (const Fixture& f : kFixtures) {
    SCOPED_TRACE(f.file);
    const MachOExpectations expected = test::readExpectations(f.expect);
    LoadedMachO loaded(f.file, f.text_vmaddr);
    Image image(loaded);
    ASSERT_EQ(image.error, CRASH_ESUCCESS);
    for (const Case& c : cases) {
      Found found;
      ASSERT_EQ(symbolAt(&image.record, loaded.at(expected.symbol(c.at)) + c.offset, &found), CRASH_ESUCCESS) << c.at;
      EXPECT_EQ(found.name, c.expected) << c.at;
      EXPECT_EQ(found.address, loaded.at(expected.symbol(c.expected)) + c.bit0) << c.at;
    }
    // Below every function of the image.
    Found found;
    EXPECT_EQ(symbolAt(&image.record, loaded.header(), &found), CRASH_ENOTFOUND);

    for (const auto& symbol : expected.symbols) {
      if (symbol.type == 'A') continue;  // absolute symbols are not section symbols
      std::uint64_t address = 0;
      ASSERT_EQ(crash_async_macho_find_symbol_by_name(&image.record, symbol.name.c_str(), &address), CRASH_ESUCCESS)
          << symbol.name;
      EXPECT_EQ(address, loaded.at(symbol.value) + (symbol.name == "_thumb_marked" ? 1 : 0)) << symbol.name;
    }
    std::uint64_t address = 0;
    EXPECT_EQ(crash_async_macho_find_symbol_by_name(&image.record, "_absent", &address), CRASH_ENOTFOUND);
  }
}

TEST(MachOImage, RefusesUniversalAndUnknownHeaders) {
  struct Case {
    const char* name;
    std::uint32_t magic;  // 0: keep the file's
    const char* diagnostic;
  };
  const Case cases[] = {
      {"universal", 0, "unsupported universal Mach-O archive"},
      {"universal, swapped", 0xBEBAFECA, "unsupported universal Mach-O archive"},
      {"unknown", 0x12345678, "Unknown Mach-O magic: 0x12345678"},
  };
  for (const Case& c : cases) {
    LoadedMachO loaded("libimage-fat.dylib", 0);
    if (c.magic != 0) std::memcpy(loaded.bytes(), &c.magic, 4);
    test::StderrCapture capture;
    Image image(loaded);
    EXPECT_EQ(image.error, CRASH_EINVAL) << c.name;
    EXPECT_NE(capture.text().find(c.diagnostic), std::string::npos) << c.name;
    EXPECT_EQ(image.record.name, nullptr) << c.name;  // nothing stays allocated
  }

  LoadedMachO loaded("libimage.dylib", 0);
  test::StderrCapture capture;
  Image unreadable(loaded.header() + loaded.size(), "guard page");
  EXPECT_EQ(unreadable.error, CRASH_EINTERNAL);
  EXPECT_NE(capture.text().find("Failed to read Mach-O header from"), std::string::npos);
}

// Offsets, from the header, of the load commands of a 64-bit little-endian image.
std::vector<std::uint64_t> commandOffsets(const LoadedMachO& loaded) {
  std::uint32_t ncmds = 0;
  std::memcpy(&ncmds, loaded.bytes(16), 4);
  std::vector<std::uint64_t> offsets;
  for (std::uint64_t offset = 32; offsets.size() < ncmds;) {
    offsets.push_back(offset);
    std::uint32_t cmdsize = 0;
    std::memcpy(&cmdsize, loaded.bytes(offset + 4), 4);
    offset += cmdsize;
  }
  return offsets;
}

std::uint64_t commandOffset(const LoadedMachO& loaded, std::uint32_t type, int nth = 0) {
  for (std::uint64_t offset : commandOffsets(loaded)) {
    std::uint32_t cmd = 0;
    std::memcpy(&cmd, loaded.bytes(offset), 4);
    if (cmd == type && nth-- == 0) return offset;
  }
  ADD_FAILURE() << "no command " << type;
  return 0;
}

void put32(const LoadedMachO& loaded, std::uint64_t offset, std::uint32_t value) {
  std::memcpy(loaded.bytes(offset), &value, 4);
}

int walkCommands(crash_async_macho* image) {
  int count = 0;
  for (void* command = crash_async_macho_next_command(image, nullptr); command != nullptr;
       command = crash_async_macho_next_command(image, command)) {
    ++count;
  }
  return count;
}

// Every malformed variant is refused with its code, never read outside its mapping (the copy is
// followed by an unreadable page) and never walked forever.
TEST(MachOImage, RefusesMalformedLoadCommands) {
  struct Case {
    const char* name;
    const char* file;
    std::function<void(const LoadedMachO&)> patch;
    crash_error_t init;
    // Run on a parsed image; returns the code of the operation the case is about.
    std::function<crash_error_t(crash_async_macho*)> check;
    crash_error_t expected;
    const char* diagnostic;
  };
  auto noPatch = [](const LoadedMachO&) {};
  auto symbolLookup = [](crash_async_macho* image) {
    Found found;
    return symbolAt(image, image->header_addr + 0x370, &found);
  };
  const Case cases[] = {
      {"a command of size 0 ends the walk", "libimage-cmdsize0.dylib", noPatch, CRASH_ESUCCESS,
       [](crash_async_macho* image) { return walkCommands(image) == 4 ? CRASH_ESUCCESS : CRASH_EUNKNOWN; },
       CRASH_ESUCCESS, "Found invalid 0-length cmdsize"},
      {"the walk past a size-0 command finds no symbol table", "libimage-cmdsize0.dylib", noPatch, CRASH_ESUCCESS,
       symbolLookup, CRASH_ENOTFOUND, "could not find LC_SYMTAB load command"},
      {"a command running past the commands is not handed out", "libimage-cmdsize-past.dylib", noPatch,
       CRASH_ESUCCESS, [](crash_async_macho* image) { return walkCommands(image) == 10 ? CRASH_ESUCCESS : CRASH_EUNKNOWN; },
       CRASH_ESUCCESS, "Failed to map LC_CMD"},
      {"commands larger than the mapping", "libimage.dylib",
       [](const LoadedMachO& l) { put32(l, 20, 0x7fffff00); }, CRASH_ENOMEM, nullptr, 0,
       "Failed to map Mach-O load commands"},
      {"commands smaller than one command", "libimage.dylib", [](const LoadedMachO& l) { put32(l, 20, 4); },
       CRASH_EINVAL, nullptr, 0, "Could not find __TEXT segment!"},
      {"a command count past the commands", "libimage.dylib",
       [](const LoadedMachO& l) { put32(l, 16, 0xffffffff); }, CRASH_ESUCCESS,
       [](crash_async_macho* image) { return walkCommands(image) == 11 ? CRASH_ESUCCESS : CRASH_EUNKNOWN; },
       CRASH_ESUCCESS, nullptr},
      {"a segment command cut short at the end", "libimage.dylib",
       [](const LoadedMachO& l) {
         const std::uint64_t linkedit = commandOffset(l, CRASH_MACHO_LC_SEGMENT_64, 2);
         put32(l, linkedit + 4, 16);
         put32(l, 20, static_cast<std::uint32_t>(linkedit + 16 - 32));
       },
       CRASH_EINVAL, nullptr, 0, "LC_SEGMENT command was too short"},
      {"a segment command shorter than its fields", "libimage.dylib",
       [](const LoadedMachO& l) { put32(l, commandOffset(l, CRASH_MACHO_LC_SEGMENT_64, 1) + 4, 16); }, CRASH_EINVAL,
       nullptr, 0, "LC_SEGMENT command was too short"},
      {"a section table past the commands", "libimage.dylib",
       [](const LoadedMachO& l) { put32(l, commandOffset(l, CRASH_MACHO_LC_SEGMENT_64, 0) + 64, 1000); },
       CRASH_ESUCCESS,
       [](crash_async_macho* image) {
         crash_async_mobject mobj;
         return crash_async_macho_map_section(image, "__TEXT", "__absent", &mobj);
       },
       CRASH_EINVAL, "Section table entry outside of expected range"},
      {"a symbol table command shorter than its fields", "libimage.dylib",
       [](const LoadedMachO& l) { put32(l, commandOffset(l, CRASH_MACHO_LC_SYMTAB) + 4, 8); }, CRASH_ESUCCESS,
       symbolLookup, CRASH_EINVAL, "LC_SYMTAB command was too short"},
      {"exported symbols past the table", "libimage.dylib",
       [](const LoadedMachO& l) { put32(l, commandOffset(l, CRASH_MACHO_LC_DYSYMTAB) + 16, 0xfffffff0); },
       CRASH_ESUCCESS, symbolLookup, CRASH_EINVAL, "out of range nsym="},
      {"local symbols past the table", "libimage.dylib",
       [](const LoadedMachO& l) { put32(l, commandOffset(l, CRASH_MACHO_LC_DYSYMTAB) + 12, 0xffffffff); },
       CRASH_ESUCCESS, symbolLookup, CRASH_EINVAL, "out of range nsym="},
      {"a symbol table outside __LINKEDIT", "libimage.dylib",
       [](const LoadedMachO& l) { put32(l, commandOffset(l, CRASH_MACHO_LC_SYMTAB) + 12, 0x100000); },
       CRASH_ESUCCESS, symbolLookup, CRASH_EINTERNAL, "__LINKEDIT.symoff"},
      {"a string table outside __LINKEDIT", "libimage.dylib",
       [](const LoadedMachO& l) { put32(l, commandOffset(l, CRASH_MACHO_LC_SYMTAB) + 16, 0x1000); },
       CRASH_ESUCCESS, symbolLookup, CRASH_EINTERNAL, "__LINKEDIT.stroff"},
      {"a name beyond the strings", "libimage.dylib",
       [](const LoadedMachO& l) {
         // Every symbol's name offset, so whichever the lookup picks.
         std::uint32_t symoff = 0;
         std::uint32_t nsyms = 0;
         const std::uint64_t symtab = commandOffset(l, CRASH_MACHO_LC_SYMTAB);
         std::memcpy(&symoff, l.bytes(symtab + 8), 4);
         std::memcpy(&nsyms, l.bytes(symtab + 12), 4);
         for (std::uint32_t i = 0; i < nsyms; ++i) put32(l, symoff + 16 * i, 0x00ffffff);
       },
       CRASH_ESUCCESS, symbolLookup, CRASH_EINVAL, "End of mobject reached while walking string"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoadedMachO loaded(c.file, 0);
    c.patch(loaded);
    test::StderrCapture capture;
    Image image(loaded);
    ASSERT_EQ(image.error, c.init);
    if (c.check) {
      EXPECT_EQ(c.check(&image.record), c.expected);
    }
    const std::string diagnostics = capture.text();
    if (c.diagnostic != nullptr) {
      EXPECT_NE(diagnostics.find(c.diagnostic), std::string::npos) << diagnostics;
    }
  }
}

TEST(MachOImage, ReadsStringsOfAnyLengthUpToTheirTerminator) {
  LoadedMachO loaded("libimage.dylib", 0);
  Image image(loaded);
  ASSERT_EQ(image.error, CRASH_ESUCCESS);
  const std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  // A string that fills the last page up to the guard page, with no terminator.
  const std::uint64_t end = loaded.size();
  std::memset(loaded.bytes(end - 100), 'u', 100);
  // One that starts near the start and runs over two pages.
  std::memset(loaded.bytes(16), 'x', 2 * page + 10);
  loaded.bytes()[16 + 2 * page + 10] = '\0';

  struct Case {
    const char* name;
    std::uint64_t address;
    crash_error_t expected;
    std::uint64_t length;
    const char* diagnostic;
  };
  const Case cases[] = {
      {"longer than a page", loaded.header() + 16, CRASH_ESUCCESS, 2 * page + 10, "Mapped a string larger than one page!"},
      {"empty", loaded.header() + 16 + 2 * page + 10, CRASH_ESUCCESS, 0, nullptr},
      {"unterminated before an unreadable page", loaded.header() + end - 100, CRASH_EINVAL, 0,
       "Failed to remap additional space"},
      {"unreadable", loaded.header() + end, CRASH_ENOMEM, 0, "No mappable pages found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    crash_async_macho_string string;
    ASSERT_EQ(crash_async_macho_string_init(&string, &image.record, c.address), CRASH_ESUCCESS);
    test::StderrCapture capture;
    std::uint64_t length = 99;
    const char* pointer = nullptr;
    EXPECT_EQ(crash_async_macho_string_get_length(&string, &length), c.expected);
    if (c.expected == CRASH_ESUCCESS) {
      EXPECT_EQ(length, c.length);
      ASSERT_EQ(crash_async_macho_string_get_pointer(&string, &pointer), CRASH_ESUCCESS);
      EXPECT_EQ(reinterpret_cast<std::uint64_t>(pointer), c.address);
      EXPECT_EQ(std::strlen(pointer), c.length);
    } else {
      EXPECT_EQ(crash_async_macho_string_get_pointer(&string, &pointer), c.expected);
    }
    crash_async_macho_string_free(&string);
    const std::string diagnostics = capture.text();
    if (c.diagnostic != nullptr) {
      EXPECT_NE(diagnostics.find(c.diagnostic), std::string::npos) << diagnostics;
    }
  }
}

}  // namespace
