#pragma once
// The client's user-visible texts (error messages, reachability status names) are looked up in
// the main bundle's string table "Relay" with the English text itself as the key, so an
// untranslated text comes back as it stands.
#include <string>

// The translation of `key` in the "Relay" table, or `key` when there is none. Thread-safe.
std::string RLLocalizedString(const std::string& key);
