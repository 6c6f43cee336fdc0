#include "common/code_pages.h"

#include <gtest/gtest.h>

#include <string>

#include "support/code_page_characters.h"

namespace tabulon {
namespace {

using testing::kCp1251High;
using testing::kCp866High;
using testing::kKoi8rHigh;
using testing::Utf8;

std::string Decoded(TCode code, std::string_view bytes) {
  std::string out = "x";  // appended to, never replaced
  AppendUtf8Of(code, bytes, &out);
  return out.substr(1);
}

TEST(AppendUtf8OfTest, EveryByteAboveAsciiIsItsCodePagesCharacter) {
  const struct {
    TCode code;
    const char16_t* high;
  } kPages[] = {{tAlt, kCp866High}, {tWin, kCp1251High}, {tKoi, kKoi8rHigh}};
  for (const auto& page : kPages) {
    for (int b = 0x80; b < 0x100; ++b) {
      // windows-1251 leaves 0x98 unassigned: a browser reads U+0098.
      const char32_t c = page.high[b - 0x80] != 0 ? page.high[b - 0x80] : b;
      EXPECT_EQ(Decoded(page.code, std::string(1, static_cast<char>(b))),
                Utf8(c))
          << "code " << int{page.code} << " byte " << b;
    }
  }
  EXPECT_EQ(Decoded(tWin, "\x98"), "\xC2\x98");
}

TEST(AppendUtf8OfTest, AsciiAndControlBytesStayThemselves) {
  std::string ascii;
  for (int b = 0; b < 0x80; ++b) ascii.push_back(static_cast<char>(b));
  for (TCode code : {tAlt, tWin, tKoi, tUtf8}) {
    EXPECT_EQ(Decoded(code, ascii), ascii) << int{code};
  }
}

TEST(AppendUtf8OfTest, TextsOfEachCodePage) {
  const struct {
    TCode code;
    std::string_view bytes;
    std::string_view utf8;
  } kCases[] = {
      // "Отчёт ╔═╗ ░▒▓ №5" in 866, KOI8-R; "Отчёт «№5» €" in windows-1251.
      {tAlt,
       "\x8E\xE2\xE7\xF1\xE2 \xC9\xCD\xBB \xB0\xB1\xB2 \xFC"
       "5",
       "Отчёт ╔═╗ ░▒▓ №5"},
      {tKoi, "\xEF\xD4\xDE\xA3\xD4 \xA5\xA0\xA8 \x90\x91\x92 \xB3\xBF",
       "Отчёт ╔═╗ ░▒▓ Ё©"},
      {tWin,
       "\xCE\xF2\xF7\xB8\xF2 \xAB\xB9"
       "5\xBB \x88",
       "Отчёт «№5» €"},
      {tAlt, "", ""},
      // UTF-8 text as it is, whatever its script.
      {tUtf8, "Отчёт Ελληνικά 中文 😀 <b>", "Отчёт Ελληνικά 中文 😀 <b>"},
      // A byte outside valid UTF-8 is its code page 866 character.
      {tUtf8,
       "a\xFF"
       "b",
       "a\xC2\xA0"
       "b"},
      {tUtf8, "\xD0", "╨"},  // cut before its end
      {tUtf8, "\xD0\x9F\xD0", "П╨"},
      {tUtf8, "\xC0\xAF", "└п"},            // overlong "/"
      {tUtf8, "\xED\xA0\x80", "эаА"},       // a surrogate
      {tUtf8, "\xF4\x90\x80\x80", "ЇРАА"},  // past U+10FFFF
      {tUtf8,
       "\xE2\x82"
       "x\xE2\x82\xAC",
       "тВx€"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Decoded(c.code, c.bytes), c.utf8)
        << "code " << int{c.code} << " '" << c.bytes << "'";
    // ASCII is taken eight bytes at a time: behind ASCII of every length,
    // the first byte beyond it falls on each place of those eight.
    for (std::size_t ascii = 1; ascii < 16; ++ascii) {
      const std::string before(ascii, 'x');
      EXPECT_EQ(Decoded(c.code, before + std::string(c.bytes)),
                before + std::string(c.utf8))
          << "code " << int{c.code} << " '" << c.bytes << "' after " << ascii;
    }
  }
}

}  // namespace
}  // namespace tabulon
