#pragma once
// Responses, bodies and archiving round trips shared by the response serializer tests.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "net/callbacks/RLArchivableClasses.h"
#include "net/callbacks/RLURLResponseSerialization.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/net/URLResponse.h"
#include "tests/support/TempDir.h"

namespace test {

inline const char* kResponseURL = "http://127.0.0.1/feed";

// An HTTP response with `status` and, when given, a Content-Type; without URL when asked.
inline RLURLResponsePtr httpResponse(int status, std::optional<std::string> contentType, bool withURL = true) {
  net::HTTPHeaderFields headers;
  if (contentType) headers.set("Content-Type", *contentType);
  const net::URL url = withURL ? *net::URL::fromString(kResponseURL) : net::URL();
  return std::make_shared<net::HTTPURLResponse>(url, status, "HTTP/1.1", headers);
}

inline RLOptionalData body(const std::string& text) { return foundation::Data(text.begin(), text.end()); }

inline foundation::Data fixture(const std::string& name) {
  const std::string bytes = readFile(std::string(QM_TEST_FIXTURES) + "/" + name);
  EXPECT_FALSE(bytes.empty()) << "missing fixture " << name;
  return foundation::Data(bytes.begin(), bytes.end());
}

inline foundation::Value json(const std::string& text) {
  auto value = foundation::JSONSerialization::JSONObjectWithData(foundation::Data(text.begin(), text.end()),
                                                                 foundation::JSONReadingAllowFragments);
  EXPECT_TRUE(value) << text;
  return value.value_or(foundation::Value());
}

// `object` archived and read back with secure decoding as its own class; null on failure.
template <class T>
std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
  RLRegisterArchivableClasses();
  foundation::Error error;
  const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(object, &error);
  EXPECT_TRUE(data) << error.description();
  if (!data) return nullptr;
  auto back = foundation::KeyedUnarchiver::unarchivedObjectOfClass<T>(*data, &error);
  EXPECT_TRUE(back) << error.description();
  return back;
}

// The code of an optional error, 0 for none.
inline long codeOf(const std::optional<foundation::Error>& error) { return error ? error->code() : 0; }
inline long underlyingCodeOf(const std::optional<foundation::Error>& error) {
  return error && error->underlyingError() ? error->underlyingError()->code() : 0;
}

}  // namespace test
