#pragma once
// TLErrorAttachmentLog ("errorAttachment") is a file sent along with a crash report: text or
// bytes with a MIME type and a file name, tied to the error it belongs to by that error's id. The
// application's crash delegate makes attachments with the two factories; the crash service sets
// the error id before sending. Filled on one thread before it is handed to a channel.
#include <memory>
#include <optional>
#include <string>

#include "telemetry/core/Internals/Model/TLAbstractLog.h"

class TLErrorAttachmentLog : public TLAbstractLog {
 public:
  // The type "errorAttachment" and a new random attachment id (upper-case UUID text); every
  // other field absent.
  TLErrorAttachmentLog();
  // As above, holding `data`, `contentType` and `filename` as given.
  TLErrorAttachmentLog(std::optional<std::string> filename, std::optional<foundation::Data> data,
                       std::optional<std::string> contentType);
  // As above, holding the UTF-8 bytes of `text` as "text/plain".
  TLErrorAttachmentLog(std::optional<std::string> filename, const std::string& text);
  // Reads back the base keys and "id", "errorId", "contentType", "fileName" and "data" (the
  // bytes); a value of the wrong kind fails the unarchiving.
  explicit TLErrorAttachmentLog(foundation::KeyedUnarchiver& coder);

  // A text attachment (see the constructor). Owned by the caller.
  static std::shared_ptr<TLErrorAttachmentLog> attachmentWithText(const std::string& text,
                                                                  std::optional<std::string> filename);
  // An attachment of bytes with their MIME type. Owned by the caller.
  static std::shared_ptr<TLErrorAttachmentLog> attachmentWithBinary(std::optional<foundation::Data> data,
                                                                    std::optional<std::string> filename,
                                                                    std::optional<std::string> contentType);

  // The base keys, then the five keys above, absent ones as nil; the data as bytes.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The base dictionary, then the present fields as "id", "errorId", "contentType", "fileName"
  // and "data", the data as standard Base64 text on one line. Never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // True when the base log is valid and the error id, attachment id, data and content type are
  // present.
  bool isValid() const override;
  // Whether `other` is a TLErrorAttachmentLog equal as a log and with the same fields, the data
  // compared byte by byte. Two attachments made apart differ by their attachment ids.
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> attachmentId;
  std::optional<std::string> errorId;      // the error log's id, set by the crash service
  std::optional<std::string> contentType;  // a MIME type
  std::optional<std::string> filename;
  std::optional<foundation::Data> data;
};
