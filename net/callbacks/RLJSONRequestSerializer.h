#pragma once
// RLJSONRequestSerializer writes the parameters of body methods as a JSON document
// ("application/json" unless the request or the default headers name another Content-Type);
// GET, HEAD and DELETE still put them in the URL query. Everything else is the HTTP request
// serializer's.
//
// Threads: as RLHTTPRequestSerializer; writingOptions is a plain field.
#include <memory>

#include "net/callbacks/RLHTTPRequestSerializer.h"

class RLJSONRequestSerializer : public RLHTTPRequestSerializer {
 public:
  // A new serializer writing with `writingOptions` (foundation::JSONWritingOptions bits).
  static std::shared_ptr<RLJSONRequestSerializer> serializer();
  static std::shared_ptr<RLJSONRequestSerializer> serializerWithWritingOptions(unsigned writingOptions);

  RLJSONRequestSerializer() = default;
  // The base's archived state and the writing options.
  explicit RLJSONRequestSerializer(foundation::KeyedUnarchiver& coder);

  unsigned writingOptions() const { return writingOptions_; }
  void setWritingOptions(unsigned options) { writingOptions_ = options; }

  // Body methods: the default headers, then, with parameters, the JSON body. Nothing, with
  // *error, for parameters that are not a valid JSON object (code
  // RLRequestSerializationErrorCannotWriteParameters, "The `parameters` argument is not valid
  // JSON.") or that the writer refuses (its error).
  std::optional<net::URLRequest> requestBySerializingRequest(const net::URLRequest& request,
                                                             const foundation::Value& parameters,
                                                             foundation::Error* error) const override;

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  std::shared_ptr<RLURLRequestSerialization> copy() const override;

 private:
  unsigned writingOptions_ = 0;
};
