#pragma once
// UTF8Text holds the few UTF-8 facts the editor and the remote refresh need without converting a
// whole text: whether bytes are well-formed UTF-8, and how positions in one line map between
// UTF-8 bytes and the UTF-16 units that Qt's text classes count. Mostly-ASCII texts (hosts files
// are) take a fast path.
//
// Pure functions; safe from any thread.
#include <cstddef>
#include <string_view>

namespace app {

// Whether `bytes` are well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF, no cut-off sequence). Embedded NUL bytes are well-formed. Linear, no allocation.
bool isWellFormedUTF8(std::string_view bytes);

// The number of UTF-16 units that the well-formed UTF-8 `bytes` decode to.
std::size_t utf16Length(std::string_view bytes);

// The byte offset in `bytes` where the UTF-16 unit `index` begins; the size of `bytes` when the
// index lies at or past the end. An index inside a surrogate pair gives the pair's start.
std::size_t byteOffsetOfUTF16(std::string_view bytes, std::size_t index);

// The length of the UTF-8 sequence that begins with `lead` (1 for ASCII and for stray bytes).
std::size_t sequenceLength(unsigned char lead);

}  // namespace app
