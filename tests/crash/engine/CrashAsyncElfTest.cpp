#include "crash/engine/CrashAsyncElf.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>

#include "crash/engine/CrashAsyncImageList.h"
#include "crash/engine/CrashAsyncMachO.h"
#include "tests/crash/engine/MachOFixture.h"
#include "tests/crash/engine/StderrCapture.h"

namespace {

// What a command printed.
std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  pclose(pipe);
  return output;
}

// The build-id readelf prints for a file, cut to the 16 bytes a UUID holds.
std::string readelfBuildId(const std::string& path) {
  const std::string notes = run("readelf -n '" + path + "'");
  const std::size_t at = notes.find("Build ID: ");
  if (at == std::string::npos) return "";
  return notes.substr(at + 10, 32);
}

// Address and size of a section as readelf prints them.
bool readelfSection(const std::string& path, const std::string& name, std::uint64_t* address, std::uint64_t* size) {
  std::istringstream lines(run("readelf -SW '" + path + "'"));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find(" " + name + " ");
    if (at == std::string::npos) continue;
    std::istringstream fields(line.substr(at + name.size() + 2));
    std::string type;
    std::string offset;
    fields >> type >> std::hex >> *address >> offset >> *size;
    return true;
  }
  return false;
}

std::string hex(const std::uint8_t bytes[16]) {
  std::string text;
  char digits[3];
  for (int i = 0; i < 16; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
    text += digits;
  }
  return text;
}

using test::Found;
using test::symbolAt;

// A function only the file's full symbol table names: internal linkage, with its symbol name given
// outright. extern "C" would not name it so under clang, which mangles a C function of internal
// linkage (and adds the plain name only as a second symbol at the same address).
__attribute__((noinline, used)) int elf_test_local_function(int x) asm("elf_test_local_function");
int elf_test_local_function(int x) {
  asm volatile("" ::: "memory");
  return x * 7 + 1;
}

// The live list of this process's images.
class LiveImages : public testing::Test {
 protected:
  void SetUp() override {
    crash_nasync_image_list_init(&list_, kernel::task_self());
    crash_nasync_image_list_refresh(&list_);
    crash_async_image_list_set_reading(&list_, true);
  }
  void TearDown() override {
    crash_async_image_list_set_reading(&list_, false);
    crash_nasync_image_list_free(&list_);
  }
  crash_async_macho* containing(const void* address) {
    return crash_async_image_containing_address(&list_, reinterpret_cast<std::uint64_t>(address));
  }

  crash_async_image_list list_{};
};

TEST_F(LiveImages, DescribeTheExecutableAndLibc) {
  void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(libc, nullptr);
  void* getpid_address = dlsym(libc, "getpid");
  ASSERT_NE(getpid_address, nullptr);
  crash_async_macho* executable = containing(reinterpret_cast<const void*>(&elf_test_local_function));
  crash_async_macho* c_library = containing(getpid_address);
  ASSERT_NE(executable, nullptr);
  ASSERT_NE(c_library, nullptr);

  for (crash_async_macho* image : {executable, c_library}) {
    SCOPED_TRACE(image->name);
    EXPECT_EQ(image->format, CRASH_ASYNC_IMAGE_ELF);
    EXPECT_EQ(crash_async_macho_cpu_type(image), 0x01000007u);
    EXPECT_EQ(crash_async_macho_cpu_subtype(image), 3u);
    std::uint8_t uuid[16];
    ASSERT_EQ(crash_async_macho_uuid(image, uuid), CRASH_ESUCCESS);
    const std::string expected = readelfBuildId(image->name);
    ASSERT_EQ(expected.size(), 32u);
    EXPECT_EQ(hex(uuid), expected);

    // The exception frames the unwinder reads, where and as long as the file says.
    std::uint64_t address = 0;
    std::uint64_t size = 0;
    ASSERT_TRUE(readelfSection(image->name, ".eh_frame", &address, &size));
    crash_async_mobject eh_frame;
    ASSERT_EQ(crash_async_macho_map_section(image, "__TEXT", "__eh_frame", &eh_frame), CRASH_ESUCCESS);
    EXPECT_EQ(crash_async_mobject_base_address(&eh_frame), address + image->vmaddr_slide);
    EXPECT_EQ(crash_async_mobject_length(&eh_frame), size);
    crash_async_mobject_free(&eh_frame);

    // What only Mach-O images have.
    crash_async_mobject none;
    EXPECT_EQ(crash_async_macho_map_section(image, "__TEXT", "__unwind_info", &none), CRASH_ENOTFOUND);
    EXPECT_EQ(crash_async_macho_map_section(image, "__DATA", "__objc_const", &none), CRASH_ENOTFOUND);
    EXPECT_EQ(crash_async_macho_find_command(image, CRASH_MACHO_LC_UUID), nullptr);
    crash_async_macho_symtab_reader reader;
    EXPECT_EQ(crash_async_macho_symtab_reader_init(&reader, image), CRASH_ENOTFOUND);
  }

  // An exported function, by name and by an address inside it; aliases share its address.
  std::uint64_t address = 0;
  ASSERT_EQ(crash_async_macho_find_symbol_by_name(c_library, "getpid", &address), CRASH_ESUCCESS);
  EXPECT_EQ(address, reinterpret_cast<std::uint64_t>(getpid_address));
  Found found;
  ASSERT_EQ(symbolAt(c_library, address + 1, &found), CRASH_ESUCCESS);
  EXPECT_EQ(found.address, address);
  EXPECT_EQ(dlsym(libc, found.name.c_str()), getpid_address) << found.name;

  // A static function of the executable, named by the full symbol table of its file and not exported.
  ASSERT_EQ(dlsym(RTLD_DEFAULT, "elf_test_local_function"), nullptr);
  const auto local = reinterpret_cast<std::uint64_t>(&elf_test_local_function);
  ASSERT_EQ(symbolAt(executable, local + 2, &found), CRASH_ESUCCESS);
  EXPECT_EQ(found.name, "elf_test_local_function");
  EXPECT_EQ(found.address, local);
  EXPECT_EQ(crash_async_macho_find_symbol_by_name(executable, "elf_test_local_function", &address), CRASH_ESUCCESS);
  EXPECT_EQ(address, local);
  EXPECT_EQ(crash_async_macho_find_symbol_by_name(executable, "no_such_function_anywhere", &address),
            CRASH_ENOTFOUND);
  dlclose(libc);
}

// The kernel's virtual shared object has no file; its exports are read from memory.
TEST_F(LiveImages, NameTheVirtualSharedObjectsExports) {
  const std::uint64_t header = getauxval(AT_SYSINFO_EHDR);
  if (header == 0) GTEST_SKIP() << "no virtual shared object in this process";
  crash_async_macho* vdso = containing(reinterpret_cast<const void*>(header));
  ASSERT_NE(vdso, nullptr);
  EXPECT_EQ(vdso->header_addr, header);
  std::uint64_t address = 0;
  ASSERT_EQ(crash_async_macho_find_symbol_by_name(vdso, "__vdso_clock_gettime", &address), CRASH_ESUCCESS);
  EXPECT_TRUE(crash_async_macho_contains_address(vdso, address));
  Found found;
  ASSERT_EQ(symbolAt(vdso, address, &found), CRASH_ESUCCESS);
  EXPECT_EQ(found.address, address);
}

// A library whose file cannot be opened (deleted or replaced since it was loaded) still names
// its exports through its dynamic section, whose GNU hash table gives the symbol count.
TEST_F(LiveImages, NameExportsWithoutTheFile) {
  void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(libc, nullptr);
  void* getpid_address = dlsym(libc, "getpid");
  crash_async_macho* loaded = containing(getpid_address);
  ASSERT_NE(loaded, nullptr);
  std::uint64_t address = 0;
  std::uint64_t size = 0;
  ASSERT_TRUE(readelfSection(loaded->name, ".dynsym", &address, &size));

  crash_async_macho image{};
  ASSERT_EQ(crash_nasync_macho_init(&image, kernel::task_self(), "/nonexistent/libc.so.6", loaded->header_addr),
            CRASH_ESUCCESS);
  EXPECT_EQ(image.elf.full.count, 0u);
  EXPECT_EQ(image.elf.dynamic.table, address + image.vmaddr_slide);
  EXPECT_EQ(image.elf.dynamic.count, size / 24);
  ASSERT_EQ(crash_async_macho_find_symbol_by_name(&image, "getpid", &address), CRASH_ESUCCESS);
  EXPECT_EQ(address, reinterpret_cast<std::uint64_t>(getpid_address));
  crash_nasync_macho_free(&image);
  dlclose(libc);
}

// Malformed headers are refused; an image's symbols never come from a file that is not the
// object in memory.
TEST(ElfImage, RefusesMalformedHeadersAndForeignFiles) {
  const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  // The executable's first page (header, program headers, build-id note), then a guard page.
  const auto* own = reinterpret_cast<const std::uint8_t*>(getauxval(AT_PHDR) - 64);
  ASSERT_EQ(std::memcmp(own, "\x7f" "ELF", 4), 0);
  struct Case {
    const char* name;
    std::function<void(std::uint8_t*)> patch;
    crash_error_t expected;
  };
  auto put16 = [](std::uint8_t* at, std::uint16_t value) { std::memcpy(at, &value, 2); };
  auto put64 = [](std::uint8_t* at, std::uint64_t value) { std::memcpy(at, &value, 8); };
  const Case cases[] = {
      {"32-bit class", [](std::uint8_t* h) { h[4] = 1; }, CRASH_ENOTSUP},
      {"big-endian data", [](std::uint8_t* h) { h[5] = 2; }, CRASH_ENOTSUP},
      {"program header size", [&](std::uint8_t* h) { put16(h + 54, 32); }, CRASH_EINVAL},
      {"no program headers", [&](std::uint8_t* h) { put16(h + 56, 0); }, CRASH_EINVAL},
      {"program headers past the mapping", [&](std::uint8_t* h) { put64(h + 32, page - 8); }, CRASH_EINVAL},
      {"program headers at a wrapping offset", [&](std::uint8_t* h) { put64(h + 32, ~std::uint64_t{0} - 8); },
       CRASH_EINVAL},
      {"no segment maps the header",
       [&](std::uint8_t* h) {
         std::uint64_t phoff = 0;
         std::uint16_t phnum = 0;
         std::memcpy(&phoff, h + 32, 8);
         std::memcpy(&phnum, h + 56, 2);
         for (std::uint16_t i = 0; i < phnum; ++i) put64(h + phoff + 56 * i + 8, 0x1000);  // p_offset
       },
       CRASH_EINVAL},
      {"a copy whose path names another object", [](std::uint8_t*) {}, CRASH_ESUCCESS},
  };
  void* memory = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  auto* copy = static_cast<std::uint8_t*>(memory);
  mprotect(copy + page, page, PROT_NONE);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::memcpy(copy, own, page);
    c.patch(copy);
    crash_async_macho image{};
    test::StderrCapture capture;
    const crash_error_t error = crash_nasync_macho_init(&image, kernel::task_self(), "/lib/x86_64-linux-gnu/libc.so.6",
                                                        reinterpret_cast<std::uint64_t>(copy));
    EXPECT_EQ(error, c.expected) << capture.text();
    if (error != CRASH_ESUCCESS) continue;
    // The copy is this executable's header; the file named is libc, so its tables are not used.
    EXPECT_EQ(image.elf.dynamic.count, 0u);
    EXPECT_EQ(image.elf.full.count, 0u);
    Found found;
    EXPECT_EQ(symbolAt(&image, reinterpret_cast<std::uint64_t>(&elf_test_local_function), &found), CRASH_ENOTFOUND);
    std::uint8_t uuid[16];
    EXPECT_EQ(crash_async_macho_uuid(&image, uuid), CRASH_ESUCCESS);
    crash_nasync_macho_free(&image);
  }
  munmap(memory, 2 * page);
}

}  // namespace
