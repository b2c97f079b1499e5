// libFuzzer target of the keyed unarchiver with every registered class (the client's, the
// platform's and the telemetry SDK's). Invariants: what decodes archives again; that archive
// decodes, and archiving the second decode gives the same bytes; a secure decode that asks for
// every class succeeds only where the plain decode does, and gives the same archive.
//
// A decoded session manager owns a URL session, which keeps it alive until it is invalidated:
// each one decoded is invalidated and waited for, so that no session outlives its input.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "fuzz/SampleObjects.h"
#include "net/callbacks/RLHTTPSessionManager.h"
#include "net/callbacks/RLPropertyListResponseSerializer.h"
#include "net/callbacks/RLURLSessionManager.h"
#include "platform/foundation/Coding.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

namespace {

using foundation::Data;
using foundation::KeyedArchiver;
using foundation::KeyedUnarchiver;
using foundation::Value;

void endSessions(const Value& value);
std::vector<std::string_view> everyClass();

// The samples, and a session manager with a base URL and serializers of its own; each seed must
// decode both ways, or the target would start from nothing.
void writeSeeds(fuzz::SeedWriter& seeds) {
  fuzz::registerEveryArchivableClass();
  auto roots = fuzz::sampleArchiveRoots();
  auto manager = RLHTTPSessionManager::create(net::URL::fromString("https://example.org/api"));
  manager->setResponseSerializer(RLPropertyListResponseSerializer::serializer());
  roots.push_back(Value(std::static_pointer_cast<foundation::Object>(manager)));
  int n = 0;
  for (const auto& root : roots) {
    foundation::Error error;
    const auto bytes = KeyedArchiver::archivedDataWithRootObject(root, &error);
    fuzz::check(bytes.has_value(), "a sample archives: " + error.description());
    const auto decoded = KeyedUnarchiver::unarchiveObjectWithData(*bytes, &error);
    fuzz::check(decoded.has_value(), "a sample decodes: " + error.description());
    const auto secure = KeyedUnarchiver::unarchivedObjectOfClasses(everyClass(), *bytes, &error);
    fuzz::check(secure.has_value(), "a sample decodes securely: " + error.description());
    endSessions(*decoded);
    endSessions(*secure);
    seeds.write("archive-" + std::to_string(n++), *bytes);
  }
  endSessions(roots.back());
}

void collectManagers(const Value& value, std::vector<std::shared_ptr<RLURLSessionManager>>& managers) {
  if (value.isArray()) {
    for (const auto& element : value.arrayValue()) collectManagers(element, managers);
  } else if (value.isDictionary()) {
    for (const auto& [key, element] : value.dictionaryValue()) collectManagers(element, managers);
  } else if (auto manager = value.objectAs<RLURLSessionManager>()) {
    managers.push_back(std::move(manager));
  }
}

// Invalidates the sessions of the managers in `value` and waits until each has ended.
void endSessions(const Value& value) {
  std::vector<std::shared_ptr<RLURLSessionManager>> managers;
  collectManagers(value, managers);
  for (const auto& manager : managers) {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    manager->setSessionDidBecomeInvalidBlock([&](const net::URLSessionPtr&, const std::optional<foundation::Error>&) {
      std::lock_guard lock(mutex);
      done = true;
      ended.notify_all();
    });
    manager->invalidateSessionCancelingTasks(true);
    std::unique_lock lock(mutex);
    fuzz::check(ended.wait_for(lock, std::chrono::seconds(10), [&] { return done; }),
                "an invalidated session reports its end");
    manager->setSessionDidBecomeInvalidBlock(nullptr);
  }
}

// Every registered class and every built-in kind, so that any root may be asked for.
std::vector<std::string_view> everyClass() {
  using foundation::ArchiveClass;
  static const std::vector<std::string> names = [] {
    auto all = fuzz::registeredClassNames();
    for (const auto kind : {ArchiveClass::String, ArchiveClass::Number, ArchiveClass::Data, ArchiveClass::Date,
                            ArchiveClass::Array, ArchiveClass::Set, ArchiveClass::Dictionary}) {
      all.emplace_back(kind);
    }
    return all;
  }();
  return {names.begin(), names.end()};
}

Data archiveOf(const Value& value, const char* what) {
  foundation::Error error;
  const auto bytes = KeyedArchiver::archivedDataWithRootObject(value, &error);
  fuzz::check(bytes.has_value(), std::string(what) + " archives: " + error.description());
  return *bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::initialize(writeSeeds);
  fuzz::registerEveryArchivableClass();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Data input(data, data + size);
  const auto decoded = KeyedUnarchiver::unarchiveObjectWithData(input);
  const auto secure = KeyedUnarchiver::unarchivedObjectOfClasses(everyClass(), input);
  fuzz::check(decoded.has_value() || !secure.has_value(), "a secure decode succeeds only where a plain one does");
  if (!decoded) return 0;
  const Data first = archiveOf(*decoded, "what decodes");
  foundation::Error error;
  const auto again = KeyedUnarchiver::unarchiveObjectWithData(first, &error);
  fuzz::check(again.has_value(), "the archive of what decoded decodes: " + error.description());
  fuzz::check(archiveOf(*again, "the second decode") == first, "archiving the second decode gives the same bytes");
  if (secure) fuzz::check(archiveOf(*secure, "the secure decode") == first, "the secure decode archives the same");
  endSessions(*decoded);
  endSessions(*again);
  if (secure) endSessions(*secure);
  return 0;
}
