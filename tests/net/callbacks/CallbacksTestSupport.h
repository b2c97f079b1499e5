#pragma once
// Small helpers for the tests of the callback client: bytes and text, reading a stream to its
// end, a scoped environment variable, and where the TLS fixtures are.
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/foundation/Stream.h"
#include "platform/foundation/Value.h"

namespace test {

// The TLS fixtures (test CA, leaves for localhost, another host, self-signed, same key) live
// with the security tests.
inline std::string securityFixture(const std::string& file) {
  const std::string own = QM_TEST_FIXTURES;
  const std::string suffix = "net/callbacks/fixtures";
  return own.substr(0, own.size() - suffix.size()) + "platform/security/fixtures/" + file;
}

inline foundation::Data bytes(const std::string& text) { return foundation::Data(text.begin(), text.end()); }
inline std::string text(const foundation::Data& data) { return std::string(data.begin(), data.end()); }

// Opens `stream` and reads it with `chunk`-byte reads until a read gives 0; nothing when a read
// fails (-1).
inline std::optional<std::string> readAll(foundation::InputStream& stream, std::size_t chunk = 4096) {
  stream.open();
  std::string out;
  std::string buffer(chunk, '\0');
  for (;;) {
    const long count = stream.read(reinterpret_cast<std::uint8_t*>(buffer.data()), chunk);
    if (count < 0) return std::nullopt;
    if (count == 0) return out;
    out.append(buffer.data(), static_cast<std::size_t>(count));
  }
}

// Sets an environment variable for its own lifetime, then restores the old value.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    ::setenv(name_.c_str(), value.c_str(), 1);
  }
  ~ScopedEnvironment() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace test
