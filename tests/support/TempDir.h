#pragma once
// A temporary folder that is created on construction and removed, with its contents, on destruction.
#include <string>

namespace test {

class TempDir {
 public:
  // Creates a fresh folder under $TMPDIR (or /tmp) whose name starts with `prefix`.
  explicit TempDir(const std::string& prefix = "qm-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `path()` joined with a relative name.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes `text` to `path`, replacing it; returns false on failure.
bool writeFile(const std::string& path, const std::string& text);
// The whole file as bytes; empty when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace test
