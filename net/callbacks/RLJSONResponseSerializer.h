#pragma once
// RLJSONResponseSerializer validates a response as its base does, accepting the MIME types
// "application/json", "text/json" and "text/javascript", and parses the body as JSON. It is the
// default response serializer of the session managers.
#include <memory>

#include "net/callbacks/RLURLResponseSerialization.h"

class RLJSONResponseSerializer : public RLHTTPResponseSerializer {
 public:
  // The base defaults plus the three JSON MIME types; reading options 0, nulls kept.
  RLJSONResponseSerializer();
  // The base decoding, then "readingOptions" and "removesKeysWithNullValues".
  explicit RLJSONResponseSerializer(foundation::KeyedUnarchiver& coder);

  static std::shared_ptr<RLJSONResponseSerializer> serializer() { return serializerWithReadingOptions(0); }
  static std::shared_ptr<RLJSONResponseSerializer> serializerWithReadingOptions(unsigned long readingOptions);

  // foundation::JSONReadingOptions bits handed to the parser. The mutable-containers bit (1) is
  // accepted; our values are always mutable copies, so it changes nothing.
  unsigned long readingOptions() const { return readingOptions_; }
  void setReadingOptions(unsigned long options) { readingOptions_ = options; }
  // Whether dictionary entries whose value is null are removed, at every depth.
  bool removesKeysWithNullValues() const { return removesKeysWithNullValues_; }
  void setRemovesKeysWithNullValues(bool removes) { removesKeysWithNullValues_ = removes; }

  // The parsed body, or null. Stops with null after a failed validation when no error was asked
  // for or the MIME type was refused; a refused status goes on, so a 404 with a JSON body gives
  // the parsed body and the -1011 error. An empty body, or one of a single space, gives null and
  // leaves *error alone. Malformed JSON gives null and the parser's error, with any validation
  // error under it.
  foundation::Value responseObjectForResponse(const RLURLResponsePtr& response, const RLOptionalData& data,
                                              RLErrorOut error) const override;
  std::shared_ptr<RLURLResponseSerialization> copy() const override;
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

 private:
  unsigned long readingOptions_ = 0;
  bool removesKeysWithNullValues_ = false;
};

// `value` with every dictionary entry whose value is null removed, in nested arrays and
// dictionaries too; null elements of arrays stay. `readingOptions` is kept for the mutability
// bit, which our values do not distinguish.
foundation::Value RLJSONObjectByRemovingKeysWithNullValues(const foundation::Value& value, unsigned long readingOptions);
