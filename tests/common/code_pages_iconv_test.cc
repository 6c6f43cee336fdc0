// The conversion tables against a second source: glibc's iconv mappings of
// each code page. Where the tables knowingly differ (look-alikes for
// characters windows-1251 lacks), the difference is the listed one.
#include <gtest/gtest.h>
#include <iconv.h>

#include <set>
#include <string>

#include "common/code_pages.h"
#include "common/utf8.h"

namespace tabulon {
namespace {

// Converts one byte between code pages with iconv; empty when it can't.
std::string Iconv(const char* from, const char* to, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "iconv cannot convert " << from << " to " << to;
    return "";
  }
  std::string input = in;
  char out[16];
  char* src = input.data();
  size_t src_left = input.size();
  char* dst = out;
  size_t dst_left = sizeof out;
  const size_t n = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (n == static_cast<size_t>(-1) || src_left != 0) return "";
  return std::string(out, static_cast<size_t>(dst - out));
}

std::string Byte(int b) { return std::string(1, static_cast<char>(b)); }

char32_t CharacterOf(const std::string& utf8) {
  std::size_t pos = 0;
  char32_t c = 0;
  if (utf8.empty() || !DecodeUtf8(utf8, &pos, &c)) return 0;
  return c;
}

const std::set<int> kLookAlikes = {0x20, 0x2B, 0x2D, 0x5F, 0xA6, 0xB7};

TEST(CodePagesTest, CharacterMapsAgreeWithIconv) {
  const struct {
    const char* name;
    const char16_t* table;
  } pages[] = {{"CP866", kCp866ToUnicode},
               {"CP1251", kCp1251ToUnicode},
               {"KOI8-R", kKoi8rToUnicode}};
  for (const auto& page : pages) {
    for (int b = 0; b < 256; ++b) {
      SCOPED_TRACE(std::string(page.name) + " byte " + std::to_string(b));
      EXPECT_EQ(static_cast<char32_t>(page.table[b]),
                CharacterOf(Iconv(page.name, "UTF-8", Byte(b))));
    }
  }
}

TEST(CodePagesTest, AltToWinIsTheCharacterMappingSaveForLookAlikes) {
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE("byte " + std::to_string(b));
    const std::string win = Iconv("CP866", "CP1251", Byte(b));
    if (b == 0xFF) {
      EXPECT_EQ(AltToWin[b], 0x5F);  // the no-break space becomes a low line
    } else if (win.empty()) {
      EXPECT_TRUE(kLookAlikes.count(AltToWin[b])) << int{AltToWin[b]};
      EXPECT_TRUE((b >= 0xB0 && b <= 0xDF) || b == 0xF9 || b == 0xFB ||
                  b == 0xFE);
    } else {
      EXPECT_EQ(AltToWin[b], static_cast<std::uint8_t>(win[0]));
    }
  }
}

TEST(CodePagesTest, ByteOfFindsEveryCharacterOfEachCodePage) {
  for (TCode code : {tAlt, tWin, tKoi}) {
    const char16_t* chars = CharactersOf(code);
    for (int b = 0; b < 256; ++b) {
      if (chars[b] == 0 && b != 0) continue;
      EXPECT_EQ(ByteOf(chars[b], code), b)
          << "code " << int{code} << " byte " << b;
    }
    EXPECT_EQ(ByteOf(U'\U0001F600', code), -1);
    EXPECT_EQ(ByteOf(U'\u00E9', code), -1);
  }
}

}  // namespace
}  // namespace tabulon
