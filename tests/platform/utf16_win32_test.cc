#include "platform/win32/utf16_win32.h"

#include <gtest/gtest.h>

#include <string>

namespace tabulon {
namespace {

TEST(Utf16Win32Test, ConvertsUtf16ToWtf8AndBack) {
  const struct {
    std::wstring utf16;
    std::string utf8;
  } kCases[] = {
      {L"", ""},
      {L"FILES.BBS", "FILES.BBS"},
      {L"\x043E\x0442\x0447\x0451\x0442",
       "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82"},
      {L"\x00E9\x20AC\xFFFD", "\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBD"},
      {L"\xD83D\xDE00", "\xF0\x9F\x98\x80"},  // a pair: one character
      {L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},  // the last one
      // Lone surrogates keep their own three-byte forms.
      {L"a\xD800"
       L"b",
       "a\xED\xA0\x80"
       "b"},
      {L"\xDC00", "\xED\xB0\x80"},
      {L"x\xD83D", "x\xED\xA0\xBD"},                  // high one at the end
      {L"\xDE00\xD83D", "\xED\xB8\x80\xED\xA0\xBD"},  // the wrong order
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8) << c.utf8;
    EXPECT_TRUE(Utf8ToUtf16(c.utf8) == c.utf16) << c.utf8;
  }
}

TEST(Utf16Win32Test, ReplacesBytesThatStartNoSequence) {
  const struct {
    std::string utf8;
    std::wstring utf16;
  } kCases[] = {
      {"\xFF", L"\xFFFD"},
      {"a\x80"
       "b",
       L"a\xFFFD"
       L"b"},
      {"\xE2\x82", L"\xFFFD\xFFFD"},                      // cut short
      {"\xC0\xAF", L"\xFFFD\xFFFD"},                      // overlong '/'
      {"\xE0\x80\xAF", L"\xFFFD\xFFFD\xFFFD"},            // overlong '/'
      {"\xF4\x90\x80\x80", L"\xFFFD\xFFFD\xFFFD\xFFFD"},  // past U+10FFFF
      {"\xC3"
       "A",
       L"\xFFFD"
       L"A"},  // continuation missing
  };
  for (const auto& c : kCases) {
    EXPECT_TRUE(Utf8ToUtf16(c.utf8) == c.utf16) << c.utf8;
  }
}

}  // namespace
}  // namespace tabulon
