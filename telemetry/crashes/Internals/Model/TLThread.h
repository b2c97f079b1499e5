#pragma once
// TLThread is one thread of a crashed process in an error log: its number, its frames, innermost
// first, and, on the crashed thread only, the uncaught exception. A plain record, filled on one
// thread before the log that holds it is handed over.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telemetry/core/Internals/Model/TLSerializableObject.h"
#include "telemetry/crashes/Internals/Model/TLException.h"
#include "telemetry/crashes/Internals/Model/TLStackFrame.h"

class TLThread : public TLSerializableObject, public TLModel {
 public:
  // No id or name, an empty frame list, no exception.
  TLThread();
  // Reads back "id", "name", "frames" and "exception", and nothing else: a thread archived
  // without frames comes back without a frame list. A value of the wrong kind fails the
  // unarchiving.
  explicit TLThread(foundation::KeyedUnarchiver& coder);

  // Writes the four keys, absent ones as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The present fields as "id", "name", "frames" (an empty list as []) and "exception". Never
  // nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // True when the thread id is present and there is at least one frame.
  bool isValid() const override;
  // Whether `other` is a TLThread with the same fields, frames compared in order.
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::int64_t> threadId;
  std::optional<std::string> name;
  std::optional<std::vector<std::shared_ptr<TLStackFrame>>> frames;
  std::shared_ptr<TLException> exception;
};
