#include "net/pipeline/URLEncoding.h"

#include <algorithm>

#include "net/pipeline/PipelineError.h"
#include "platform/net/PercentEncoding.h"
#include "platform/net/URLComponents.h"

namespace pipeline {
namespace {

using foundation::Value;

bool encodesInURL(URLEncoding::Destination destination, HTTPMethod method) {
  switch (destination) {
    case URLEncoding::Destination::queryString: return true;
    case URLEncoding::Destination::httpBody: return false;
    case URLEncoding::Destination::methodDependent: break;
  }
  return method == HTTPMethod::get || method == HTTPMethod::head || method == HTTPMethod::delete_;
}

// The text form of a leaf value: text as itself, anything else as the platform describes it.
std::string leafText(const Value& value) {
  if (value.isString()) return value.stringValue();
  return value.description();
}

// `url` with `query` added to its query, or nothing when its components compose no URL.
std::optional<net::URL> appendingQuery(const net::URL& url, const std::string& query) {
  auto components = net::URLComponents::fromURL(url, false);
  const auto existing = components.percentEncodedQuery();
  components.setPercentEncodedQuery((existing ? *existing + "&" : std::string()) + query);
  // Split without resolving, the relative text keeps its base when put back together.
  if (auto base = url.baseURL()) return components.url(*base);
  return components.url();
}

}  // namespace

net::URLRequest URLEncoding::encode(const URLRequestConvertible& urlRequest,
                                    const std::optional<Parameters>& parameters) const {
  net::URLRequest request = urlRequest.asURLRequest();
  if (!parameters) return request;

  const auto method = HTTPMethod::fromRawValue(request.httpMethod().empty() ? "GET" : request.httpMethod());
  if (method && encodesInURL(destination_, *method)) {
    if (!request.url()) {
      throw AnyError(PipelineError::parameterEncodingFailed(PipelineError::ParameterEncodingFailureReason::missingURL()));
    }
    if (!parameters->empty()) {
      // A URL whose components do not compose again keeps its old form rather than being lost.
      if (auto url = appendingQuery(*request.url(), query(*parameters))) request.setURL(std::move(url));
    }
    return request;
  }

  if (!request.valueForHTTPHeaderField("Content-Type")) {
    request.setValue("application/x-www-form-urlencoded; charset=utf-8", "Content-Type");
  }
  const std::string text = query(*parameters);
  request.setHTTPBody(foundation::Data(text.begin(), text.end()));
  return request;
}

std::vector<std::pair<std::string, std::string>> URLEncoding::queryComponents(const std::string& key,
                                                                              const Value& value) const {
  std::vector<std::pair<std::string, std::string>> components;
  if (value.isDictionary()) {
    for (const auto& [nestedKey, nestedValue] : value.dictionaryValue()) {
      auto nested = queryComponents(key + "[" + nestedKey + "]", nestedValue);
      components.insert(components.end(), nested.begin(), nested.end());
    }
    return components;
  }
  if (value.isArray()) {
    const std::string name = arrayEncoding_ == ArrayEncoding::brackets ? key + "[]" : key;
    for (const auto& element : value.arrayValue()) {
      auto nested = queryComponents(name, element);
      components.insert(components.end(), nested.begin(), nested.end());
    }
    return components;
  }
  if (value.isBool()) {
    const bool b = value.boolValue();
    const char* text = boolEncoding_ == BoolEncoding::numeric ? (b ? "1" : "0") : (b ? "true" : "false");
    components.emplace_back(escape(key), escape(text));
    return components;
  }
  components.emplace_back(escape(key), escape(leafText(value)));
  return components;
}

std::string URLEncoding::escape(std::string_view string) const {
  // The general delimiters ":#[]@" and the sub-delimiters "!$&'()*+,;=" would split a query
  // pair; "?" and "/" stay readable, as queries may hold them.
  static const auto allowed = net::URLAllowedCharacters::urlQueryAllowed().removing(":#[]@!$&'()*+,;=");
  return net::addingPercentEncoding(string, allowed);
}

std::string URLEncoding::query(const Parameters& parameters) const {
  std::vector<std::string> keys = parameters.keys();
  std::sort(keys.begin(), keys.end());
  std::string out;
  for (const auto& key : keys) {
    for (const auto& [name, value] : queryComponents(key, parameters.get(key))) {
      if (!out.empty()) out += "&";
      out += name + "=" + value;
    }
  }
  return out;
}

}  // namespace pipeline
