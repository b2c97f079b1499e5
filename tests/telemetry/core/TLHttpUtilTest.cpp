#include "telemetry/core/Internals/Ingestion/TLHttpUtil.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/net/URLError.h"
#include "telemetry/core/Internals/Util/TLCompression.h"
#include "tests/support/FakeIngestionServer.h"

namespace {

TEST(TLHttpUtilTest, StatusCodes) {
  const struct {
    std::int64_t status;
    bool recoverable;
    bool success;
  } cases[] = {
      {0, true, false},   {200, false, true}, {204, false, true},  {299, false, true},  {301, false, false},
      {404, false, false}, {408, true, false}, {429, true, false}, {499, false, false}, {500, true, false},
      {501, true, false},  {503, true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TLHttpUtil::isRecoverableError(c.status), c.recoverable) << c.status;
    EXPECT_EQ(TLHttpUtil::isSuccessStatusCode(c.status), c.success) << c.status;
  }
}

TEST(TLHttpUtilTest, NetworkAndSecureConnectionErrors) {
  const struct {
    const char* domain;
    long code;
    bool noInternet;
    bool ssl;
  } cases[] = {
      {foundation::kURLErrorDomain, -1009, true, false}, {foundation::kURLErrorDomain, -1005, true, false},
      {foundation::kURLErrorDomain, -1001, false, false}, {foundation::kURLErrorDomain, -1200, false, true},
      {foundation::kURLErrorDomain, -2000, false, true},  {foundation::kURLErrorDomain, -1199, false, false},
      {foundation::kURLErrorDomain, -2001, false, false}, {foundation::kPOSIXErrorDomain, -1009, false, false},
      {foundation::kPOSIXErrorDomain, -1200, false, false},
  };
  for (const auto& c : cases) {
    const foundation::Error error(c.domain, c.code);
    EXPECT_EQ(TLHttpUtil::isNoInternetConnectionError(error), c.noInternet) << c.domain << " " << c.code;
    EXPECT_EQ(TLHttpUtil::isSSLConnectionError(error), c.ssl) << c.domain << " " << c.code;
  }
}

TEST(TLHttpUtilTest, SecretsAreMaskedButTheirEnd) {
  const std::string secret = std::string(28, 's') + "TAIL5678";
  EXPECT_EQ(TLHttpUtil::hideSecret(secret), std::string(28, '*') + "TAIL5678");
  EXPECT_EQ(TLHttpUtil::hideSecret("abcde"), "*****");
  EXPECT_EQ(TLHttpUtil::hideSecret("12345678"), "********");
  EXPECT_EQ(TLHttpUtil::hideSecret(""), "");
  // Characters, not bytes: the visible end keeps whole characters.
  EXPECT_EQ(TLHttpUtil::hideSecret("ééééééééé"), "*éééééééé");

  EXPECT_EQ(TLHttpUtil::hideAuthToken("Bearer eyJhbGciOi.secret"), "Bearer ***");
  EXPECT_EQ(TLHttpUtil::hideAuthToken("eyJhbGciOi.secret"), "***");
}

TEST(TLHttpUtilTest, PayloadsPrintByTheirTypeWithTokensMasked) {
  const net::URL url = *net::URL::fromString("http://127.0.0.1/logs");
  const auto response = [&](std::optional<std::string> type) {
    net::HTTPHeaderFields headers;
    if (type) headers.set("Content-Type", *type);
    return std::make_shared<const net::HTTPURLResponse>(url, 200, "HTTP/1.1", headers);
  };
  const auto data = [](const std::string& text) { return foundation::Data(text.begin(), text.end()); };
  const std::string json = R"({"token":"t0k3n","redirect_uri":"https://x/y","other":"kept"})";

  const auto pretty = TLHttpUtil::printablePayload(response("application/json; charset=utf-8"), data(json));
  ASSERT_TRUE(pretty);
  EXPECT_NE(pretty->find(R"("token" : "***")"), std::string::npos) << *pretty;
  EXPECT_NE(pretty->find(R"("redirect_uri" : "***")"), std::string::npos) << *pretty;
  EXPECT_NE(pretty->find("kept"), std::string::npos);
  EXPECT_EQ(pretty->find("t0k3n"), std::string::npos);

  EXPECT_EQ(TLHttpUtil::printablePayload(response("text/plain"), data("hello")), "hello");
  EXPECT_EQ(TLHttpUtil::printablePayload(response(std::nullopt), data("plain")), "plain");
  EXPECT_EQ(TLHttpUtil::printablePayload(response("image/png"), data("\x89PNG")), "<binary>");
  EXPECT_EQ(TLHttpUtil::printablePayload(response("text/plain"), foundation::Data()), std::nullopt);
  EXPECT_EQ(TLHttpUtil::printablePayload(response("text/plain"), std::nullopt), std::nullopt);
}

TEST(TLCompressionTest, GzipsAndInflatesBackForAnyInput) {
  std::mt19937 random(7);
  const auto randomBytes = [&](std::size_t n) {
    foundation::Data bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
  };
  const struct {
    const char* name;
    foundation::Data input;
  } cases[] = {
      {"one byte", {'x'}},
      {"repetitive JSON", [] {
         std::string text;
         for (int i = 0; i < 200; ++i) text += R"({"type":"event","name":"n"},)";
         return foundation::Data(text.begin(), text.end());
       }()},
      // Incompressible input grows; the output buffer must still hold it in one pass.
      {"random 1400 bytes", randomBytes(1400)},
      {"random 200 kB", randomBytes(200000)},
  };
  for (const auto& c : cases) {
    const auto gzip = TLCompression::compressData(c.input);
    ASSERT_TRUE(gzip) << c.name;
    ASSERT_GE(gzip->size(), 2u);
    EXPECT_EQ((*gzip)[0], 0x1f) << c.name;
    EXPECT_EQ((*gzip)[1], 0x8b) << c.name;
    EXPECT_EQ(test::gunzip(std::string(gzip->begin(), gzip->end())), std::string(c.input.begin(), c.input.end()))
        << c.name;
  }
  EXPECT_EQ(TLCompression::compressData({}), std::nullopt);
}

}  // namespace
