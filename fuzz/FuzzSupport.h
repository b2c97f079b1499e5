#pragma once
// FuzzSupport is what every libFuzzer target shares: the set-up of a process that must never
// touch the real user folders or fill the output with log lines, the check that turns a broken
// invariant into a crash the fuzzer keeps, and the writing of a target's generated seeds.
//
// A target's LLVMFuzzerInitialize calls fuzz::initialize with its seed writer. Run with the
// environment variable QM_FUZZ_WRITE_SEEDS set to a folder, the target writes its seeds there and
// exits instead of fuzzing (scripts/fuzz does this before each run).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Writes the seeds of one target into the folder named by QM_FUZZ_WRITE_SEEDS.
class SeedWriter {
 public:
  explicit SeedWriter(std::string folder) : folder_(std::move(folder)) {}
  // Writes `bytes` to the file `name` of the folder; a failure ends the process with a message.
  void write(const std::string& name, std::span<const std::uint8_t> bytes);
  void write(const std::string& name, std::string_view text);

 private:
  std::string folder_;
};

// Gives the process a fresh HOME and XDG folders (removed at exit) and silences the platform's
// log, which the telemetry SDK's default handler writes to as well. Then, when QM_FUZZ_WRITE_SEEDS names a folder, calls
// `writeSeeds` with a writer for it and exits; otherwise returns.
void initialize(const std::function<void(SeedWriter&)>& writeSeeds);

// The fuzzer's input as text, and as pieces between `separator` bytes (at most `limit` pieces:
// the last one keeps the rest, separators included).
std::string_view text(const std::uint8_t* data, std::size_t size);
std::vector<std::string_view> split(std::string_view text, char separator, std::size_t limit);

// Aborts with `what` on standard error when `condition` is false: a broken invariant is a fault
// the fuzzer keeps, like a crash.
void check(bool condition, const char* what);
void check(bool condition, const std::string& what);

}  // namespace fuzz
