#include "fuzz/FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/foundation/Log.h"

namespace fuzz {

namespace {

std::string gHome;

void removeHome() {
  std::error_code ignored;
  if (!gHome.empty()) std::filesystem::remove_all(gHome, ignored);
}

void makeHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qm-fuzz-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::perror("fuzz: mkdtemp");
    std::exit(1);
  }
  gHome = pattern;
  std::atexit(removeHome);
  setenv("HOME", gHome.c_str(), 1);
  setenv("XDG_DATA_HOME", (gHome + "/.local/share").c_str(), 1);
  setenv("XDG_CACHE_HOME", (gHome + "/.cache").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (gHome + "/.config").c_str(), 1);
}

}  // namespace

void SeedWriter::write(const std::string& name, std::span<const std::uint8_t> bytes) {
  const std::string path = folder_ + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "fuzz: could not write the seed %s\n", path.c_str());
    std::exit(1);
  }
}

void SeedWriter::write(const std::string& name, std::string_view text) {
  write(name, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void initialize(const std::function<void(SeedWriter&)>& writeSeeds) {
  makeHome();
  // Hostile input makes the readers log a line per refusal; that would drown libFuzzer's output.
  // The telemetry SDK's default handler writes through the same sink.
  foundation::setLogSink([](const std::string&) {});
  const char* folder = std::getenv("QM_FUZZ_WRITE_SEEDS");
  if (!folder || !*folder) return;
  SeedWriter writer(folder);
  writeSeeds(writer);
  std::exit(0);
}

std::string_view text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

std::vector<std::string_view> split(std::string_view text, char separator, std::size_t limit) {
  std::vector<std::string_view> pieces;
  while (pieces.size() + 1 < limit) {
    const auto at = text.find(separator);
    if (at == std::string_view::npos) break;
    pieces.push_back(text.substr(0, at));
    text.remove_prefix(at + 1);
  }
  pieces.push_back(text);
  return pieces;
}

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz: invariant broken: %s\n", what);
  std::abort();
}

void check(bool condition, const std::string& what) { check(condition, what.c_str()); }

}  // namespace fuzz
