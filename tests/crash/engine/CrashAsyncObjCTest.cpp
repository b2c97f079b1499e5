#include "crash/engine/CrashAsyncObjC.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "crash/engine/CrashAsyncSymbols.h"
#include "tests/crash/engine/MachOFixture.h"
#include "tests/crash/engine/StderrCapture.h"

namespace {

using test::LoadedMachO;
using test::MachOExpectations;

const std::string kLong = [] {
  std::string name;
  for (int i = 0; i < 10; ++i) name += "AVeryLongClassNameOfThirtyChar";
  return name;
}();

// The read-write head the runtime gives a class when it realizes it.
struct ReadWrite {
  std::uint32_t flags;
  std::uint32_t version;
  std::uint64_t ro;
};
constexpr std::uint32_t kRealized = 0x80000000u;
constexpr std::uint32_t kCopiedReadOnly = 0x08000000u;

// The metadata fixture, loaded and slid, with the runtime's part played by the test: it realizes
// the classes it is asked to.
class Metadata {
 public:
  explicit Metadata(std::uint64_t address = 0) : loaded_("libobjc-fixture.dylib", 0, true, address) {
    if (!loaded_.loaded()) return;
    expected_ = test::readExpectations("libobjc-fixture.dylib");
    crash_async_symbol_cache_init(&cache_);
    parsed_ = crash_nasync_macho_init(&image_, kernel::task_self(), loaded_.path().c_str(), loaded_.header()) ==
              CRASH_ESUCCESS;
  }
  ~Metadata() {
    crash_async_symbol_cache_free(&cache_);
    if (parsed_) crash_nasync_macho_free(&image_);
  }
  Metadata(const Metadata&) = delete;
  Metadata& operator=(const Metadata&) = delete;

  bool ready() const { return parsed_; }
  const LoadedMachO& loaded() const { return loaded_; }
  const MachOExpectations& expected() const { return expected_; }
  crash_async_macho* image() { return &image_; }
  crash_async_symbol_cache* cache() { return &cache_; }

  std::uint64_t classAddress(const std::string& name) { return loaded_.at(expected_.symbol("_OBJC_CLASS_$_" + name)); }
  std::uint64_t metaclassAddress(const std::string& name) {
    return loaded_.at(expected_.symbol("_OBJC_METACLASS_$_" + name));
  }
  // Word `index` of the class structure at `klass`: 0 isa, 4 data.
  std::uint64_t* field(std::uint64_t klass, int index) { return reinterpret_cast<std::uint64_t*>(klass) + index; }
  ReadWrite* head(const std::string& name) { return reinterpret_cast<ReadWrite*>(*field(classAddress(name), 4)); }

  // Gives the class at `klass` a read-write head, as the runtime does when it realizes it.
  void realize(std::uint64_t klass) {
    heads_.push_back(std::make_unique<ReadWrite>(ReadWrite{kRealized, 0, *field(klass, 4)}));
    *field(klass, 4) = reinterpret_cast<std::uint64_t>(heads_.back().get());
  }
  void realizeClass(const std::string& name) {
    realize(classAddress(name));
    realize(metaclassAddress(name));
  }
  void realizeAll() {
    for (const std::string& name : {std::string("Fixture"), std::string("Child"), kLong}) realizeClass(name);
  }

  std::uint64_t method(const std::string& symbol) { return loaded_.at(expected_.symbol(symbol)); }

  // The code of the metadata lookup alone for `pc`.
  crash_error_t findMethod(std::uint64_t pc) {
    return crash_async_objc_find_method(
        &image_, &cache_, pc, [](bool, crash_async_macho_string*, crash_async_macho_string*, std::uint64_t, void*) {},
        nullptr);
  }

  // The name the combined lookup reports for `pc`, or "" with the code.
  std::string lookup(std::uint64_t pc, std::uint32_t strategy = CRASH_ASYNC_SYMBOL_STRATEGY_OBJC,
                     crash_error_t* code = nullptr, std::uint64_t* start = nullptr) {
    std::pair<std::uint64_t, std::string> found{0, ""};
    const crash_error_t error = crash_async_find_symbol(
        &image_, strategy, &cache_, pc,
        [](std::uint64_t address, const char* name, void* context) {
          *static_cast<std::pair<std::uint64_t, std::string>*>(context) = {address, name};
        },
        &found);
    if (code != nullptr) *code = error;
    if (start != nullptr) *start = found.first;
    return found.second;
  }

 private:
  LoadedMachO loaded_;
  MachOExpectations expected_;
  crash_async_macho image_{};
  crash_async_symbol_cache cache_{};
  bool parsed_ = false;
  std::vector<std::unique_ptr<ReadWrite>> heads_;
};

TEST(ObjCMetadata, VisitsEveryMethodOfRealizedClassesAndCategories) {
  Metadata m;
  ASSERT_TRUE(m.ready());
  m.realizeAll();
  std::set<std::tuple<bool, std::string, std::string, std::uint64_t>> methods;
  ASSERT_EQ(crash_async_objc_parse(
                m.image(), m.cache(),
                [](bool is_class_method, crash_async_macho_string* class_name, crash_async_macho_string* method_name,
                   std::uint64_t imp, void* context) {
                  const char* class_chars = nullptr;
                  const char* method_chars = nullptr;
                  ASSERT_EQ(crash_async_macho_string_get_pointer(class_name, &class_chars), CRASH_ESUCCESS);
                  ASSERT_EQ(crash_async_macho_string_get_pointer(method_name, &method_chars), CRASH_ESUCCESS);
                  static_cast<decltype(methods)*>(context)->emplace(is_class_method, class_chars, method_chars, imp);
                },
                &methods),
            CRASH_ESUCCESS);
  const decltype(methods) expected = {
      {false, "Fixture", "alpha", m.method("-[Fixture alpha]")},
      {false, "Fixture", "beta:", m.method("-[Fixture beta:]")},
      {true, "Fixture", "gamma", m.method("+[Fixture gamma]")},
      {false, "Fixture", "delta", m.method("-[Fixture(Extras) delta]")},
      {true, "Fixture", "epsilon", m.method("+[Fixture(Extras) epsilon]")},
      {true, "Fixture", "theta", m.method("+[Fixture(ClassOnly) theta]")},  // a category without instance methods
      {false, "Child", "zeta", m.method("-[Child zeta]")},
      {false, kLong, "eta", m.method("-[" + kLong + " eta]")},
  };
  EXPECT_EQ(methods, expected);
}

TEST(ObjCMetadata, NamesTheMethodHoldingAnAddress) {
  Metadata m;
  ASSERT_TRUE(m.ready());
  m.realizeAll();
  struct Case {
    std::string symbol;  // the pc is this method's start plus `offset`
    std::uint64_t offset;
    std::string expected;
  };
  const Case cases[] = {
      {"-[Fixture alpha]", 0, "-[Fixture alpha]"},
      {"-[Fixture beta:]", 3, "-[Fixture beta:]"},  // between two methods: the lower one
      {"+[Fixture gamma]", 1, "+[Fixture gamma]"},
      {"-[Fixture(Extras) delta]", 0, "-[Fixture delta]"},
      {"+[Fixture(ClassOnly) theta]", 2, "+[Fixture theta]"},
      {"-[Child zeta]", 0, "-[Child zeta]"},
      // Cut at 255 bytes, without the closing bracket.
      {"-[" + kLong + " eta]", 0, ("-[" + kLong).substr(0, 255)},
  };
  for (const Case& c : cases) {
    crash_error_t code = -1;
    std::uint64_t start = 0;
    EXPECT_EQ(m.lookup(m.method(c.symbol) + c.offset, CRASH_ASYNC_SYMBOL_STRATEGY_OBJC, &code, &start), c.expected)
        << c.symbol;
    EXPECT_EQ(code, CRASH_ESUCCESS) << c.symbol;
    EXPECT_EQ(start, m.method(c.symbol)) << c.symbol;
  }

  // Below every method, the metadata alone knows nothing.
  test::StderrCapture capture;
  crash_error_t code = -1;
  EXPECT_EQ(m.lookup(m.loaded().header() + 0x10, CRASH_ASYNC_SYMBOL_STRATEGY_OBJC, &code), "");
  EXPECT_EQ(code, CRASH_ENOTFOUND);
  const std::string diagnostics = capture.text();
  EXPECT_NE(diagnostics.find("Could not find symbol for PC"), std::string::npos);
  EXPECT_NE(diagnostics.find("crash_async_macho_find_symbol_by_pc error 8, crash_async_objc_find_method error 8"),
            std::string::npos);
}

// On an equal start the metadata's name is reported: here the runtime renamed the class in a
// copy of its read-only data, so the symbol table still has the old name.
TEST(ObjCMetadata, PrefersTheMetadataNameOnATie) {
  Metadata m;
  ASSERT_TRUE(m.ready());
  m.realizeAll();
  static const char kRenamed[] = "Renamed";
  ReadWrite* head = m.head("Fixture");
  auto copy = std::make_unique<std::uint64_t[]>(9);
  std::memcpy(copy.get(), reinterpret_cast<const void*>(head->ro), 72);
  copy[3] = reinterpret_cast<std::uint64_t>(kRenamed);
  head->ro = reinterpret_cast<std::uint64_t>(copy.get());
  head->flags |= kCopiedReadOnly;

  const std::uint64_t alpha = m.method("-[Fixture alpha]");
  EXPECT_EQ(m.lookup(alpha + 1, CRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE), "-[Fixture alpha]");
  EXPECT_EQ(m.lookup(alpha + 1, CRASH_ASYNC_SYMBOL_STRATEGY_OBJC), "-[Renamed alpha]");
  EXPECT_EQ(m.lookup(alpha + 1, CRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE | CRASH_ASYNC_SYMBOL_STRATEGY_OBJC),
            "-[Renamed alpha]");
  EXPECT_EQ(m.lookup(alpha, 0), "");
}

// Classes the runtime has not realized are skipped; those it has still count when the last
// class or category examined is one it has not.
TEST(ObjCMetadata, SkipsUnrealizedClassesWithoutLosingEarlierMatches) {
  Metadata m;
  ASSERT_TRUE(m.ready());
  crash_error_t code = -1;
  EXPECT_EQ(m.lookup(m.method("-[Child zeta]"), CRASH_ASYNC_SYMBOL_STRATEGY_OBJC, &code), "");
  EXPECT_EQ(code, CRASH_ENOTFOUND);

  // Fixture (first class, and the class of both categories, examined last) and the last class
  // stay unrealized.
  m.realizeClass("Child");
  EXPECT_EQ(m.lookup(m.method("-[Child zeta]"), CRASH_ASYNC_SYMBOL_STRATEGY_OBJC, &code), "-[Child zeta]");
  EXPECT_EQ(code, CRASH_ESUCCESS);
  EXPECT_EQ(m.lookup(m.method("-[Fixture alpha]"), CRASH_ASYNC_SYMBOL_STRATEGY_OBJC, &code), "");
  EXPECT_EQ(code, CRASH_ENOTFOUND);
}

// A realized class's read-only data is remembered, so it is not read again.
TEST(ObjCMetadata, RemembersReadOnlyDataOfRealizedClasses) {
  Metadata m;
  ASSERT_TRUE(m.ready());
  m.realizeAll();
  const std::uint64_t alpha = m.method("-[Fixture alpha]");
  EXPECT_EQ(m.lookup(alpha), "-[Fixture alpha]");
  ReadWrite* head = m.head("Fixture");
  head->flags = 0;  // a second look at the head would call the class unrealized
  EXPECT_EQ(m.lookup(alpha), "-[Fixture alpha]");

  crash_async_symbol_cache_free(m.cache());
  crash_async_symbol_cache_init(m.cache());
  EXPECT_EQ(m.lookup(alpha), "");
  EXPECT_EQ(m.lookup(m.method("-[Child zeta]")), "-[Child zeta]");
}

// A category's class may live in another image (read from the task), or may never have been
// bound when that image was missing; the latter names nothing and stops nothing.
TEST(ObjCMetadata, NamesCategoriesOfForeignClassesAndSkipsUnboundOnes) {
  Metadata m;
  ASSERT_TRUE(m.ready());
  m.realizeAll();
  auto* category_class = reinterpret_cast<std::uint64_t*>(m.method("__OBJC_$_CATEGORY_Fixture_$_ClassOnly") + 8);
  const std::uint64_t theta = m.method("+[Fixture(ClassOnly) theta]");

  std::uint64_t foreign[5];
  std::memcpy(foreign, reinterpret_cast<const void*>(m.classAddress("Fixture")), sizeof foreign);
  *category_class = reinterpret_cast<std::uint64_t>(foreign);
  EXPECT_EQ(m.lookup(theta), "+[Fixture theta]");

  *category_class = 0;
  crash_async_symbol_cache_free(m.cache());
  crash_async_symbol_cache_init(m.cache());
  std::uint64_t start = 0;
  EXPECT_EQ(m.lookup(theta, CRASH_ASYNC_SYMBOL_STRATEGY_OBJC, nullptr, &start), "+[Fixture epsilon]");
  EXPECT_EQ(start, m.method("+[Fixture(Extras) epsilon]"));
  EXPECT_EQ(m.lookup(m.method("-[Child zeta]")), "-[Child zeta]");
}

// Places a name of up to 16 bytes over the section name `from` in the load commands.
void renameSection(const LoadedMachO& loaded, const char* from, const char* to) {
  char needle[16] = {};
  std::strncpy(needle, from, sizeof needle);
  std::uint8_t* commands = loaded.bytes(32);
  for (std::uint8_t* at = commands; at + 16 < commands + 4096; ++at) {
    if (std::memcmp(at, needle, 16) == 0) {
      std::memset(at, 0, 16);
      std::memcpy(at, to, std::strlen(to));
      return;
    }
  }
  ADD_FAILURE() << "no section " << from;
}

TEST(ObjCMetadata, RefusesIncompleteOrMalformedMetadata) {
  struct Case {
    const char* name;
    void (*patch)(Metadata* m);
    crash_error_t expected;
    const char* diagnostic;
  };
  const Case cases[] = {
      {"no category list", [](Metadata* m) { renameSection(m->loaded(), "__objc_catlist", "__objc_catlisX"); },
       CRASH_ENOTFOUND, nullptr},
      {"method entries of size 0",
       [](Metadata* m) { *reinterpret_cast<std::uint32_t*>(m->method("__OBJC_$_INSTANCE_METHODS_Fixture")) = 0; },
       CRASH_EINVALID_DATA, "has entries of 0 bytes"},
      {"more methods than the section holds",
       [](Metadata* m) {
         reinterpret_cast<std::uint32_t*>(m->method("__OBJC_$_INSTANCE_METHODS_Fixture"))[1] = 0x10000000;
       },
       CRASH_EINVALID_DATA, "returned NULL"},
      {"a class outside __objc_data",
       [](Metadata* m) {
         const auto& list = m->expected().section("__DATA", "__objc_classlist");
         *reinterpret_cast<std::uint64_t*>(m->loaded().at(list.addr)) = m->loaded().header();
       },
       CRASH_EINVALID_DATA, "in objcDataMobj for pointer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Metadata m;
    ASSERT_TRUE(m.ready());
    m.realizeAll();
    c.patch(&m);
    test::StderrCapture capture;
    EXPECT_EQ(m.findMethod(m.method("-[Child zeta]")), c.expected);
    const std::string diagnostics = capture.text();
    if (c.diagnostic != nullptr) {
      EXPECT_NE(diagnostics.find(c.diagnostic), std::string::npos) << diagnostics;
    }
  }
}

// On arm64 an isa with bit 0 set holds the metaclass under the mask. The mask reaches only the
// first 8 GiB, so the image is loaded at 1 GiB.
TEST(ObjCMetadata, FindsTheMetaclassThroughANonPointerIsaOnArm64) {
  Metadata m(0x40000000);
  if (!m.loaded().loaded()) GTEST_SKIP() << "the address is taken in this process";
  ASSERT_TRUE(m.ready());
  m.realizeAll();
  const std::uint64_t klass = m.classAddress("Fixture");
  *m.field(klass, 0) = m.metaclassAddress("Fixture") | 1 | (std::uint64_t{0x2b} << 50);
  const std::uint64_t gamma = m.method("+[Fixture gamma]");

  {
    test::StderrCapture capture;  // an x86-64 image: the isa is a plain pointer
    EXPECT_EQ(m.findMethod(gamma), CRASH_EINVALID_DATA);
  }
  const std::uint32_t arm64 = 0x0100000C;
  std::memcpy(m.loaded().bytes(4), &arm64, 4);
  m.image()->header.cputype = arm64;
  crash_error_t code = -1;
  EXPECT_EQ(m.lookup(gamma, CRASH_ASYNC_SYMBOL_STRATEGY_OBJC, &code), "+[Fixture gamma]");
  EXPECT_EQ(code, CRASH_ESUCCESS);
}

// The legacy layout of 32-bit images: a module list leading to classes and their method lists.
// Its pointers are 32-bit, so the image is loaded where it was linked, at 1 GiB.
TEST(ObjCMetadata, NamesMethodsOfTheLegacyLayout) {
  constexpr std::uint64_t kBase = 0x40000000;
  LoadedMachO loaded("legacy-objc.bundle", kBase, false, kBase);
  if (!loaded.loaded()) GTEST_SKIP() << "the address is taken in this process";
  crash_async_macho image{};
  ASSERT_EQ(crash_nasync_macho_init(&image, kernel::task_self(), loaded.path().c_str(), loaded.header()), CRASH_ESUCCESS);
  crash_async_symbol_cache cache;
  crash_async_symbol_cache_init(&cache);
  struct Case {
    std::uint64_t pc;
    std::string expected;
    std::uint64_t start;
  };
  const Case cases[] = {
      {kBase + 0x800, "-[Legacy first]", kBase + 0x800},
      {kBase + 0x812, "-[Legacy second]", kBase + 0x810},  // from the class's single list
      {kBase + 0x830, "+[Legacy classy]", kBase + 0x820},  // from the metaclass's list array
      {kBase + 0x700, "", 0},
  };
  for (const Case& c : cases) {
    std::pair<std::uint64_t, std::string> found{0, ""};
    test::StderrCapture capture;
    crash_async_find_symbol(
        &image, CRASH_ASYNC_SYMBOL_STRATEGY_OBJC, &cache, c.pc,
        [](std::uint64_t address, const char* name, void* context) {
          *static_cast<std::pair<std::uint64_t, std::string>*>(context) = {address, name};
        },
        &found);
    EXPECT_EQ(found.second, c.expected) << std::hex << c.pc;
    EXPECT_EQ(found.first, c.start) << std::hex << c.pc;
  }
  EXPECT_FALSE(cache.got_objc2_info);
  crash_async_symbol_cache_free(&cache);
  crash_nasync_macho_free(&image);
}

}  // namespace
