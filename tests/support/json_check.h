#ifndef TABULON_TESTS_SUPPORT_JSON_CHECK_H_
#define TABULON_TESTS_SUPPORT_JSON_CHECK_H_

#include <string>
#include <string_view>
#include <vector>

namespace tabulon::testing {

// One JSON value as RFC 8259 reads it.
struct JsonValue {
  enum Kind { kNull, kFalse, kTrue, kNumber, kString, kArray, kObject };
  Kind kind = kNull;
  std::string text;               // a string decoded, or a number as written
  std::vector<JsonValue> items;   // of an array, or an object's values
  std::vector<std::string> keys;  // of an object, in order, one per value

  // The member `key` of an object; null when it has none.
  const JsonValue* Find(std::string_view key) const;
};

// Parses `text` as one JSON text, strictly: UTF-8 only, no raw controls in
// strings, only the escapes the grammar has (surrogates in pairs), numbers
// by the grammar, no key twice in an object, nothing after the value. False
// with the first fault in *why.
bool ParseJson(std::string_view text, JsonValue* out, std::string* why);

// A row of a UTF-8 page as a reader sees it: the link and the name with the
// HTML escapes undone, and the description cell's text, absent when the
// cell is empty (no record describes the entry).
struct PageRow {
  std::string link;
  std::string name;
  bool described = false;
  std::string description;
};

// The rows of `page` in order; false when one is not whole.
bool ReadRows(std::string_view page, std::vector<PageRow>* rows);

}  // namespace tabulon::testing

#endif  // TABULON_TESTS_SUPPORT_JSON_CHECK_H_
