#include "platform/net/HTTPHeaderFields.h"

#include <algorithm>
#include <cctype>

namespace net {

HTTPHeaderFields::HTTPHeaderFields(std::initializer_list<Field> fields) {
  for (const auto& [name, value] : fields) set(name, value);
}

bool HTTPHeaderFields::namesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::vector<HTTPHeaderFields::Field>::iterator HTTPHeaderFields::find(std::string_view name) {
  return std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return namesEqual(f.first, name); });
}

std::vector<HTTPHeaderFields::Field>::const_iterator HTTPHeaderFields::find(std::string_view name) const {
  return std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return namesEqual(f.first, name); });
}

std::optional<std::string> HTTPHeaderFields::value(std::string_view name) const {
  auto it = find(name);
  if (it == fields_.end()) return std::nullopt;
  return it->second;
}

bool HTTPHeaderFields::contains(std::string_view name) const { return find(name) != fields_.end(); }

void HTTPHeaderFields::set(std::string_view name, std::string value) {
  auto it = find(name);
  if (it != fields_.end()) {
    it->second = std::move(value);
    return;
  }
  fields_.emplace_back(std::string(name), std::move(value));
}

void HTTPHeaderFields::add(std::string_view name, std::string_view value) {
  auto it = find(name);
  if (it == fields_.end()) {
    fields_.emplace_back(std::string(name), std::string(value));
    return;
  }
  it->second += ", ";
  it->second += value;
}

bool HTTPHeaderFields::remove(std::string_view name) {
  auto it = find(name);
  if (it == fields_.end()) return false;
  fields_.erase(it);
  return true;
}

foundation::Dictionary HTTPHeaderFields::dictionary() const {
  foundation::Dictionary d;
  for (const auto& [name, value] : fields_) d.set(name, value);
  return d;
}

bool HTTPHeaderFields::operator==(const HTTPHeaderFields& other) const {
  if (size() != other.size()) return false;
  return std::all_of(fields_.begin(), fields_.end(), [&](const Field& f) { return other.value(f.first) == f.second; });
}

}  // namespace net
