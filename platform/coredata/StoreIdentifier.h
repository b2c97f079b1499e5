#pragma once
// New store identifiers: random version-4 UUIDs in upper-case text form.
#include <string>

namespace coredata {

// A fresh random UUID ("8-4-4-4-12" hexadecimal digits, upper case).
std::string newStoreIdentifier();

}  // namespace coredata
