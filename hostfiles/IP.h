#pragma once
// IP judges one stretch of a text that should hold an IP address, as the editor's highlighter
// needs: whether it is a valid version-4 address, whether it has the shape of a version-6 address
// (compressed "::" forms included), and which characters are wrong. All positions and lengths
// count UTF-16 units of the contents; the invalid range is relative to the examined range.
//
// Version 4 is strict: four parts of one to three ASCII digits, each at most 255. Version 6 is
// judged by shape: groups of up to four hex digits, at most eight (seven with "::"), at most one
// "::"; one bad group is pointed out, more make the whole range invalid. Anything that is not
// version 4 gets the version-6 verdict, so a dotted text without colons is wholly invalid.
//
// Not thread-safe: an instance belongs to one thread at a time (each check makes its own, for
// the one range it judges). Not copyable.
#include <string>
#include <string_view>

#include "platform/foundation/String.h"

class IP {
 public:
  // Keeps the text; flags start false and the invalid range at {0, 0}.
  explicit IP(std::string_view contents);
  explicit IP(std::u16string contents);
  IP(const IP&) = delete;
  IP& operator=(const IP&) = delete;

  // The text, as UTF-16 units.
  const std::u16string& contents() const { return contents_; }

  // Examines `range` of the contents and sets the flags and the invalid range: first the
  // version-4 check, and when that fails the version-6 check decides. A range reaching past the
  // contents is clipped to them.
  void setRange(foundation::Range range);

  // Whether the invalid range is empty.
  bool isValid() const { return invalidRange().length == 0; }
  bool isVersion4() const { return isVersion4_; }
  bool isVersion6() const { return isVersion6_; }
  // The characters found wrong, relative to the examined range; length 0 means valid.
  foundation::Range invalidRange() const { return invalidRange_; }

  // The version-4 check: {0, 0} and isVersion4 set when `range` is a valid version-4 address;
  // otherwise the whole range, isVersion4 untouched.
  foundation::Range invalidVersion4Range(foundation::Range range);
  // The version-6 check: sets isVersion6 when `range` has a version-6 shape and returns the one
  // bad group's place and length, or {0, 0}; the whole range otherwise.
  foundation::Range invalidVersion6Range(foundation::Range range);

 private:
  std::u16string_view examined(foundation::Range range) const;

  std::u16string contents_;
  bool isVersion4_ = false;
  bool isVersion6_ = false;
  foundation::Range invalidRange_;
};
