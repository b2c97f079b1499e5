#include "net/pipeline/ResponseSerialization.h"

#include <mutex>

#include "net/pipeline/DataRequest.h"
#include "net/pipeline/DownloadRequest.h"
#include "net/pipeline/PipelineError.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/ReserveData.h"
#include "platform/foundation/String.h"

namespace pipeline {

using SR = PipelineError::ResponseSerializationFailureReason;
using foundation::StringEncoding;

const std::set<int>& emptyBodyStatusCodes() {
  static const std::set<int> codes{204, 205};
  return codes;
}

namespace {

// The encoding number given to names the platform does not know; decoding with it fails.
constexpr auto kInvalidEncoding = static_cast<StringEncoding>(0xFFFFFFFFu);

AnyError serializationError(SR reason) { return AnyError(PipelineError::responseSerializationFailed(std::move(reason))); }

bool hasEmptyBodyStatus(const std::shared_ptr<const net::HTTPURLResponse>& response) {
  return response && emptyBodyStatusCodes().count(response->statusCode()) > 0;
}

StringEncoding encodingForIANAName(const std::string& name) {
  const std::string lower = foundation::lowercase(name);
  if (lower == "utf-8" || lower == "utf8") return StringEncoding::UTF8;
  if (lower == "iso-8859-1" || lower == "latin1" || lower == "iso_8859-1" || lower == "l1") return StringEncoding::ISOLatin1;
  if (lower == "utf-16be") return StringEncoding::UTF16BigEndian;
  if (lower == "utf-16le") return StringEncoding::UTF16LittleEndian;
  if (lower == "us-ascii" || lower == "ascii") return StringEncoding::ASCII;
  return kInvalidEncoding;
}

bool validUTF8(const foundation::Data& bytes) {
  // Round-tripping through UTF-16 replaces every malformed sequence, so a change means malformed.
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return foundation::utf8(foundation::utf16(text)) == text;
}

std::optional<std::string> decodeUTF16(const foundation::Data& bytes, bool bigEndian) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  std::u16string units;
  for (std::size_t i = 0; i < bytes.size(); i += 2) {
    units.push_back(bigEndian ? static_cast<char16_t>(bytes[i] << 8 | bytes[i + 1])
                              : static_cast<char16_t>(bytes[i + 1] << 8 | bytes[i]));
  }
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return std::nullopt;
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return std::nullopt;
    }
  }
  return foundation::utf8(units);
}

// `bytes` as UTF-8 text in `encoding`; nothing when they do not decode in it.
std::optional<std::string> decode(const foundation::Data& bytes, StringEncoding encoding) {
  switch (encoding) {
    case StringEncoding::UTF8:
      if (!validUTF8(bytes)) return std::nullopt;
      return std::string(bytes.begin(), bytes.end());
    case StringEncoding::ISOLatin1: {
      std::u16string units(bytes.begin(), bytes.end());
      return foundation::utf8(units);
    }
    case StringEncoding::UTF16BigEndian: return decodeUTF16(bytes, true);
    case StringEncoding::UTF16LittleEndian: return decodeUTF16(bytes, false);
    case StringEncoding::ASCII:
      for (auto byte : bytes) {
        if (byte >= 0x80) return std::nullopt;
      }
      return std::string(bytes.begin(), bytes.end());
  }
  return std::nullopt;
}

// The download steps in front of every download serializer: error, no file, unreadable file.
template <class V, class Rule>
Result<V> serializeFile(const std::shared_ptr<const net::HTTPURLResponse>& response,
                        const std::optional<net::URL>& fileURL, const std::optional<AnyError>& error, Rule rule) {
  if (error) return Result<V>::failure(*error);
  if (!fileURL) return Result<V>::failure(serializationError(SR::inputFileNil()));
  auto contents = foundation::FileManager::defaultManager().contentsAtPath(fileURL->path());
  if (!contents) return Result<V>::failure(serializationError(SR::inputFileReadFailed(*fileURL)));
  return rule(response, contents, std::nullopt);
}

}  // namespace

// ---- Rules -----------------------------------------------------------------------------------

Result<foundation::Data> Request::serializeResponseData(const std::shared_ptr<const net::HTTPURLResponse>& response,
                                                        const std::optional<foundation::Data>& data,
                                                        const std::optional<AnyError>& error) {
  using R = Result<foundation::Data>;
  if (error) return R::failure(*error);
  if (hasEmptyBodyStatus(response)) return R::success({});
  if (!data) return R::failure(serializationError(SR::inputDataNil()));
  // The result is a copy the caller owns, reserved as the body was: a large one on huge pages.
  foundation::Data copy;
  foundation::reserveData(copy, data->size());
  copy.assign(data->begin(), data->end());
  return R::success(std::move(copy));
}

Result<std::string> Request::serializeResponseString(std::optional<StringEncoding> encoding,
                                                     const std::shared_ptr<const net::HTTPURLResponse>& response,
                                                     const std::optional<foundation::Data>& data,
                                                     const std::optional<AnyError>& error) {
  using R = Result<std::string>;
  if (error) return R::failure(*error);
  if (hasEmptyBodyStatus(response)) return R::success("");
  if (!data) return R::failure(serializationError(SR::inputDataNil()));
  StringEncoding chosen = StringEncoding::ISOLatin1;
  if (encoding) {
    chosen = *encoding;
  } else if (response && response->textEncodingName()) {
    chosen = encodingForIANAName(*response->textEncodingName());
  }
  if (auto text = decode(*data, chosen)) return R::success(std::move(*text));
  return R::failure(serializationError(SR::stringSerializationFailed(chosen)));
}

Result<foundation::Value> Request::serializeResponseJSON(unsigned options,
                                                         const std::shared_ptr<const net::HTTPURLResponse>& response,
                                                         const std::optional<foundation::Data>& data,
                                                         const std::optional<AnyError>& error) {
  using R = Result<foundation::Value>;
  if (error) return R::failure(*error);
  if (hasEmptyBodyStatus(response)) return R::success(foundation::Value());
  if (!data || data->empty()) return R::failure(serializationError(SR::inputDataNilOrZeroLength()));
  foundation::Error parseError;
  if (auto value = foundation::JSONSerialization::JSONObjectWithData(*data, options, &parseError)) {
    return R::success(std::move(*value));
  }
  return R::failure(serializationError(SR::jsonSerializationFailed(AnyError(parseError))));
}

Result<foundation::Value> Request::serializeResponsePropertyList(
    unsigned options, const std::shared_ptr<const net::HTTPURLResponse>& response,
    const std::optional<foundation::Data>& data, const std::optional<AnyError>& error) {
  using R = Result<foundation::Value>;
  if (error) return R::failure(*error);
  if (hasEmptyBodyStatus(response)) return R::success(foundation::Value());
  if (!data || data->empty()) return R::failure(serializationError(SR::inputDataNilOrZeroLength()));
  foundation::Error parseError;
  if (auto value = foundation::PropertyListSerialization::propertyListWithData(*data, options, nullptr, &parseError)) {
    return R::success(std::move(*value));
  }
  return R::failure(serializationError(SR::propertyListSerializationFailed(AnyError(parseError))));
}

// ---- Data request serializers ----------------------------------------------------------------

DataResponseSerializer<foundation::Data> DataRequest::dataResponseSerializer() {
  return DataResponseSerializer<foundation::Data>(
      [](const auto&, const auto& response, const auto& data, const auto& error) {
        return Request::serializeResponseData(response, data, error);
      });
}

DataResponseSerializer<std::string> DataRequest::stringResponseSerializer(std::optional<StringEncoding> encoding) {
  return DataResponseSerializer<std::string>(
      [encoding](const auto&, const auto& response, const auto& data, const auto& error) {
        return Request::serializeResponseString(encoding, response, data, error);
      });
}

DataResponseSerializer<foundation::Value> DataRequest::jsonResponseSerializer(unsigned options) {
  return DataResponseSerializer<foundation::Value>(
      [options](const auto&, const auto& response, const auto& data, const auto& error) {
        return Request::serializeResponseJSON(options, response, data, error);
      });
}

DataResponseSerializer<foundation::Value> DataRequest::propertyListResponseSerializer(unsigned options) {
  return DataResponseSerializer<foundation::Value>(
      [options](const auto&, const auto& response, const auto& data, const auto& error) {
        return Request::serializeResponsePropertyList(options, response, data, error);
      });
}

// ---- Download request serializers ------------------------------------------------------------

DownloadResponseSerializer<foundation::Data> DownloadRequest::dataResponseSerializer() {
  return DownloadResponseSerializer<foundation::Data>(
      [](const auto&, const auto& response, const auto& fileURL, const auto& error) {
        return serializeFile<foundation::Data>(response, fileURL, error, &Request::serializeResponseData);
      });
}

DownloadResponseSerializer<std::string> DownloadRequest::stringResponseSerializer(
    std::optional<StringEncoding> encoding) {
  return DownloadResponseSerializer<std::string>(
      [encoding](const auto&, const auto& response, const auto& fileURL, const auto& error) {
        return serializeFile<std::string>(response, fileURL, error, [encoding](const auto& r, const auto& d, const auto& e) {
          return Request::serializeResponseString(encoding, r, d, e);
        });
      });
}

DownloadResponseSerializer<foundation::Value> DownloadRequest::jsonResponseSerializer(unsigned options) {
  return DownloadResponseSerializer<foundation::Value>(
      [options](const auto&, const auto& response, const auto& fileURL, const auto& error) {
        return serializeFile<foundation::Value>(response, fileURL, error,
                                                [options](const auto& r, const auto& d, const auto& e) {
                                                  return Request::serializeResponseJSON(options, r, d, e);
                                                });
      });
}

DownloadResponseSerializer<foundation::Value> DownloadRequest::propertyListResponseSerializer(unsigned options) {
  return DownloadResponseSerializer<foundation::Value>(
      [options](const auto&, const auto& response, const auto& fileURL, const auto& error) {
        return serializeFile<foundation::Value>(response, fileURL, error,
                                                [options](const auto& r, const auto& d, const auto& e) {
                                                  return Request::serializeResponsePropertyList(options, r, d, e);
                                                });
      });
}

}  // namespace pipeline
