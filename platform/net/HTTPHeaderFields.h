#pragma once
// HTTPHeaderFields is the header table of URL requests and HTTP responses: field names compare
// case-insensitively (as HTTP requires), the first spelling of a name is kept, and fields keep
// the order in which they were first set. A plain value; not synchronised.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/Value.h"

namespace net {

class HTTPHeaderFields {
 public:
  using Field = std::pair<std::string, std::string>;

  HTTPHeaderFields() = default;
  HTTPHeaderFields(std::initializer_list<Field> fields);

  // The value of `name` (any case), or nothing.
  std::optional<std::string> value(std::string_view name) const;
  bool contains(std::string_view name) const;
  // Sets `name` to `value`, replacing any value under any spelling of the name.
  void set(std::string_view name, std::string value);
  // Appends `value` to an existing value with ", " (addValue:forHTTPHeaderField:), or sets it.
  void add(std::string_view name, std::string_view value);
  // Removes `name` (any case); returns whether it was there.
  bool remove(std::string_view name);

  const std::vector<Field>& fields() const { return fields_; }
  std::size_t size() const { return fields_.size(); }
  bool empty() const { return fields_.empty(); }
  std::vector<Field>::const_iterator begin() const { return fields_.begin(); }
  std::vector<Field>::const_iterator end() const { return fields_.end(); }

  // The fields as a string-to-string dictionary, in order.
  foundation::Dictionary dictionary() const;

  // Field-by-field equality, names without regard to case, order ignored.
  bool operator==(const HTTPHeaderFields& other) const;

  // Whether two header names are equal without regard to ASCII case.
  static bool namesEqual(std::string_view a, std::string_view b);

 private:
  std::vector<Field>::iterator find(std::string_view name);
  std::vector<Field>::const_iterator find(std::string_view name) const;
  std::vector<Field> fields_;
};

}  // namespace net
