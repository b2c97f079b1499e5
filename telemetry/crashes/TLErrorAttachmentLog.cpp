#include "telemetry/crashes/TLErrorAttachmentLog.h"

#include "platform/foundation/UUID.h"
#include "platform/security/Base64.h"
#include "telemetry/crashes/Internals/Model/TLErrorModelCoding.h"

namespace {

constexpr const char* kErrorAttachmentType = "errorAttachment";
constexpr const char* kTextContentType = "text/plain";
constexpr const char* kAttachmentIdKey = "id";
constexpr const char* kErrorIdKey = "errorId";
constexpr const char* kContentTypeKey = "contentType";
constexpr const char* kFileNameKey = "fileName";
constexpr const char* kDataKey = "data";

}  // namespace

TLErrorAttachmentLog::TLErrorAttachmentLog() : attachmentId(foundation::UUID().UUIDString()) {
  setType(kErrorAttachmentType);
}

TLErrorAttachmentLog::TLErrorAttachmentLog(std::optional<std::string> filename, std::optional<foundation::Data> data,
                                           std::optional<std::string> contentType)
    : TLErrorAttachmentLog() {
  this->data = std::move(data);
  this->contentType = std::move(contentType);
  this->filename = std::move(filename);
}

TLErrorAttachmentLog::TLErrorAttachmentLog(std::optional<std::string> filename, const std::string& text)
    : TLErrorAttachmentLog(std::move(filename), foundation::Data(text.begin(), text.end()), kTextContentType) {}

TLErrorAttachmentLog::TLErrorAttachmentLog(foundation::KeyedUnarchiver& coder)
    : TLAbstractLog(coder),
      attachmentId(coder.decodeStringForKey(kAttachmentIdKey)),
      errorId(coder.decodeStringForKey(kErrorIdKey)),
      contentType(coder.decodeStringForKey(kContentTypeKey)),
      filename(coder.decodeStringForKey(kFileNameKey)),
      data(TLErrorModelCoding::decodeData(coder, kDataKey)) {}

std::shared_ptr<TLErrorAttachmentLog> TLErrorAttachmentLog::attachmentWithText(const std::string& text,
                                                                               std::optional<std::string> filename) {
  return std::make_shared<TLErrorAttachmentLog>(std::move(filename), text);
}

std::shared_ptr<TLErrorAttachmentLog> TLErrorAttachmentLog::attachmentWithBinary(
    std::optional<foundation::Data> data, std::optional<std::string> filename, std::optional<std::string> contentType) {
  return std::make_shared<TLErrorAttachmentLog>(std::move(filename), std::move(data), std::move(contentType));
}

void TLErrorAttachmentLog::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  TLAbstractLog::encodeWithCoder(coder);
  coder.encodeObject(attachmentId, kAttachmentIdKey);
  coder.encodeObject(errorId, kErrorIdKey);
  coder.encodeObject(contentType, kContentTypeKey);
  coder.encodeObject(filename, kFileNameKey);
  coder.encodeObject(data, kDataKey);
}

std::optional<foundation::Dictionary> TLErrorAttachmentLog::serializeToDictionary() const {
  auto dictionary = TLAbstractLog::serializeToDictionary();
  if (!dictionary) return dictionary;
  if (attachmentId) dictionary->set(kAttachmentIdKey, *attachmentId);
  if (errorId) dictionary->set(kErrorIdKey, *errorId);
  if (contentType) dictionary->set(kContentTypeKey, *contentType);
  if (filename) dictionary->set(kFileNameKey, *filename);
  if (data) dictionary->set(kDataKey, security::base64EncodedString(*data));
  return dictionary;
}

bool TLErrorAttachmentLog::isValid() const {
  return TLAbstractLog::isValid() && errorId && attachmentId && data && contentType;
}

bool TLErrorAttachmentLog::isEqual(const foundation::Object& other) const {
  const auto* log = dynamic_cast<const TLErrorAttachmentLog*>(&other);
  return log && TLAbstractLog::isEqual(other) && attachmentId == log->attachmentId && errorId == log->errorId &&
         contentType == log->contentType && filename == log->filename && data == log->data;
}
