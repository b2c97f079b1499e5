#pragma once
// String helpers of TLUtility: the SHA-256 digest in hexadecimal, splitting the application's
// secret string, the target key and iKey of a transmission target token, the SDK's JSON text and
// its pretty-printed and masked forms for log output. All are stateless and thread-safe.
//
// The secret string holds an app secret, a transmission target token or both, as parts separated
// by ";": "appsecret=<secret>" or a part without keyword is the app secret, "target=<token>" the
// token. Keywords are matched exactly and case-sensitively.
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace TLUtility {

// The SHA-256 digest of the text's bytes up to its first NUL, as 64 lower-case hexadecimal
// characters. Text beyond ASCII is hashed as its UTF-8 bytes.
std::string sha256(std::string_view string);

// The app secret of `secretString`: the first non-empty part that does not contain "target=",
// with every "appsecret=" removed, that leaves something. Nothing for no such part or no string.
std::optional<std::string> appSecretFrom(std::optional<std::string_view> secretString);
// The transmission target token of `secretString`: the first part containing "target=" that,
// with every "target=" removed, leaves something. Nothing for no such part or no string.
std::optional<std::string> transmissionTargetTokenFrom(std::optional<std::string_view> secretString);

// The token's text before its first "-" (the whole token without one); nothing when that is
// empty or there is no token.
std::optional<std::string> targetKeyFromTargetToken(std::optional<std::string_view> token);
// "o:" followed by the target key; nothing when the token has no key.
std::optional<std::string> iKeyFromTargetToken(std::optional<std::string_view> token);

// `object` as the SDK's JSON text: the foundation writer's output (compact, or pretty-printed),
// with "/" never escaped. The text equals what escaping every "/" as "\/" and then replacing
// each "\/" by "/" would give: every escaped slash is a slash of the data, as the writer never
// writes a bare one, while a backslash of the data is always doubled. Nothing, with *error set,
// when the writer refuses the object.
std::optional<std::string> jsonStringFromObject(const foundation::Value& object, bool prettyPrinted,
                                                foundation::Error* error = nullptr);

// The bytes as text when they are UTF-8; nothing otherwise.
std::optional<std::string> stringFromUTF8Data(const foundation::Data& bytes);

// `data` parsed as JSON and written again pretty-printed (slashes bare); when it is no JSON, or
// cannot be written again, the data as UTF-8 text. Nothing for no data or for data that is not
// UTF-8 either.
std::optional<std::string> prettyPrintJson(const std::optional<foundation::Data>& data);

// `string` with every match of `pattern` (case-insensitive) replaced by `replacementTemplate`,
// in which "$1" and up insert the capture groups: the secrets in logged bodies are masked this
// way. Nothing for no string, or, with an ERROR line, for an invalid pattern.
std::optional<std::string> obfuscateString(std::optional<std::string_view> string, std::string_view pattern,
                                           std::string_view replacementTemplate);

}  // namespace TLUtility
