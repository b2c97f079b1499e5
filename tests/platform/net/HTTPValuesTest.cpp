#include <gtest/gtest.h>

#include "platform/net/MIMEType.h"
#include "platform/net/URLError.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"
#include "tests/support/TempDir.h"

using net::HTTPHeaderFields;
using net::HTTPURLResponse;
using net::URL;

TEST(URLRequestTest, DefaultsAndCaseInsensitiveHeaders) {
  net::URLRequest request(*URL::fromString("http://127.0.0.1/x"));
  EXPECT_EQ(request.httpMethod(), "GET");
  EXPECT_EQ(request.timeoutInterval(), 60.0);
  EXPECT_EQ(request.cachePolicy(), net::URLRequestCachePolicy::UseProtocolCachePolicy);
  EXPECT_TRUE(request.httpShouldHandleCookies());

  request.setValue("text/plain", "Content-Type");
  request.setValue("application/json", "content-type");
  request.addValue("a", "Accept");
  request.addValue("b", "ACCEPT");
  EXPECT_EQ(request.allHTTPHeaderFields().size(), 2u);
  EXPECT_EQ(request.valueForHTTPHeaderField("CONTENT-TYPE"), "application/json");
  EXPECT_EQ(request.allHTTPHeaderFields().fields()[0].first, "Content-Type");
  EXPECT_EQ(request.valueForHTTPHeaderField("accept"), "a, b");
  request.setValue(std::nullopt, "accept");
  EXPECT_FALSE(request.valueForHTTPHeaderField("Accept"));

  request.setHTTPBody(foundation::Data{1, 2});
  request.setHTTPBodyStream(net::InputStream::withData({3}));
  EXPECT_FALSE(request.httpBody());
  request.setHTTPBody(foundation::Data{4});
  EXPECT_FALSE(request.httpBodyStream());
}

TEST(HTTPURLResponseTest, ReadsTypeEncodingAndLength) {
  HTTPURLResponse response(*URL::fromString("http://h/dir/report.csv?x=1"), 404, "HTTP/1.1",
                           HTTPHeaderFields{{"Content-Type", "Text/HTML; charset=\"UTF-8\""}, {"content-length", "42"}});
  EXPECT_EQ(response.statusCode(), 404);
  EXPECT_EQ(response.mimeType(), "text/html");
  EXPECT_EQ(response.textEncodingName(), "UTF-8");
  EXPECT_EQ(response.expectedContentLength(), 42);
  EXPECT_EQ(response.valueForHTTPHeaderField("CONTENT-TYPE"), "Text/HTML; charset=\"UTF-8\"");
  EXPECT_EQ(response.suggestedFilename(), "report.csv");
  EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(404), "not found");
  EXPECT_EQ(HTTPURLResponse::localizedStringForStatusCode(299), "success");

  HTTPURLResponse bare(*URL::fromString("http://h/"), 200, "HTTP/1.1", {});
  EXPECT_EQ(bare.expectedContentLength(), net::kURLResponseUnknownLength);
  EXPECT_FALSE(bare.mimeType());
}

TEST(HTTPURLResponseTest, SuggestedFilenameIsAlwaysOneSafeComponent) {
  struct Case { const char* disposition; const char* url; const char* expected; };
  for (auto c : {Case{"attachment; filename=\"hosts.txt\"", "http://h/x", "hosts.txt"},
                 Case{"attachment; filename=\"../../etc/passwd\"", "http://h/x", "passwd"},
                 Case{"attachment; filename=\"..\"", "http://h/x", "x"},
                 Case{"attachment; filename=\"/\"", "http://h/", "Unknown"},
                 Case{"attachment; filename=\"a\\\\..\\\\b.txt\"", "http://h/x", "b.txt"},
                 Case{"attachment; filename*=UTF-8''%C3%A9t%C3%A9.txt; filename=\"ete.txt\"", "http://h/x", "été.txt"},
                 Case{"attachment; filename*=UTF-8''..%2F..%2Fevil", "http://h/x", "evil"},
                 Case{"inline", "http://h/..", "Unknown"},
                 Case{"inline", "http://h/a/%2E%2E", "Unknown"}}) {
    HTTPURLResponse response(*URL::fromString(c.url), 200, "HTTP/1.1",
                             HTTPHeaderFields{{"Content-Disposition", c.disposition}});
    EXPECT_EQ(response.suggestedFilename(), c.expected) << c.disposition << " " << c.url;
  }
}

TEST(URLErrorTest, CarriesDomainCodeDescriptionAndFailingURL) {
  auto url = *URL::fromString("http://127.0.0.1:9/x");
  foundation::Error error = net::makeURLError(net::URLErrorTimedOut, url);
  EXPECT_EQ(error.domain(), foundation::kURLErrorDomain);
  EXPECT_EQ(error.code(), -1001);
  EXPECT_EQ(error.localizedDescription(), "The request timed out.");
  EXPECT_EQ(error.userInfo().get(net::kURLErrorFailingURLStringErrorKey).stringValue(), "http://127.0.0.1:9/x");
  auto stored = error.userInfo().get(net::kURLErrorFailingURLErrorKey).objectAs<URL>();
  ASSERT_TRUE(stored);
  EXPECT_EQ(*stored, url);
  EXPECT_EQ(net::makeURLError(net::URLErrorCancelled).localizedDescription(), "cancelled");
}

TEST(MIMETypeTest, LooksUpExtensionsInTheTable) {
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.file("mime.types"),
                              "# comment\napplication/json\t\tjson map\ntext/plain txt text\nimage/x-none\n"
                              "application/other json\n"));
  net::setMIMETypesFileForTesting(dir.file("mime.types"));
  EXPECT_EQ(net::mimeTypeForPathExtension("json"), "application/json");
  EXPECT_EQ(net::mimeTypeForPathExtension("JSON"), "application/json");
  EXPECT_EQ(net::mimeTypeForPathExtension("text"), "text/plain");
  EXPECT_EQ(net::mimeTypeForPathExtension("unknownext"), "application/octet-stream");
  EXPECT_EQ(net::mimeTypeForPathExtension(""), "application/octet-stream");
  net::setMIMETypesFileForTesting(dir.file("missing"));
  EXPECT_EQ(net::mimeTypeForPathExtension("json"), "application/octet-stream");
  net::setMIMETypesFileForTesting("/etc/mime.types");
}
