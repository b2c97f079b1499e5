#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/foundation/JSONSerialization.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using foundation::Array;
using foundation::Data;
using foundation::Dictionary;
using foundation::Value;
using std::nullopt;
using std::optional;
using std::string;

Data bytes(std::string_view text) { return Data(text.begin(), text.end()); }

TEST(TLUtilityStringTest, Sha256OfTextUpToItsFirstNul) {
  const struct {
    string text;
    const char* digest;
  } vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {string("abc\0def", 7), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"h\xC3\xA9llo", "3c48591d8d098a4538f5e013dfcf406e948eac4d3277b10bf614e295d6068179"},  // UTF-8 bytes
  };
  for (const auto& [text, digest] : vectors) EXPECT_EQ(TLUtility::sha256(text), digest) << text;
}

TEST(TLUtilityStringTest, SecretStringsSplitIntoAppSecretAndTargetToken) {
  const struct {
    optional<string> secret;
    optional<string> appSecret;
    optional<string> token;
  } cases[] = {
      {"abc", "abc", nullopt},                                   // no keyword: the whole is the secret
      {"appsecret=abc", "abc", nullopt},
      {"target=tok-123", nullopt, "tok-123"},
      {"appsecret=abc;target=tok-123", "abc", "tok-123"},
      {"target=tok;appsecret=abc", "abc", "tok"},
      {"appsecret=;target=t;real", "real", "t"},                 // an empty secret part is skipped
      {";;abc;;target=;target=t2", "abc", "t2"},                 // empty parts and an empty token skipped
      {"appsecret=a;appsecret=b", "a", nullopt},                 // repeated: the first wins
      {"target=a;target=b", nullopt, "a"},
      {"appsecret=appsecret=abc", "abc", nullopt},               // every keyword occurrence goes
      {"foo=bar", "foo=bar", nullopt},                           // unknown segments are taken whole
      {"APPSECRET=x;TARGET=y", "APPSECRET=x", nullopt},          // keywords are case-sensitive
      {"appsecret=target=x", nullopt, "appsecret=x"},            // a part holding "target=" is a token
      {"target=", nullopt, nullopt},
      {";", nullopt, nullopt},
      {"", nullopt, nullopt},
      {nullopt, nullopt, nullopt},
  };
  for (const auto& [secret, appSecret, token] : cases) {
    SCOPED_TRACE(secret.value_or("(nil)"));
    EXPECT_EQ(TLUtility::appSecretFrom(secret), appSecret);
    EXPECT_EQ(TLUtility::transmissionTargetTokenFrom(secret), token);
  }
}

TEST(TLUtilityStringTest, TargetKeyIsTheTokenBeforeItsFirstHyphen) {
  const struct {
    optional<string> token;
    optional<string> key;
    optional<string> iKey;
  } cases[] = {
      {"abc-def-ghi", "abc", "o:abc"},
      {"abc", "abc", "o:abc"},
      {"abc-", "abc", "o:abc"},
      {"-abc", nullopt, nullopt},
      {"", nullopt, nullopt},
      {nullopt, nullopt, nullopt},
  };
  for (const auto& [token, key, iKey] : cases) {
    SCOPED_TRACE(token.value_or("(nil)"));
    EXPECT_EQ(TLUtility::targetKeyFromTargetToken(token), key);
    EXPECT_EQ(TLUtility::iKeyFromTargetToken(token), iKey);
  }
}

TEST(TLUtilityStringTest, MaskingReplacesEveryMatchCaseInsensitivelyWithGroups) {
  const string pattern = R"("token"\s*:\s*"[^"]+")";
  const string body = R"({"token" : "s3cr3t", "other": "token", "TOKEN":"again"})";
  EXPECT_EQ(TLUtility::obfuscateString(body, pattern, R"("token" : "***")"),
            R"({"token" : "***", "other": "token", "token" : "***"})");
  EXPECT_EQ(TLUtility::obfuscateString("key=abc;key=def", "(key=)[a-z]+", "$1***"), "key=***;key=***");
  EXPECT_EQ(TLUtility::obfuscateString("nothing here", pattern, "x"), "nothing here");
  EXPECT_EQ(TLUtility::obfuscateString(nullopt, pattern, "x"), nullopt);

  test::TLLogRecorder recorder;
  EXPECT_EQ(TLUtility::obfuscateString(body, "([unclosed", "x"), nullopt);
  const auto errors = recorder.messages(TLLogLevelError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Couldn't create regular expression with pattern\"([unclosed\": ", 0), 0u) << errors[0];
}

// The SDK writes "/" bare. Escaping slashes and then replacing every "\/" must give the same text
// for any data, however backslashes and slashes sit next to each other.
TEST(TLUtilityStringTest, JsonTextEqualsEscapedOutputWithEscapedSlashesReplaced) {
  const Value cases[] = {
      Dictionary{{"url", "https://example.org/a/b"}},
      Dictionary{{"path/key", "v"}},
      Array{"\\/", "\\", "/", "\\\\/", "/\\", "a\\/b\\\\/c//"},
      Dictionary{{"end\\", Array{"\\", "x/"}}, {"nested", Dictionary{{"k/", "\"/\""}}}},
      Array{"\xC3\xA9/\xF0\x9F\x98\x80", "\n/\t", 1.5, true, nullptr},
  };
  for (const Value& value : cases) {
    for (const bool pretty : {false, true}) {
      const unsigned options = pretty ? foundation::JSONWritingPrettyPrinted : 0u;
      const optional<Data> escaped = foundation::JSONSerialization::dataWithJSONObject(value, options);
      ASSERT_TRUE(escaped.has_value());
      string expected(escaped->begin(), escaped->end());
      for (std::size_t at = expected.find("\\/"); at != string::npos; at = expected.find("\\/", at + 1)) {
        expected.replace(at, 2, "/");
      }
      const optional<string> written = TLUtility::jsonStringFromObject(value, pretty);
      ASSERT_TRUE(written.has_value());
      EXPECT_EQ(*written, expected);
      // And the text still reads back as the same value.
      EXPECT_EQ(foundation::JSONSerialization::JSONObjectWithData(bytes(*written)), value) << *written;
    }
  }
  foundation::Error error;
  EXPECT_EQ(TLUtility::jsonStringFromObject(Value(Data{1, 2}), false, &error), nullopt);
  EXPECT_NE(error.code(), 0);
}

TEST(TLUtilityStringTest, PrettyPrintingIndentsJsonAndLeavesOtherTextAlone) {
  EXPECT_EQ(TLUtility::prettyPrintJson(bytes(R"({"a":"x/y","b":[1]})")),
            "{\n  \"a\" : \"x/y\",\n  \"b\" : [\n    1\n  ]\n}");
  EXPECT_EQ(TLUtility::prettyPrintJson(bytes("not json {")), "not json {");
  EXPECT_EQ(TLUtility::prettyPrintJson(bytes("42")), "42");  // a bare scalar is no JSON document here
  EXPECT_EQ(TLUtility::prettyPrintJson(bytes("")), "");
  EXPECT_EQ(TLUtility::prettyPrintJson(nullopt), nullopt);
  EXPECT_EQ(TLUtility::prettyPrintJson(Data{0xFF, 0xFE, 0x41}), nullopt);  // neither JSON nor UTF-8
}

}  // namespace
