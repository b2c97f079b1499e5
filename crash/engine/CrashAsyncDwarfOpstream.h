#pragma once
// A read cursor over a range of DWARF instructions or expression bytes inside a memory object:
// fixed-width values through the image's byte order, LEB128 numbers and encoded pointers, none
// of which may end past the range. Call-frame programs and expressions are both decoded with it.
//
// A plain value that borrows its memory object. Crash-safe: nothing is allocated; a read that
// fails leaves the position where it was and writes a diagnostic line.
#include <cstdint>

#include "crash/engine/CrashAsyncDwarfPrimitives.h"

namespace crash::async {

class dwarf_opstream {
 public:
  // Opens the `length` bytes at `address` + `offset` in `mobj`. Returns 0, or 5 when the sum
  // wraps, the length is negative as a signed number, or the object does not hold the range.
  crash_error_t init(const crash_async_mobject* mobj, const crash_async_byteorder* byteorder, std::uint64_t address,
                     std::uint64_t offset, std::uint64_t length);

  // Reads an unsigned or signed value of T's size through the byte order. False, with the
  // diagnostic "Read of size <n> exceeds mapped range", when it does not fit the rest.
  template <typename T>
  bool read_intU(T* result) {
    static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
    if (static_cast<std::uint64_t>(end_ - p_) < sizeof(T)) {
      CRASH_ASYNC_LOG("Read of size %zu exceeds mapped range", sizeof(T));
      return false;
    }
    T value{};
    __builtin_memcpy(&value, p_, sizeof(T));
    if constexpr (sizeof(T) == 2) value = static_cast<T>(byteorder_->swap16(static_cast<std::uint16_t>(value)));
    if constexpr (sizeof(T) == 4) value = static_cast<T>(byteorder_->swap32(static_cast<std::uint32_t>(value)));
    if constexpr (sizeof(T) == 8) value = static_cast<T>(byteorder_->swap64(static_cast<std::uint64_t>(value)));
    *result = value;
    p_ += sizeof(T);
    return true;
  }

  // LEB128 numbers that must end inside the range.
  bool read_uleb128(std::uint64_t* result);
  bool read_sleb128(std::int64_t* result);

  // A pointer encoded as `encoding`, read with `reader`, that must end inside the range.
  template <typename machine_ptr>
  bool read_gnueh_ptr(const gnu_ehptr_reader<machine_ptr>* reader, DW_EH_PE_t encoding, machine_ptr* result);

  // Moves by `offset` bytes; false (and no move) when that leaves [start, end].
  bool skip(std::int64_t offset);

  // Bytes from the range's start to the cursor, and the bytes left.
  std::uint64_t get_position() const { return static_cast<std::uint64_t>(p_ - start_); }
  std::uint64_t remaining() const { return static_cast<std::uint64_t>(end_ - p_); }
  // The task address of the next byte.
  std::uint64_t get_target_address() const { return address_ + get_position(); }

 private:
  const crash_async_mobject* mobj_ = nullptr;
  const crash_async_byteorder* byteorder_ = nullptr;
  std::uint64_t address_ = 0;  // task address of the range's first byte
  std::uint64_t end_address_ = 0;
  const std::uint8_t* start_ = nullptr;
  const std::uint8_t* end_ = nullptr;
  const std::uint8_t* p_ = nullptr;
};

extern template bool dwarf_opstream::read_gnueh_ptr<std::uint32_t>(const gnu_ehptr_reader<std::uint32_t>*, DW_EH_PE_t,
                                                                    std::uint32_t*);
extern template bool dwarf_opstream::read_gnueh_ptr<std::uint64_t>(const gnu_ehptr_reader<std::uint64_t>*, DW_EH_PE_t,
                                                                    std::uint64_t*);

}  // namespace crash::async
