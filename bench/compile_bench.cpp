// Compiles a generated set of hostfiles of 200,000 lines in all through the real store and a
// hosts file on disk, as "Apply Changes" does, and syntax-checks each hostfile as the shell does
// before an apply. Writes the hostfiles' bytes to a file so that a line count by another tool can
// be timed over the same bytes. Prints timings; asserts nothing.
//
//   bench_compile [lines] [hostfiles] [rounds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "coredata/ContextCategories.h"
#include "coredata/DataStack.h"
#include "hostfiles/Compiler.h"
#include "hostfiles/HostGroup.h"
#include "hostfiles/HostfilesModel.h"
#include "hostfiles/SyntaxRules.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/SystemPaths.h"

namespace {

std::string makeLine(std::mt19937& random, std::size_t index) {
  switch (random() % 20) {
    case 0: return "# section " + std::to_string(index);
    case 1: return "0:0:0:0:0:0:0:1 host" + std::to_string(index) + ".ip6.test";
    default:
      return std::to_string(random() % 256) + "." + std::to_string(random() % 256) + "." +
             std::to_string(random() % 256) + "." + std::to_string(random() % 256) + " ads" + std::to_string(index) +
             ".example.test";
  }
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t lines = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
  const std::size_t files = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;

  char folderTemplate[] = "/tmp/qm-bench-compile-XXXXXX";
  if (!mkdtemp(folderTemplate)) return 1;
  const std::string folder = folderTemplate;
  auto& fileManager = foundation::FileManager::defaultManager();

  std::mt19937 random(7);
  std::vector<std::string> hostfiles(files);
  for (std::size_t i = 0; i < lines; ++i) hostfiles[i % files] += makeLine(random, i) + "\n";
  std::string all;
  for (auto& text : hostfiles) {
    text.pop_back();  // a hostfile's text has no final line feed; the compiler adds one
    all += text + "\n";
  }
  fileManager.writeText(all, folder + "/hostfiles.txt");
  fileManager.writeText("127.0.0.1 localhost\n::1 localhost\n\n# QUILLMERE START\nold\n# QUILLMERE STOP\n",
                        folder + "/hosts");
  foundation::SystemPaths::setHostsFilePathForTesting(folder + "/hosts");

  HostfilesModel::registerModel();
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(StoreURL::fileURLWithPath(folder + "/store.sqlite"));
  auto context = DSManagedObjectContext::DS_defaultContext();
  for (const auto& text : hostfiles) HostGroup::insertLocalHostfile(context)->setContents(text);
  DSManagedObjectContext::DS_saveToPersistentStoreAndWait(context);

  std::printf("%zu lines in %zu hostfiles, %zu bytes (%s/hostfiles.txt)\n", lines, files, all.size(), folder.c_str());
  for (int round = 0; round < rounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    auto compiled = Compiler::compile();
    const double compileMs = millisecondsSince(start);
    start = std::chrono::steady_clock::now();
    bool valid = true;
    for (const auto& text : hostfiles) valid = SyntaxRules::isValidSyntax(text) && valid;
    const double checkMs = millisecondsSince(start);
    std::printf("round %d: compile %.1f ms (%zu bytes out), syntax check %.1f ms (%s)\n", round, compileMs,
                compiled ? compiled->size() : 0, checkMs, valid ? "valid" : "invalid");
  }
  DataStack::cleanUp();
  return 0;
}
