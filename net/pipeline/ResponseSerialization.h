#pragma once
// Response serializers turn a finished request's raw outcome (URL request, HTTP response, body or
// downloaded file, error) into a typed Result. DataResponseSerializer serves data and upload
// requests, DownloadResponseSerializer downloads; each holds one function together with what it
// captured (an encoding, options), shared between copies. The response handlers that run them
// are members of DataRequest and DownloadRequest; the built-in serializers come from their
// factories (dataResponseSerializer, stringResponseSerializer, jsonResponseSerializer,
// propertyListResponseSerializer).
//
// A serializer function must not throw: failures are returned as the failure case.
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <utility>

#include "net/pipeline/Result.h"
#include "platform/foundation/Value.h"
#include "platform/net/URL.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"

namespace pipeline {

// The status codes whose responses serialize to the empty value whatever body they carry.
const std::set<int>& emptyBodyStatusCodes();

template <class Value>
struct DataResponseSerializer {
  using SerializedObject = Value;
  using Function = std::function<Result<Value>(const std::optional<net::URLRequest>&,
                                               const std::shared_ptr<const net::HTTPURLResponse>&,
                                               const std::optional<foundation::Data>&, const std::optional<AnyError>&)>;

  explicit DataResponseSerializer(Function serialize) : serializeResponse(std::move(serialize)) {}
  Function serializeResponse;
};

template <class Value>
struct DownloadResponseSerializer {
  using SerializedObject = Value;
  using Function = std::function<Result<Value>(const std::optional<net::URLRequest>&,
                                               const std::shared_ptr<const net::HTTPURLResponse>&,
                                               const std::optional<net::URL>&, const std::optional<AnyError>&)>;

  explicit DownloadResponseSerializer(Function serialize) : serializeResponse(std::move(serialize)) {}
  Function serializeResponse;
};

// Any type shaped like DataResponseSerializer (a SerializedObject type and a serializeResponse
// function over the body), so callers may bring serializers of their own.
template <class S>
concept DataResponseSerializerProtocol = requires(const S& s, const std::optional<net::URLRequest>& request,
                                                  const std::shared_ptr<const net::HTTPURLResponse>& response,
                                                  const std::optional<foundation::Data>& data,
                                                  const std::optional<AnyError>& error) {
  typename S::SerializedObject;
  { s.serializeResponse(request, response, data, error) } -> std::same_as<Result<typename S::SerializedObject>>;
};

// The same over the downloaded file's URL.
template <class S>
concept DownloadResponseSerializerProtocol = requires(const S& s, const std::optional<net::URLRequest>& request,
                                                      const std::shared_ptr<const net::HTTPURLResponse>& response,
                                                      const std::optional<net::URL>& fileURL,
                                                      const std::optional<AnyError>& error) {
  typename S::SerializedObject;
  { s.serializeResponse(request, response, fileURL, error) } -> std::same_as<Result<typename S::SerializedObject>>;
};

}  // namespace pipeline
