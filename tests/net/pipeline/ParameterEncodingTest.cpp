#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

#include "net/pipeline/HTTPMethod.h"
#include "net/pipeline/JSONEncoding.h"
#include "net/pipeline/PropertyListEncoding.h"
#include "net/pipeline/URLConvertible.h"
#include "net/pipeline/URLEncoding.h"
#include "net/pipeline/URLRequestConvertible.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "tests/net/pipeline/PipelineTestSupport.h"

namespace {

using foundation::Array;
using foundation::Dictionary;
using foundation::Value;
using pipeline::HTTPMethod;
using pipeline::JSONEncoding;
using pipeline::PipelineError;
using pipeline::PropertyListEncoding;
using pipeline::URLConvertible;
using pipeline::URLEncoding;
using Reason = PipelineError::ParameterEncodingFailureReason;

net::URLRequest request(const std::string& url, const std::string& method = "GET") {
  net::URLRequest r(*net::URL::fromString(url));
  r.setHTTPMethod(method);
  return r;
}

std::string bodyText(const net::URLRequest& r) {
  return r.httpBody() ? std::string(r.httpBody()->begin(), r.httpBody()->end()) : std::string("<none>");
}

TEST(URLConvertible, ConversionsAndTheirFailures) {
  EXPECT_EQ(URLConvertible("https://example.org/a?b=1").asURL().absoluteString(), "https://example.org/a?b=1");
  const auto url = *net::URL::fromString("http://h/p");
  EXPECT_EQ(URLConvertible(url).asURL(), url);
  auto components = net::URLComponents::fromString("http://h/x");
  EXPECT_EQ(URLConvertible(*components).asURL().absoluteString(), "http://h/x");

  for (const std::string text : {"", "http://bad host/"}) {
    auto error = test::thrownBy([&] { URLConvertible(text).asURL(); });
    auto* pipelineError = test::pipelineError(error);
    ASSERT_TRUE(pipelineError) << text;
    ASSERT_TRUE(pipelineError->isInvalidURLError());
    EXPECT_EQ(*pipelineError->urlConvertible()->as<std::string>(), text);
  }

  net::URLComponents broken;
  broken.setHost("h");
  broken.setPercentEncodedPath("no-leading-slash");
  auto error = test::thrownBy([&] { URLConvertible(broken).asURL(); });
  ASSERT_TRUE(test::pipelineError(error));
  EXPECT_TRUE(test::pipelineError(error)->urlConvertible()->as<net::URLComponents>());
}

struct Router {
  bool fail = false;
  net::URLRequest asURLRequest() const {
    if (fail) throw pipeline::AnyError(foundation::Error::withDescription("Router", 1, "no route"));
    return request("http://api/route");
  }
};

TEST(URLRequestConvertible, RequestsAndCallerTypes) {
  auto plain = request("http://h/");
  EXPECT_EQ(pipeline::URLRequestConvertible(plain).asURLRequest(), plain);
  EXPECT_EQ(pipeline::URLRequestConvertible(Router{}).urlRequest()->url()->absoluteString(), "http://api/route");
  EXPECT_FALSE(pipeline::URLRequestConvertible(Router{true}).urlRequest());

  auto built = pipeline::makeURLRequest("http://h/path", HTTPMethod::post, pipeline::HTTPHeaders{{"A", "1"}, {"B", "2"}});
  EXPECT_EQ(built.httpMethod(), "POST");
  EXPECT_EQ(built.timeoutInterval(), 60.0);
  EXPECT_EQ(built.cachePolicy(), net::URLRequestCachePolicy::UseProtocolCachePolicy);
  EXPECT_EQ(built.valueForHTTPHeaderField("A"), "1");
  EXPECT_EQ(built.valueForHTTPHeaderField("B"), "2");
  EXPECT_TRUE(test::pipelineError(test::thrownBy([] { pipeline::makeURLRequest("", HTTPMethod::get); })));
}

TEST(HTTPMethod, RawValuesRoundTripExactly) {
  const std::vector<std::pair<HTTPMethod, std::string>> table = {
      {HTTPMethod::options, "OPTIONS"}, {HTTPMethod::get, "GET"},       {HTTPMethod::head, "HEAD"},
      {HTTPMethod::post, "POST"},       {HTTPMethod::put, "PUT"},       {HTTPMethod::patch, "PATCH"},
      {HTTPMethod::delete_, "DELETE"},  {HTTPMethod::trace, "TRACE"},   {HTTPMethod::connect, "CONNECT"}};
  std::unordered_set<HTTPMethod> seen;
  for (const auto& [method, raw] : table) {
    EXPECT_EQ(method.rawValue(), raw);
    EXPECT_EQ(HTTPMethod::fromRawValue(raw), method);
    seen.insert(method);
  }
  EXPECT_EQ(seen.size(), 9u);
  EXPECT_FALSE(HTTPMethod::fromRawValue("get"));
  EXPECT_FALSE(HTTPMethod::fromRawValue("FETCH"));
}

TEST(URLEncoding, DestinationByMethodAndChoice) {
  const Dictionary parameters{{"b", 2}, {"a", 1}};
  struct Case {
    URLEncoding encoding;
    std::string method;
    std::string url;
    std::string expectedURL;
    std::string expectedBody;
  };
  const std::vector<Case> cases = {
      {URLEncoding::default_(), "GET", "http://h/p", "http://h/p?a=1&b=2", "<none>"},
      {URLEncoding::default_(), "HEAD", "http://h/p", "http://h/p?a=1&b=2", "<none>"},
      {URLEncoding::default_(), "DELETE", "http://h/p", "http://h/p?a=1&b=2", "<none>"},
      {URLEncoding::default_(), "GET", "http://h/p?x=9", "http://h/p?x=9&a=1&b=2", "<none>"},
      {URLEncoding::default_(), "POST", "http://h/p", "http://h/p", "a=1&b=2"},
      {URLEncoding::methodDependent(), "PUT", "http://h/p", "http://h/p", "a=1&b=2"},
      {URLEncoding::queryString(), "POST", "http://h/p", "http://h/p?a=1&b=2", "<none>"},
      {URLEncoding::httpBody(), "GET", "http://h/p", "http://h/p", "a=1&b=2"},
      {URLEncoding::queryString(), "FETCH", "http://h/p", "http://h/p", "a=1&b=2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + c.url);
    auto encoded = c.encoding.encode(request(c.url, c.method), parameters);
    EXPECT_EQ(encoded.url()->absoluteString(), c.expectedURL);
    EXPECT_EQ(bodyText(encoded), c.expectedBody);
    const auto contentType = encoded.valueForHTTPHeaderField("Content-Type");
    if (c.expectedBody == "<none>") {
      EXPECT_FALSE(contentType);
    } else {
      EXPECT_EQ(contentType, "application/x-www-form-urlencoded; charset=utf-8");
    }
  }
}

TEST(URLEncoding, AbsentAndEmptyParametersAndHeadersKept) {
  auto get = request("http://h/p");
  EXPECT_EQ(URLEncoding::default_().encode(get, std::nullopt), get);
  EXPECT_EQ(URLEncoding::default_().encode(get, Dictionary{}), get);

  auto post = request("http://h/p", "POST");
  EXPECT_EQ(URLEncoding::default_().encode(post, std::nullopt), post);
  auto empty = URLEncoding::default_().encode(post, Dictionary{});
  EXPECT_EQ(bodyText(empty), "");
  EXPECT_EQ(empty.valueForHTTPHeaderField("Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");

  post.setValue("text/custom", "Content-Type");
  auto kept = URLEncoding::default_().encode(post, Dictionary{{"a", 1}});
  EXPECT_EQ(kept.valueForHTTPHeaderField("Content-Type"), "text/custom");
  EXPECT_EQ(bodyText(kept), "a=1");
}

TEST(URLEncoding, RelativeURLKeepsItsBase) {
  auto base = net::URL::fromString("http://h/api/");
  net::URLRequest relative(*net::URL::fromString("items?x=1", base));
  auto encoded = URLEncoding::default_().encode(relative, Dictionary{{"a", 1}});
  EXPECT_EQ(encoded.url()->absoluteString(), "http://h/api/items?x=1&a=1");
}

TEST(URLEncoding, MissingURLFailsOnlyForTheQuery) {
  net::URLRequest noURL;
  auto error = test::thrownBy([&] { URLEncoding::default_().encode(noURL, Dictionary{{"a", 1}}); });
  auto* pipelineError = test::pipelineError(error);
  ASSERT_TRUE(pipelineError);
  ASSERT_TRUE(pipelineError->isParameterEncodingError());
  EXPECT_TRUE(pipelineError->as<PipelineError::ParameterEncodingFailed>()->reason.as<Reason::MissingURL>());

  EXPECT_FALSE(test::thrownBy([&] { URLEncoding::httpBody().encode(noURL, Dictionary{{"a", 1}}); }));
}

TEST(URLEncoding, QueryComponentsOfNestedValues) {
  const URLEncoding brackets;
  const URLEncoding plainArrays(URLEncoding::Destination::methodDependent, URLEncoding::ArrayEncoding::noBrackets);
  const URLEncoding literal(URLEncoding::Destination::methodDependent, URLEncoding::ArrayEncoding::brackets,
                            URLEncoding::BoolEncoding::literal);
  struct Case {
    const URLEncoding* encoding;
    Dictionary parameters;
    std::string query;
  };
  const std::vector<Case> cases = {
      {&brackets, {{"ids", Array{1, 2}}}, "ids%5B%5D=1&ids%5B%5D=2"},
      {&plainArrays, {{"ids", Array{1, 2}}}, "ids=1&ids=2"},
      {&brackets, {{"user", Dictionary{{"name", "ann"}, {"age", 3}}}}, "user%5Bname%5D=ann&user%5Bage%5D=3"},
      {&brackets, {{"a", Array{Dictionary{{"k", true}}}}}, "a%5B%5D%5Bk%5D=1"},
      {&brackets, {{"on", true}, {"off", false}}, "off=0&on=1"},
      {&literal, {{"on", true}, {"off", false}}, "off=false&on=true"},
      {&brackets, {{"n", 2.5}, {"i", -7}}, "i=-7&n=2.5"},
      {&brackets, {{"z", 1}, {"B", 2}, {"a", 3}}, "B=2&a=3&z=1"},
      {&brackets, {{"empty", Array{}}, {"x", "y"}}, "x=y"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(c.encoding->query(c.parameters), c.query);
  }
}

TEST(URLEncoding, EscapeSet) {
  const URLEncoding encoding;
  const std::vector<std::pair<std::string, std::string>> table = {
      {":#[]@", "%3A%23%5B%5D%40"},
      {"!$&'()*+,;=", "%21%24%26%27%28%29%2A%2B%2C%3B%3D"},
      {"?/", "?/"},
      {"aZ09-._~", "aZ09-._~"},
      {"a b%\"", "a%20b%25%22"},
      {"caf\xC3\xA9", "caf%C3%A9"},
  };
  for (const auto& [raw, escaped] : table) EXPECT_EQ(encoding.escape(raw), escaped) << raw;
  EXPECT_EQ(encoding.query(Dictionary{{"k&y", "v=1?/"}}), "k%26y=v%3D1?/");
}

TEST(JSONEncoding, BodyAndContentType) {
  auto encoded = JSONEncoding::default_().encode(request("http://h/", "POST"), Dictionary{{"a", 1}, {"b", "x"}});
  EXPECT_EQ(encoded.valueForHTTPHeaderField("Content-Type"), "application/json");
  auto parsed = foundation::JSONSerialization::JSONObjectWithData(*encoded.httpBody());
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, Value(Dictionary{{"a", 1}, {"b", "x"}}));

  auto custom = request("http://h/", "POST");
  custom.setValue("application/vnd.x+json", "Content-Type");
  EXPECT_EQ(JSONEncoding::default_().encode(custom, Dictionary{}).valueForHTTPHeaderField("Content-Type"),
            "application/vnd.x+json");

  auto plain = request("http://h/");
  EXPECT_EQ(JSONEncoding::default_().encode(plain, std::nullopt), plain);
  EXPECT_EQ(JSONEncoding::default_().encodeWithJSONObject(plain, std::nullopt), plain);
  auto array = JSONEncoding::default_().encodeWithJSONObject(plain, Value(Array{1, 2}));
  EXPECT_EQ(bodyText(array), "[1,2]");
  EXPECT_EQ(JSONEncoding::prettyPrinted().options(), 1u);
  EXPECT_NE(bodyText(JSONEncoding::prettyPrinted().encode(plain, Dictionary{{"a", 1}})).find('\n'), std::string::npos);
}

TEST(JSONEncoding, UnwritableValuesFailWithTheWritersError) {
  const std::vector<Value> unwritable = {
      Value(std::numeric_limits<double>::quiet_NaN()),
      Value(std::numeric_limits<double>::infinity()),
      Value(foundation::Data{1, 2}),
      Value(std::string("\xFF\xFE")),
      Value(std::make_shared<net::URL>(*net::URL::fromString("http://h/"))),
  };
  for (const auto& value : unwritable) {
    SCOPED_TRACE(value.description());
    auto error = test::thrownBy([&] { JSONEncoding::default_().encode(request("http://h/"), Dictionary{{"v", value}}); });
    auto* pipelineError = test::pipelineError(error);
    ASSERT_TRUE(pipelineError);
    auto* reason = pipelineError->as<PipelineError::ParameterEncodingFailed>()->reason.as<Reason::JSONEncodingFailed>();
    ASSERT_TRUE(reason);
    ASSERT_TRUE(reason->error.is<foundation::Error>());
    EXPECT_EQ(reason->error.as<foundation::Error>()->code(), foundation::kPropertyListWriteInvalidError);
  }
  auto fragment = test::thrownBy([] { JSONEncoding::default_().encodeWithJSONObject(request("http://h/"), Value(3)); });
  EXPECT_TRUE(test::pipelineError(fragment));
}

TEST(PropertyListEncoding, BodiesInBothFormatsAndFailures) {
  const Dictionary parameters{{"a", 1}, {"flag", true}, {"when", foundation::Date::fromTimeIntervalSince1970(1e9)}};
  for (auto encoding : {PropertyListEncoding::default_(), PropertyListEncoding::xml(), PropertyListEncoding::binary()}) {
    auto encoded = encoding.encode(request("http://h/", "POST"), parameters);
    EXPECT_EQ(encoded.valueForHTTPHeaderField("Content-Type"), "application/x-plist");
    foundation::PropertyListFormat format{};
    auto parsed = foundation::PropertyListSerialization::propertyListWithData(*encoded.httpBody(), 0, &format);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(format, encoding.format());
    EXPECT_EQ(*parsed, Value(parameters));
  }
  EXPECT_EQ(PropertyListEncoding::default_().format(), foundation::PropertyListFormat::XML);
  EXPECT_EQ(PropertyListEncoding::binary().options(), 0);

  auto plain = request("http://h/");
  EXPECT_EQ(PropertyListEncoding::default_().encode(plain, std::nullopt), plain);

  // Non-finite reals are writable in both formats; null and objects are not.
  EXPECT_FALSE(test::thrownBy([&] {
    PropertyListEncoding::binary().encode(plain, Dictionary{{"n", std::numeric_limits<double>::quiet_NaN()}});
  }));
  EXPECT_TRUE(test::pipelineError(test::thrownBy([&] {
    PropertyListEncoding::binary().encode(plain, Dictionary{{"o", Value(std::make_shared<net::URL>())}});
  })));
  auto error = test::thrownBy([&] { PropertyListEncoding::default_().encode(plain, Dictionary{{"n", Value()}}); });
  auto* pipelineError = test::pipelineError(error);
  ASSERT_TRUE(pipelineError);
  auto* reason =
      pipelineError->as<PipelineError::ParameterEncodingFailed>()->reason.as<Reason::PropertyListEncodingFailed>();
  ASSERT_TRUE(reason);
  EXPECT_TRUE(reason->error.is<foundation::Error>());
  EXPECT_EQ(pipelineError->errorDescription()->rfind("PropertyList could not be encoded because of error:\n", 0), 0u);
}

}  // namespace
