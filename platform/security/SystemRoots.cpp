#include "platform/security/SystemRoots.h"

#include <mutex>

#include "platform/security/Native.h"

namespace security {
namespace {

std::mutex& rootsMutex() {
  static std::mutex mutex;
  return mutex;
}

std::optional<std::vector<Certificate>>& testingRoots() {
  static std::optional<std::vector<Certificate>> roots;
  return roots;
}

// The system's store, loaded once: the hashed folder is read lazily by the library, so sharing
// one store avoids re-reading the bundle file for every handshake. X509_STORE lookups are
// thread-safe.
X509_STORE* sharedSystemStore() {
  static X509_STORE* store = [] {
    X509_STORE* made = X509_STORE_new();
    if (made) X509_STORE_set_default_paths(made);
    return made;
  }();
  return store;
}

}  // namespace

void setSystemRootsForTesting(std::optional<std::vector<Certificate>> roots) {
  std::lock_guard lock(rootsMutex());
  testingRoots() = std::move(roots);
}

std::optional<std::vector<Certificate>> systemRootsForTesting() {
  std::lock_guard lock(rootsMutex());
  return testingRoots();
}

namespace native {

X509_STORE* newRootStore(const std::vector<Certificate>& anchors, bool withSystemRoots) {
  const auto testing = systemRootsForTesting();
  if (withSystemRoots && !testing && anchors.empty()) {
    X509_STORE* shared = sharedSystemStore();
    if (shared) X509_STORE_up_ref(shared);
    return shared;
  }
  X509_STORE* store = X509_STORE_new();
  if (!store) return nullptr;
  if (withSystemRoots && !testing) X509_STORE_set_default_paths(store);
  // Adding a certificate twice is harmless: the store keeps one.
  auto add = [store](const Certificate& certificate) { X509_STORE_add_cert(store, x509Of(certificate)); };
  if (withSystemRoots && testing) {
    for (const auto& root : *testing) add(root);
  }
  for (const auto& anchor : anchors) add(anchor);
  return store;
}

}  // namespace native
}  // namespace security
