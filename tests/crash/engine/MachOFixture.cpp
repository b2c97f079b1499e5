#include "tests/crash/engine/MachOFixture.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/TempDir.h"

namespace test {

std::string machoFixture(const std::string& name) { return std::string(QM_TEST_FIXTURES) + "/macho/" + name; }

crash_error_t symbolAt(crash_async_macho* image, std::uint64_t pc, Found* found) {
  return crash_async_macho_find_symbol_by_pc(
      image, pc,
      [](std::uint64_t address, const char* name, void* context) {
        *static_cast<Found*>(context) = {address, name};
      },
      found);
}

std::uint64_t MachOExpectations::symbol(const std::string& name) const {
  for (const Symbol& s : symbols) {
    if (s.name == name) return s.value;
  }
  ADD_FAILURE() << "no symbol " << name;
  return 0;
}

const MachOExpectations::Section& MachOExpectations::section(const std::string& segment,
                                                             const std::string& name) const {
  for (const Section& s : sections) {
    if (s.segment == segment && s.name == name) return s;
  }
  ADD_FAILURE() << "no section " << segment << "," << name;
  static const Section none{};
  return none;
}

MachOExpectations readExpectations(const std::string& name) {
  MachOExpectations expectations;
  std::ifstream in(machoFixture(name + ".expect"));
  EXPECT_TRUE(in.good()) << name;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    if (kind == "uuid") {
      words >> expectations.uuid;
    } else if (kind == "segment") {
      MachOExpectations::Segment s;
      words >> s.name >> std::hex >> s.vmaddr >> s.vmsize;
      expectations.segments.push_back(s);
    } else if (kind == "section") {
      MachOExpectations::Section s;
      words >> s.segment >> s.name >> std::hex >> s.addr >> s.size;
      expectations.sections.push_back(s);
    } else if (kind == "symbol") {
      MachOExpectations::Symbol s;
      words >> std::hex >> s.value >> s.type;
      words.get();  // the space before a name that may hold spaces
      std::getline(words, s.name);
      expectations.symbols.push_back(s);
    }
  }
  return expectations;
}

LoadedMachO::LoadedMachO(const std::string& name, std::uint64_t text_vmaddr, bool rebase, std::uint64_t address)
    : path_(machoFixture(name)), text_vmaddr_(text_vmaddr) {
  const std::string contents = readFile(path_);
  EXPECT_FALSE(contents.empty()) << path_;
  const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  size_ = (contents.size() + page - 1) / page * page;
  const int fixed = address != 0 ? MAP_FIXED_NOREPLACE : 0;
  void* memory = mmap(reinterpret_cast<void*>(address), size_ + page, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | fixed, -1, 0);
  if (memory == MAP_FAILED && address != 0) return;
  EXPECT_NE(memory, MAP_FAILED);
  header_ = reinterpret_cast<std::uint64_t>(memory);
  std::memcpy(memory, contents.data(), contents.size());
  mprotect(bytes(size_), page, PROT_NONE);
  if (!rebase) return;
  std::ifstream pointers(path_ + ".rebase");
  EXPECT_TRUE(pointers.good()) << name;
  for (std::uint64_t offset; pointers >> std::hex >> offset;) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes(offset - text_vmaddr), sizeof value);
    value += slide();
    std::memcpy(bytes(offset - text_vmaddr), &value, sizeof value);
  }
}

LoadedMachO::~LoadedMachO() {
  if (header_ == 0) return;
  munmap(reinterpret_cast<void*>(header_), size_ + static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)));
}

}  // namespace test
