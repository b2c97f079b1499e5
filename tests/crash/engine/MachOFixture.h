#pragma once
// The Mach-O images of fixtures/macho, placed in memory as the loader would place them, and what
// LLVM's tools printed about them (the .expect files beside them).
//
// The images are linked so that each segment lies at the same distance from the header in memory
// as in the file (the rebuild script checks it), so loading is a copy of the file to a fresh
// page-aligned address, followed by an unreadable guard page. The copy is writable, so tests can
// patch it, and slid: the header does not sit at the image's vmaddr.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "crash/engine/CrashAsyncMachO.h"

namespace test {

// What the tools printed about one image.
struct MachOExpectations {
  struct Segment {
    std::string name;
    std::uint64_t vmaddr, vmsize;
  };
  struct Section {
    std::string segment, name;
    std::uint64_t addr, size;
  };
  struct Symbol {
    std::uint64_t value;
    char type;  // nm's letter: upper case for globals
    std::string name;
  };
  std::string uuid;  // as printed: 8-4-4-4-12 upper-case hexadecimal digits
  std::vector<Segment> segments;
  std::vector<Section> sections;
  std::vector<Symbol> symbols;  // in table order

  // The value of the symbol `name`; fails the test when there is none.
  std::uint64_t symbol(const std::string& name) const;
  // The section; fails the test when there is none.
  const Section& section(const std::string& segment, const std::string& name) const;
};

// Reads fixtures/macho/<name>.expect.
MachOExpectations readExpectations(const std::string& name);

// One image copied into memory.
class LoadedMachO {
 public:
  // Loads fixtures/macho/<name>, whose __TEXT segment starts at `text_vmaddr`. With `rebase`,
  // the pointers listed in <name>.rebase are slid as the loader slides them. With `address`, the
  // image goes there or, when that is taken, nowhere (loaded() is then false).
  LoadedMachO(const std::string& name, std::uint64_t text_vmaddr, bool rebase = false, std::uint64_t address = 0);
  bool loaded() const { return header_ != 0; }
  ~LoadedMachO();
  LoadedMachO(const LoadedMachO&) = delete;
  LoadedMachO& operator=(const LoadedMachO&) = delete;

  std::uint64_t header() const { return header_; }
  std::string path() const { return path_; }
  // Distance from the link-time addresses to where the image now is.
  std::uint64_t slide() const { return header_ - text_vmaddr_; }
  // The loaded address of a link-time address.
  std::uint64_t at(std::uint64_t vmaddr) const { return vmaddr + slide(); }
  // The writable byte at `offset` from the header.
  std::uint8_t* bytes(std::uint64_t offset = 0) const { return reinterpret_cast<std::uint8_t*>(header_ + offset); }
  std::uint64_t size() const { return size_; }  // readable bytes; the guard page follows

 private:
  std::string path_;
  std::uint64_t text_vmaddr_;
  std::uint64_t header_ = 0;
  std::uint64_t size_ = 0;
};

// The path of fixtures/macho/<name>.
std::string machoFixture(const std::string& name);

// A symbol an image reported.
struct Found {
  std::uint64_t address = 0;
  std::string name;
};

// Looks `pc` up in the symbol table of `image`; `*found` gets the symbol when the result is 0.
crash_error_t symbolAt(crash_async_macho* image, std::uint64_t pc, Found* found);

}  // namespace test
