// Compiles a generated set of hostfiles of 200,000 lines in all, as "Apply Changes" does, and
// times it beside `grep -c .` over the same bytes, in the same run. Each round times:
//   - grep: `grep -c .` over the hostfiles' bytes, a separate process started and waited for;
//   - pure: Compiler::compileBlock over the texts in memory, merged with mergeBlock into the text
//     of a hosts file that already holds the previous apply's block (as on every apply but the
//     first), with no store and no file;
//   - store: Compiler::compile() with both contexts reset first, so the records are fetched from
//     the SQLite file and the hosts file is read from disk;
//   - check: the syntax check of each hostfile, as the shell runs it before an apply.
// Prints the median of each and its ratio to grep's median. Asserts nothing but that grep, the
// compile and the check saw the text they were given.
//
//   bench_compile [lines] [hostfiles] [rounds]
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
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

extern char** environ;

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

double millisecondsOf(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Runs `grep -c . path` and returns the count it printed, or -1 when it could not run.
long grepCount(const std::string& path) {
  int out[2];
  if (pipe(out) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  char grep[] = "grep", count[] = "-c", dot[] = ".";
  std::string file = path;
  char* argv[] = {grep, count, dot, file.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "grep", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string printed;
  char buffer[64];
  for (ssize_t n; spawned == 0 && (n = read(out[0], buffer, sizeof buffer)) > 0;) printed.append(buffer, n);
  close(out[0]);
  int status = 0;
  if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return std::strtol(printed.c_str(), nullptr, 10);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t lines = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
  const std::size_t files = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 9;
  if (lines == 0 || files == 0 || rounds <= 0) {
    std::fprintf(stderr, "usage: bench_compile [lines > 0] [hostfiles > 0] [rounds > 0]\n");
    return 2;
  }

  char folderTemplate[] = "/tmp/qm-bench-compile-XXXXXX";
  if (!mkdtemp(folderTemplate)) return 1;
  const std::string folder = folderTemplate;
  auto& fileManager = foundation::FileManager::defaultManager();

  std::mt19937 random(7);
  std::vector<std::optional<std::string>> hostfiles(files, std::string());
  for (std::size_t i = 0; i < lines; ++i) *hostfiles[i % files] += makeLine(random, i) + "\n";
  std::string all;
  for (auto& text : hostfiles) {
    text->pop_back();  // a hostfile's text has no final line feed; the compiler adds one
    all += *text + "\n";
  }
  const std::string textPath = folder + "/hostfiles.txt";
  const std::string hostsPath = folder + "/hosts";
  fileManager.writeText(all, textPath);
  foundation::SystemPaths::setHostsFilePathForTesting(hostsPath);

  HostfilesModel::registerModel();
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(StoreURL::fileURLWithPath(folder + "/store.sqlite"));
  auto context = DSManagedObjectContext::DS_defaultContext();
  for (const auto& text : hostfiles) HostGroup::insertLocalHostfile(context)->setContents(text);
  DSManagedObjectContext::DS_saveToPersistentStoreAndWait(context);

  // The hosts file as the first apply leaves it, so every round merges over a full old block.
  const std::string shipped = "127.0.0.1 localhost\n::1 localhost\n";
  const std::string hostsText = Compiler::mergeBlock(shipped, Compiler::compileBlock(hostfiles));
  fileManager.writeText(hostsText, hostsPath);

  std::printf("%zu lines in %zu hostfiles, %zu bytes; hosts file of %zu bytes; %d rounds\n", lines, files, all.size(),
              hostsText.size(), rounds);
  std::vector<double> grepMs, pureMs, storeMs, checkMs;
  std::size_t pureBytes = 0, storeBytes = 0;
  long counted = 0;
  bool valid = true;
  for (int round = 0; round < rounds; ++round) {
    grepMs.push_back(millisecondsOf([&] { counted = grepCount(textPath); }));
    pureMs.push_back(millisecondsOf([&] { pureBytes = Compiler::mergeBlock(hostsText, Compiler::compileBlock(hostfiles)).size(); }));
    context->reset();
    DSManagedObjectContext::DS_rootSavingContext()->performAndWait(
        [] { DSManagedObjectContext::DS_rootSavingContext()->reset(); });
    storeMs.push_back(millisecondsOf([&] {
      auto compiled = Compiler::compile();
      storeBytes = compiled ? compiled->size() : 0;
    }));
    checkMs.push_back(millisecondsOf([&] {
      for (const auto& text : hostfiles) valid = SyntaxRules::isValidSyntax(text) && valid;
    }));
  }
  DataStack::cleanUp();

  const double anchor = median(grepMs);
  std::printf("grep -c .   %8.2f ms  (counted %ld lines)\n", anchor, counted);
  std::printf("pure        %8.2f ms  %5.2fx grep  (%zu bytes out)\n", median(pureMs), median(pureMs) / anchor, pureBytes);
  std::printf("store       %8.2f ms  %5.2fx grep  (%zu bytes out)\n", median(storeMs), median(storeMs) / anchor,
              storeBytes);
  std::printf("check       %8.2f ms  %5.2fx grep  (%s)\n", median(checkMs), median(checkMs) / anchor,
              valid ? "valid" : "invalid");
  const bool sane = counted == static_cast<long>(lines) && pureBytes == hostsText.size() && storeBytes == pureBytes && valid;
  if (!sane) std::fprintf(stderr, "the runs did not see the generated text\n");
  fileManager.removeItemAtPath(folder);
  return sane ? 0 : 1;
}
