#pragma once
// Query string encoding: parameters (dictionaries, arrays and sets nested to any depth, with
// leaves of any kind) flattened into name and value pairs and written as
// "application/x-www-form-urlencoded" text, for URL queries, form bodies and the field names of
// multipart forms. Dictionary keys and set members go in ascending order of their description,
// array elements in their own order: {"user": {"name": "a"}, "ids": [3, 1]} gives
// "ids%5B%5D=3&ids%5B%5D=1&user%5Bname%5D=a".
//
// Every function is pure and safe from any thread.
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

// One flattened parameter: its name (user[name], or a top-level key itself) and its leaf value.
// A null field stands for a missing name, a null value for the null object.
class RLQueryStringPair {
 public:
  RLQueryStringPair(foundation::Value field, foundation::Value value)
      : field(std::move(field)), value(std::move(value)) {}

  // "name=value" with both escaped, or the escaped name alone when the value is null.
  std::string URLEncodedStringValue() const;

  foundation::Value field;
  foundation::Value value;
};

// The description text that names and values are written with: strings as they are, numbers in
// their shortest form (Booleans as 1 and 0), a null field as "(null)", anything else as its
// platform description.
std::string RLQueryStringDescription(const foundation::Value& object);

// `string` with every character but ASCII letters, digits, "-", ".", "_", "~", "/" and "?"
// percent-encoded as UTF-8 bytes ("%2B"); spaces become "%20". Bytes that are not valid UTF-8
// are written as the encoded replacement character.
std::string RLPercentEscapedStringFromString(std::string_view string);

// The query text of `parameters`: the pairs of RLQueryStringPairsFromKeyAndValue with no key,
// each encoded, joined with "&". An empty dictionary gives "".
std::string RLQueryStringFromParameters(const foundation::Value& parameters);

// RLQueryStringPairsFromKeyAndValue with no key and `dictionary`.
std::vector<RLQueryStringPair> RLQueryStringPairsFromDictionary(const foundation::Dictionary& dictionary);

// The pairs of `value` named under `key` (null for none, at the top level): a dictionary gives
// key[k] for each of its keys k (k alone without a key), an array key[] for each element, a set
// key for each member, anything else the one pair (key, value).
std::vector<RLQueryStringPair> RLQueryStringPairsFromKeyAndValue(const foundation::Value& key,
                                                                const foundation::Value& value);
