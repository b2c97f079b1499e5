#pragma once
// RLOptionalData is the body a response serializer reads: nothing for a nil body, else bytes that
// never change once wrapped and are shared by every copy, so that the body reaches the serializer,
// the response object and the completion notification without being copied. It reads like
// std::optional<foundation::Data>. Copies may be used from any thread.
#include <memory>
#include <optional>

#include "platform/foundation/Value.h"

class RLOptionalData {
 public:
  RLOptionalData() = default;
  RLOptionalData(std::nullopt_t) {}
  RLOptionalData(foundation::Data data) : bytes_(std::make_shared<const foundation::Data>(std::move(data))) {}
  RLOptionalData(std::optional<foundation::Data> data) {
    if (data) bytes_ = std::make_shared<const foundation::Data>(std::move(*data));
  }

  bool has_value() const { return bytes_ != nullptr; }
  explicit operator bool() const { return has_value(); }
  // The bytes; only when there are some.
  const foundation::Data& operator*() const { return *bytes_; }
  const foundation::Data* operator->() const { return bytes_.get(); }
  // The bytes, or no bytes for a nil body.
  const foundation::Data& bytes() const { return bytes_ ? *bytes_ : foundation::nullValue().dataValue(); }
  // A data Value sharing the bytes, or a null Value for a nil body.
  foundation::Value value() const { return foundation::Value(bytes_); }

 private:
  std::shared_ptr<const foundation::Data> bytes_;
};
