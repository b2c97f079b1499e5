// The built-in serialization rules, the download file steps, the validation checks and the small
// values of the request layer, as tables over hand-made responses.
#include <gtest/gtest.h>

#include "net/pipeline/DownloadRequest.h"
#include "net/pipeline/Notifications.h"
#include "net/pipeline/Validation.h"
#include "tests/net/pipeline/PipelineTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using pipeline::PipelineError;
using pipeline::Request;
using SR = PipelineError::ResponseSerializationFailureReason;
using foundation::Data;

std::shared_ptr<const net::HTTPURLResponse> response(int status, const std::string& contentType = "") {
  net::HTTPHeaderFields headers;
  if (!contentType.empty()) headers.set("Content-Type", contentType);
  return std::make_shared<net::HTTPURLResponse>(*net::URL::fromString("http://127.0.0.1/x"), status, "HTTP/1.1", headers);
}

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

template <class Reason, class V>
bool failsWith(const pipeline::Result<V>& result) {
  const PipelineError* error = test::pipelineError(result.error());
  const auto* failed = error ? error->as<PipelineError::ResponseSerializationFailed>() : nullptr;
  return failed && failed->reason.template as<Reason>();
}

TEST(SerializationRules, EmptyStatusesMissingAndEmptyDataAndErrors) {
  const pipeline::AnyError given(foundation::Error("test", 1));
  const std::optional<Data> none;
  const std::optional<Data> empty = Data{};
  const std::optional<Data> body = bytes("{\"a\":1}");

  // 204 and 205 give the empty value whatever the body, even none.
  for (int status : {204, 205}) {
    EXPECT_EQ(Request::serializeResponseData(response(status), body, std::nullopt).value(), Data{});
    EXPECT_EQ(Request::serializeResponseString(std::nullopt, response(status), none, std::nullopt).value(), "");
    EXPECT_TRUE(Request::serializeResponseJSON(4, response(status), body, std::nullopt).value()->isNull());
    EXPECT_TRUE(Request::serializeResponsePropertyList(0, response(status), none, std::nullopt).value()->isNull());
  }
  // A given error wins over everything, 204 included.
  EXPECT_EQ(Request::serializeResponseJSON(4, response(204), body, given).error(), given);
  EXPECT_EQ(Request::serializeResponseData(response(200), body, given).error(), given);

  EXPECT_TRUE(failsWith<SR::InputDataNil>(Request::serializeResponseData(response(200), none, std::nullopt)));
  EXPECT_TRUE(failsWith<SR::InputDataNil>(Request::serializeResponseString(std::nullopt, response(200), none, std::nullopt)));
  EXPECT_TRUE(failsWith<SR::InputDataNilOrZeroLength>(Request::serializeResponseJSON(4, response(200), none, std::nullopt)));
  EXPECT_TRUE(failsWith<SR::InputDataNilOrZeroLength>(Request::serializeResponseJSON(4, response(200), empty, std::nullopt)));
  EXPECT_TRUE(failsWith<SR::InputDataNilOrZeroLength>(
      Request::serializeResponsePropertyList(0, response(200), empty, std::nullopt)));
  EXPECT_EQ(Request::serializeResponseData(response(200), empty, std::nullopt).value(), Data{});
  EXPECT_EQ(Request::serializeResponseString(std::nullopt, response(200), empty, std::nullopt).value(), "");

  EXPECT_EQ(Request::serializeResponseJSON(4, response(200), bytes("3"), std::nullopt).value()->intValue(), 3)
      << "fragments are allowed with option 4";
  EXPECT_TRUE(failsWith<SR::JSONSerializationFailed>(Request::serializeResponseJSON(0, response(200), bytes("3"), std::nullopt)));
  EXPECT_TRUE(failsWith<SR::PropertyListSerializationFailed>(
      Request::serializeResponsePropertyList(0, response(200), bytes("not a plist <"), std::nullopt)));
}

TEST(SerializationRules, StringEncodingChoice) {
  using E = foundation::StringEncoding;
  const Data latin{'c', 'a', 'f', 0xE9};  // "café" in ISO Latin 1, invalid as UTF-8
  struct Case {
    std::optional<E> encoding;
    std::string contentType;
    Data data;
    std::optional<std::string> expected;  // nothing: stringSerializationFailed
  };
  const std::vector<Case> cases = {
      {std::nullopt, "text/plain", latin, "caf\xC3\xA9"},                  // no name: ISO Latin 1
      {std::nullopt, "text/plain; charset=utf-8", latin, std::nullopt},    // the response's name
      {std::nullopt, "text/plain; charset=utf-8", bytes("caf\xC3\xA9"), "caf\xC3\xA9"},
      {E::ISOLatin1, "text/plain; charset=utf-8", latin, "caf\xC3\xA9"},   // the argument wins
      {std::nullopt, "text/plain; charset=x-unknown", latin, std::nullopt},
      {E::UTF16LittleEndian, "", Data{'h', 0, 'i', 0}, "hi"},
      {E::UTF16BigEndian, "", Data{0, 'h', 0}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto result = Request::serializeResponseString(c.encoding, response(200, c.contentType), c.data, std::nullopt);
    if (c.expected) {
      EXPECT_EQ(result.value(), c.expected) << c.contentType;
    } else {
      EXPECT_TRUE(failsWith<SR::StringSerializationFailed>(result)) << c.contentType;
    }
  }
}

TEST(SerializationRules, DownloadSerializersReadTheFileFirst) {
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.file("body.json"), "[1,2]"));
  auto serializer = pipeline::DownloadRequest::jsonResponseSerializer();
  const auto file = net::URL::fileURLWithPath(dir.file("body.json"));
  EXPECT_EQ(serializer.serializeResponse(std::nullopt, response(200), file, std::nullopt).value()->arrayValue().size(), 2u);
  EXPECT_TRUE(failsWith<SR::InputFileNil>(serializer.serializeResponse(std::nullopt, response(204), std::nullopt, std::nullopt)))
      << "no file wins over the empty status";
  auto missing = serializer.serializeResponse(std::nullopt, response(200), net::URL::fileURLWithPath(dir.file("gone")),
                                              std::nullopt);
  EXPECT_TRUE(failsWith<SR::InputFileReadFailed>(missing));
}

TEST(Validation, MIMETypesAndStatusCodes) {
  struct Parse {
    std::string text, type, subtype;
  };
  for (const auto& p : std::vector<Parse>{{" text/html;q=0.9", "text", "html"},
                                          {"a/b/c", "a", "c"},
                                          {"*", "*", "*"},
                                          {"", "", ""}}) {
    auto parsed = pipeline::MIMEType::parse(p.text);
    EXPECT_EQ(parsed.type, p.type) << p.text;
    EXPECT_EQ(parsed.subtype, p.subtype) << p.text;
  }
  struct Match {
    std::string acceptable, responseType;
    bool matches;
  };
  for (const auto& m : std::vector<Match>{{"text/*", "text/plain", true},
                                          {"*/json", "application/json", true},
                                          {"text/html", "Text/HTML", false},
                                          {"text/plain", "*/*", false},
                                          {"*/*;q=0.8", "*/*", true}}) {
    EXPECT_EQ(pipeline::MIMEType::parse(m.acceptable).matches(pipeline::MIMEType::parse(m.responseType)), m.matches)
        << m.acceptable << " vs " << m.responseType;
  }
  const auto codes = pipeline::defaultAcceptableStatusCodes();
  for (int status : {200, 299}) EXPECT_TRUE(pipeline::validateStatusCode(codes, *response(status)).isSuccess());
  for (int status : {199, 300, 304}) {
    const auto result = pipeline::validateStatusCode(codes, *response(status));
    auto* error = test::pipelineError(result.error());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->responseCode(), status);
  }

  // No MIME type: passes only when an acceptable entry is "*/*"; an empty body always passes.
  EXPECT_TRUE(pipeline::validateContentType({"*/*"}, *response(200), bytes("x")).isSuccess());
  auto missing = pipeline::validateContentType({"text/html"}, *response(200), bytes("x"));
  ASSERT_TRUE(test::pipelineError(missing.error()));
  EXPECT_EQ(test::pipelineError(missing.error())->acceptableContentTypes(), std::vector<std::string>{"text/html"});
  EXPECT_TRUE(pipeline::validateContentType({"text/html"}, *response(204, "image/png"), Data{}).isSuccess());
  EXPECT_EQ(pipeline::defaultAcceptableContentTypes(std::nullopt), std::vector<std::string>{"*/*"});
}

TEST(RequestValues, AuthorizationHeaderOptionsAndNames) {
  struct Case {
    std::string user, password, value;
  };
  for (const auto& c : std::vector<Case>{{"user", "pass", "Basic dXNlcjpwYXNz"},
                                         {"user", "", "Basic dXNlcjo="},
                                         {"", "pw", "Basic OnB3"}}) {
    auto header = Request::authorizationHeader(c.user, c.password);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->first, "Authorization");
    EXPECT_EQ(header->second, c.value);
  }

  using pipeline::DownloadOptions;
  DownloadOptions both{DownloadOptions::createIntermediateDirectories(), DownloadOptions::removePreviousFile()};
  EXPECT_EQ(both.rawValue, 3u);
  EXPECT_FALSE(both.insert(DownloadOptions::removePreviousFile()).first);
  EXPECT_TRUE(both.remove(DownloadOptions::removePreviousFile()));
  EXPECT_FALSE(both.remove(DownloadOptions::removePreviousFile()));
  EXPECT_EQ(both, DownloadOptions::createIntermediateDirectories());

  EXPECT_EQ(pipeline::Notification::Name::Task::DidResume, "org.pipeline.notification.name.task.didResume");
  EXPECT_EQ(pipeline::Notification::Name::Task::DidSuspend, "org.pipeline.notification.name.task.didSuspend");
  EXPECT_EQ(pipeline::Notification::Name::Task::DidCancel, "org.pipeline.notification.name.task.didCancel");
  EXPECT_EQ(pipeline::Notification::Name::Task::DidComplete, "org.pipeline.notification.name.task.didComplete");
  EXPECT_EQ(pipeline::Notification::Key::Task, "org.pipeline.notification.key.task");
  EXPECT_EQ(pipeline::Notification::Key::ResponseData, "org.pipeline.notification.key.responseData");
}

}  // namespace
