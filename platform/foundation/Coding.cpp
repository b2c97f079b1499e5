#include "platform/foundation/Coding.h"

#include <map>
#include <mutex>
#include <unordered_map>

namespace foundation {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, CodingRegistry::Registration, std::less<>> byName;
  std::map<std::string, std::type_index, std::less<>> typeByName;
  std::unordered_map<std::type_index, std::string> nameByType;
};

Registry& registry() {
  static auto* shared = new Registry();  // never destroyed: archiving may run during exit
  return *shared;
}

constexpr int kMaximumSuperclassChain = 64;

}  // namespace

bool ArchiveClass::isBuiltIn(std::string_view name) {
  for (std::string_view builtIn : {String, Number, Data, Date, Array, Set, Dictionary}) {
    if (name == builtIn) return true;
  }
  return false;
}

bool CodingRegistry::registerClass(std::type_index type, Registration registration) {
  if (registration.name.empty() || ArchiveClass::isBuiltIn(registration.name) || !registration.factory) return false;
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  const auto typeFound = reg.typeByName.find(registration.name);
  if (typeFound != reg.typeByName.end() && typeFound->second != type) return false;
  const auto nameFound = reg.nameByType.find(type);
  if (nameFound != reg.nameByType.end() && nameFound->second != registration.name) return false;
  reg.typeByName.insert_or_assign(registration.name, type);
  reg.nameByType.insert_or_assign(type, registration.name);
  const std::string name = registration.name;
  reg.byName.insert_or_assign(name, std::move(registration));
  return true;
}

std::optional<std::string> CodingRegistry::classNameOf(std::type_index type) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  const auto found = reg.nameByType.find(type);
  if (found == reg.nameByType.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> CodingRegistry::classNameOf(const Coding& object) {
  return classNameOf(std::type_index(typeid(object)));
}

std::optional<CodingRegistry::Registration> CodingRegistry::registrationFor(std::string_view name) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  const auto found = reg.byName.find(name);
  if (found == reg.byName.end()) return std::nullopt;
  return found->second;
}

bool CodingRegistry::isKindOf(std::string_view name, std::string_view ancestor) {
  if (name == ancestor) return true;
  if (ArchiveClass::isBuiltIn(name)) return false;
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  std::string_view current = name;
  for (int step = 0; step < kMaximumSuperclassChain; ++step) {
    const auto found = reg.byName.find(current);
    if (found == reg.byName.end() || found->second.superclassName.empty()) return false;
    current = found->second.superclassName;
    if (current == ancestor) return true;
  }
  return false;
}

void CodingRegistry::unregisterClass(std::string_view name) {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  const auto typeFound = reg.typeByName.find(name);
  if (typeFound != reg.typeByName.end()) {
    reg.nameByType.erase(typeFound->second);
    reg.typeByName.erase(typeFound);
  }
  const auto found = reg.byName.find(name);
  if (found != reg.byName.end()) reg.byName.erase(found);
}

}  // namespace foundation
