#include "platform/foundation/detail/BinaryPropertyListReader.h"

#include <cmath>
#include <cstring>
#include <vector>

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include "platform/foundation/detail/ExpansionBudget.h"

namespace foundation::detail {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;

std::uint64_t bigEndian(const std::uint8_t* bytes, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes[i];
  return value;
}

double bigEndianDouble(const std::uint8_t* bytes) {
  const std::uint64_t bits = bigEndian(bytes, 8);
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

float bigEndianFloat(const std::uint8_t* bytes) {
  const auto bits = static_cast<std::uint32_t>(bigEndian(bytes, 4));
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// UTF-16 code units (big-endian) as UTF-8; false on an unpaired surrogate.
bool utf16ToUTF8(const std::uint8_t* units, std::uint64_t count, std::string& out) {
  out.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    UChar32 c = static_cast<UChar32>(bigEndian(units + 2 * i, 2));
    if (U16_IS_SURROGATE(c)) {
      if (!U16_IS_SURROGATE_LEAD(c) || i + 1 == count) return false;
      const auto trail = static_cast<UChar32>(bigEndian(units + 2 * (i + 1), 2));
      if (!U16_IS_TRAIL(trail)) return false;
      c = U16_GET_SUPPLEMENTARY(c, trail);
      ++i;
    }
    char buffer[4];
    std::int32_t length = 0;
    U8_APPEND_UNSAFE(buffer, length, c);
    out.append(buffer, static_cast<std::size_t>(length));
  }
  return true;
}

class Reader {
 public:
  Reader(const std::uint8_t* bytes, std::size_t size, std::string& problem)
      : bytes_(bytes), size_(size), budget_(size), problem_(problem) {}

  std::optional<Value> read() {
    std::uint64_t top = 0;
    if (!readTrailer(top)) return std::nullopt;
    onPath_.assign(static_cast<std::size_t>(objectCount_), false);
    Value value;
    if (!spendValues(1) || !readObject(top, 0, value)) return std::nullopt;
    return value;
  }

 private:
  struct Header {
    unsigned type = 0;
    unsigned info = 0;
    std::uint64_t position = 0;  // just past the marker
  };

  bool fail(const std::string& reason) {
    problem_ = reason;
    return false;
  }

  bool readTrailer(std::uint64_t& top) {
    if (size_ < kHeaderSize + 1 + kTrailerSize) return fail("The binary property list is too short.");
    const std::uint8_t* trailer = bytes_ + size_ - kTrailerSize;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    objectCount_ = bigEndian(trailer + 8, 8);
    top = bigEndian(trailer + 16, 8);
    const std::uint64_t tableOffset = bigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) {
      return fail("The binary property list's trailer names impossible sizes.");
    }
    const std::uint64_t tableEnd = size_ - kTrailerSize;
    if (objectCount_ == 0 || top >= objectCount_ || tableOffset < kHeaderSize + 1 || tableOffset > tableEnd ||
        objectCount_ > (tableEnd - tableOffset) / offsetSize_) {
      return fail("The binary property list's offset table lies outside the data.");
    }
    table_ = bytes_ + tableOffset;
    objectsEnd_ = tableOffset;
    return true;
  }

  // A value's slot is charged by its container (the top one by read()); the value itself then
  // pays only for the text or data it holds.
  bool spendValues(std::uint64_t count) { return budget_.spendValues(count) || tooLarge(); }
  bool spendBytes(std::uint64_t count) { return budget_.spendBytes(count) || tooLarge(); }

  bool tooLarge() {
    return fail("The binary property list expands to far more than its own size (through shared references).");
  }

  // Whether `count` items of `unit` bytes fit between `position` and the offset table.
  bool fits(std::uint64_t position, std::uint64_t count, std::uint64_t unit) const {
    return position <= objectsEnd_ && count <= (objectsEnd_ - position) / unit;
  }

  bool headerOf(std::uint64_t object, Header& header) {
    const std::uint64_t offset = bigEndian(table_ + object * offsetSize_, offsetSize_);
    if (offset < kHeaderSize || offset >= objectsEnd_) return fail("An object's offset lies outside the data.");
    const std::uint8_t marker = bytes_[offset];
    header = {static_cast<unsigned>(marker >> 4), static_cast<unsigned>(marker & 0x0F), offset + 1};
    return true;
  }

  // The element or byte count of an object whose marker holds 0xF: an integer object follows.
  bool readCount(Header& header, std::uint64_t& count) {
    if (header.info != 0x0F) {
      count = header.info;
      return true;
    }
    if (!fits(header.position, 1, 1)) return fail("An object runs past the end of the data.");
    const std::uint8_t marker = bytes_[header.position];
    const std::size_t width = std::size_t{1} << (marker & 0x0F);
    if ((marker >> 4) != 0x1 || width > 8) return fail("An object's length is not a valid integer.");
    if (!fits(header.position + 1, width, 1)) return fail("An object runs past the end of the data.");
    count = bigEndian(bytes_ + header.position + 1, width);
    header.position += 1 + width;
    return true;
  }

  bool readReference(std::uint64_t position, std::uint64_t& object) {
    object = bigEndian(bytes_ + position, refSize_);
    if (object >= objectCount_) return fail("A reference points outside the object table.");
    return true;
  }

  bool readObject(std::uint64_t object, int depth, Value& out) {
    Header header;
    if (!headerOf(object, header)) return false;
    switch (header.type) {
      case 0x0: return readSingleton(header, out);
      case 0x1: return readInteger(header, out);
      case 0x2: return readReal(header, out);
      case 0x3: return readDate(header, out);
      case 0x4: return readData(header, out);
      case 0x5: return readASCII(header, out);
      case 0x6: return readUTF16(header, out);
      case 0x8: return readUID(header, out);
      case 0xA:  // arrays
      case 0xC:  // sets, read as arrays
      case 0xD:  // dictionaries
        return readContainer(object, header, depth, out);
      default: return fail("An object has an unknown type (marker " + std::to_string(header.type << 4 | header.info) + ").");
    }
  }

  bool readSingleton(const Header& header, Value& out) {
    if (header.info == 0x8 || header.info == 0x9) {
      out = Value(header.info == 0x9);
      return true;
    }
    if (header.info == 0x0) return fail("The property list holds a null object, which has no property-list value.");
    return fail("An object has an unknown type (marker " + std::to_string(header.info) + ").");
  }

  bool readInteger(const Header& header, Value& out) {
    if (header.info > 4) return fail("An integer has an unsupported width.");
    const std::size_t width = std::size_t{1} << header.info;
    if (!fits(header.position, width, 1)) return fail("An object runs past the end of the data.");
    const std::uint8_t* at = bytes_ + header.position;
    if (width < 8) {  // 1, 2 and 4 bytes hold unsigned numbers
      out = Value(static_cast<long long>(bigEndian(at, width)));
      return true;
    }
    if (width == 8) {
      out = Value(static_cast<long long>(static_cast<std::int64_t>(bigEndian(at, 8))));
      return true;
    }
    // 16 bytes: a signed 128-bit number, which the platform writes for unsigned 64-bit values.
    const std::uint64_t high = bigEndian(at, 8);
    const std::uint64_t low = bigEndian(at + 8, 8);
    if (high == 0) {
      out = Value(static_cast<unsigned long long>(low));
      return true;
    }
    if (high == UINT64_MAX && (low >> 63) == 1) {
      out = Value(static_cast<long long>(static_cast<std::int64_t>(low)));
      return true;
    }
    return fail("An integer does not fit in 64 bits.");
  }

  bool readReal(const Header& header, Value& out) {
    if (header.info != 2 && header.info != 3) return fail("A real number has an unsupported width.");
    const std::size_t width = header.info == 2 ? 4 : 8;
    if (!fits(header.position, width, 1)) return fail("An object runs past the end of the data.");
    const std::uint8_t* at = bytes_ + header.position;
    out = Value(width == 4 ? static_cast<double>(bigEndianFloat(at)) : bigEndianDouble(at));
    return true;
  }

  bool readDate(const Header& header, Value& out) {
    if (header.info != 3) return fail("A date has an unsupported width.");
    if (!fits(header.position, 8, 1)) return fail("An object runs past the end of the data.");
    const double seconds = bigEndianDouble(bytes_ + header.position);
    if (!std::isfinite(seconds)) return fail("A date is not a finite number of seconds.");
    out = Value(Date::fromTimeIntervalSinceReferenceDate(seconds));
    return true;
  }

  bool readData(Header header, Value& out) {
    std::uint64_t count = 0;
    if (!readCount(header, count)) return false;
    if (!fits(header.position, count, 1)) return fail("An object runs past the end of the data.");
    if (!spendBytes(count)) return false;
    const std::uint8_t* at = bytes_ + header.position;
    out = Value(Data(at, at + count));
    return true;
  }

  bool readASCII(Header header, Value& out) {
    std::uint64_t count = 0;
    if (!readCount(header, count)) return false;
    if (!fits(header.position, count, 1)) return fail("An object runs past the end of the data.");
    if (!spendBytes(count)) return false;
    const auto* at = reinterpret_cast<const char*>(bytes_ + header.position);
    for (std::uint64_t i = 0; i < count; ++i) {
      if (static_cast<unsigned char>(at[i]) >= 0x80) return fail("An ASCII string holds a byte outside ASCII.");
    }
    out = Value(std::string(at, static_cast<std::size_t>(count)));
    return true;
  }

  bool readUTF16(Header header, Value& out) {
    std::uint64_t count = 0;
    if (!readCount(header, count)) return false;
    if (!fits(header.position, count, 2)) return fail("An object runs past the end of the data.");
    if (!spendBytes(count * 3)) return false;  // a unit becomes at most 3 bytes of UTF-8
    std::string text;
    if (!utf16ToUTF8(bytes_ + header.position, count, text)) return fail("A string holds an unpaired surrogate.");
    out = Value(std::move(text));
    return true;
  }

  bool readUID(const Header& header, Value& out) {
    const std::size_t width = header.info + 1;
    if (!fits(header.position, width, 1)) return fail("An object runs past the end of the data.");
    const std::uint8_t* at = bytes_ + header.position;
    for (std::size_t i = 0; i + 8 < width; ++i) {
      if (at[i] != 0) return fail("A UID does not fit in 64 bits.");
    }
    const std::size_t low = width > 8 ? 8 : width;
    const std::uint64_t uid = bigEndian(at + width - low, low);
    // Charged as the scalar it stands for: its slot (by the container) and the key's bytes.
    if (!spendBytes(6)) return false;
    out = Value(Dictionary{{"CF$UID", Value(static_cast<unsigned long long>(uid))}});
    return true;
  }

  bool readContainer(std::uint64_t object, Header header, int depth, Value& out) {
    if (depth >= BinaryPropertyListReader::kMaximumDepth) return fail("Too many nested arrays or dictionaries.");
    if (onPath_[object]) return fail("An array or dictionary contains itself.");
    std::uint64_t count = 0;
    if (!readCount(header, count)) return false;
    const bool dictionary = header.type == 0xD;
    if (count > 0 && !fits(header.position, count, dictionary ? 2 * refSize_ : refSize_)) {
      return fail("An object runs past the end of the data.");
    }
    const std::uint64_t keys = dictionary ? count * ExpansionBudget::kKeyCost : 0;
    if (!spendValues(count) || !spendBytes(ExpansionBudget::kContainerCost + keys)) return false;
    onPath_[object] = true;
    const bool ok = dictionary ? readDictionary(header.position, count, depth, out)
                               : readArray(header.position, count, depth, out);
    onPath_[object] = false;
    return ok;
  }

  bool readArray(std::uint64_t position, std::uint64_t count, int depth, Value& out) {
    Array array;
    array.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t child = 0;
      Value element;
      if (!readReference(position + i * refSize_, child) || !readObject(child, depth + 1, element)) return false;
      array.push_back(std::move(element));
    }
    out = Value(std::move(array));
    return true;
  }

  bool readDictionary(std::uint64_t position, std::uint64_t count, int depth, Value& out) {
    Dictionary dictionary;
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t keyObject = 0;
      std::uint64_t valueObject = 0;
      if (!readReference(position + i * refSize_, keyObject) ||
          !readReference(position + (count + i) * refSize_, valueObject)) {
        return false;
      }
      Value key;
      Value element;
      if (!readKey(keyObject, key) || !readObject(valueObject, depth + 1, element)) return false;
      dictionary.set(key.stringValue(), std::move(element));
    }
    out = Value(std::move(dictionary));
    return true;
  }

  bool readKey(std::uint64_t object, Value& key) {
    Header header;
    if (!headerOf(object, header)) return false;
    if (header.type == 0x5) return readASCII(header, key);
    if (header.type == 0x6) return readUTF16(header, key);
    return fail("A dictionary key is not a string.");
  }

  const std::uint8_t* bytes_;
  std::size_t size_;
  ExpansionBudget budget_;
  std::string& problem_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t objectsEnd_ = 0;
  const std::uint8_t* table_ = nullptr;
  std::vector<bool> onPath_;
};

}  // namespace

std::optional<Value> BinaryPropertyListReader::read(const std::uint8_t* bytes, std::size_t size, std::string& problem) {
  return Reader(bytes, size, problem).read();
}

}  // namespace foundation::detail
