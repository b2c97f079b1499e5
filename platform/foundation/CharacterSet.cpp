#include "platform/foundation/CharacterSet.h"

#include <unicode/uchar.h>
#include <unicode/uset.h>
#include <unicode/utf8.h>

#include <bitset>
#include <mutex>
#include <string>

namespace foundation {

struct CharacterSet::Impl {
  USet* set = nullptr;
  std::bitset<128> ascii;

  explicit Impl(USet* s) : set(s) {
    uset_freeze(set);
    for (UChar32 c = 0; c < 128; ++c) ascii[static_cast<std::size_t>(c)] = uset_contains(set, c);
  }
  ~Impl() { uset_close(set); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
};

namespace {

// Builds a set from an ICU property pattern. The patterns are ours and fixed, so a failure here
// is a build fault; it still yields an empty set rather than a crash.
std::shared_ptr<const CharacterSet::Impl> fromPattern(const char16_t* pattern) {
  UErrorCode status = U_ZERO_ERROR;
  USet* set = uset_openPattern(pattern, -1, &status);
  if (U_FAILURE(status) || set == nullptr) {
    if (set != nullptr) uset_close(set);
    set = uset_openEmpty();
  }
  return std::make_shared<const CharacterSet::Impl>(set);
}

// The predefined sets are built once and shared; function statics are initialised thread-safely.
const std::shared_ptr<const CharacterSet::Impl>& cached(const char16_t* pattern, int slot) {
  static std::shared_ptr<const CharacterSet::Impl> sets[8];
  static std::once_flag flags[8];
  std::call_once(flags[slot], [&] { sets[slot] = fromPattern(pattern); });
  return sets[slot];
}

}  // namespace

CharacterSet::CharacterSet() : impl_(std::make_shared<const Impl>(uset_openEmpty())) {}
CharacterSet::CharacterSet(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}

CharacterSet CharacterSet::whitespace() { return CharacterSet(cached(u"[\\u0009\\p{Zs}]", 0)); }
CharacterSet CharacterSet::whitespaceAndNewline() {
  return CharacterSet(cached(u"[\\u0009-\\u000D\\u0085\\p{Z}]", 1));
}
CharacterSet CharacterSet::newline() {
  return CharacterSet(cached(u"[\\u000A-\\u000D\\u0085\\u2028\\u2029]", 2));
}
CharacterSet CharacterSet::decimalDigit() { return CharacterSet(cached(u"[\\p{Nd}]", 3)); }
CharacterSet CharacterSet::letters() { return CharacterSet(cached(u"[\\p{L}\\p{M}]", 4)); }
CharacterSet CharacterSet::alphanumeric() {
  return CharacterSet(cached(u"[\\p{L}\\p{M}\\p{N}]", 5));
}
CharacterSet CharacterSet::punctuation() { return CharacterSet(cached(u"[\\p{P}]", 6)); }

CharacterSet CharacterSet::withCharactersInString(std::string_view utf8) {
  USet* set = uset_openEmpty();
  const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
  const auto length = static_cast<int32_t>(utf8.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT_OR_FFFD(bytes, i, length, c);
    uset_add(set, c);
  }
  return CharacterSet(std::make_shared<const Impl>(set));
}

CharacterSet CharacterSet::withRange(char32_t first, char32_t last) {
  USet* set = uset_openEmpty();
  if (first <= last && first <= 0x10FFFF) {
    uset_addRange(set, static_cast<UChar32>(first),
                  static_cast<UChar32>(last > 0x10FFFF ? 0x10FFFF : last));
  }
  return CharacterSet(std::make_shared<const Impl>(set));
}

CharacterSet CharacterSet::inverted() const {
  USet* set = uset_cloneAsThawed(impl_->set);
  uset_complement(set);
  return CharacterSet(std::make_shared<const Impl>(set));
}

CharacterSet CharacterSet::unionWith(const CharacterSet& other) const {
  USet* set = uset_cloneAsThawed(impl_->set);
  uset_addAll(set, other.impl_->set);
  return CharacterSet(std::make_shared<const Impl>(set));
}

bool CharacterSet::longCharacterIsMember(char32_t c) const {
  if (c < 128) return impl_->ascii[c];
  if (c > 0x10FFFF) return false;
  return uset_contains(impl_->set, static_cast<UChar32>(c));
}

bool CharacterSet::characterIsMember(char16_t unit) const {
  return longCharacterIsMember(static_cast<char32_t>(unit));
}

}  // namespace foundation
