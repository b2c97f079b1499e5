#pragma once
// Loads the committed TLS fixtures (made by fixtures/make-fixtures.sh) for the security and
// server-trust tests. Every loader fails the calling test when a file is missing or unreadable.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/security/Certificate.h"
#include "tests/support/TempDir.h"

namespace test {

inline foundation::Data fixtureBytes(const std::string& path) {
  const std::string bytes = readFile(path);
  EXPECT_FALSE(bytes.empty()) << "missing fixture " << path;
  return foundation::Data(bytes.begin(), bytes.end());
}

// The certificate of "<name>.der" in `folder`.
inline security::Certificate fixtureCertificate(const std::string& folder, const std::string& name) {
  auto certificate = security::Certificate::createWithData(fixtureBytes(folder + "/" + name + ".der"));
  if (!certificate) {
    ADD_FAILURE() << "fixture " << name << ".der is not a certificate";
    std::abort();
  }
  return *certificate;
}

}  // namespace test
