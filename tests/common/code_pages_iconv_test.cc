// The conversion tables against a second source: glibc's iconv mappings of
// each code page. Where the tables knowingly differ (look-alikes for
// characters windows-1251 lacks), the difference is the one the look-alike
// rule gives.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "common/code_pages.h"
#include "support/look_alikes.h"

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

// The character byte `b` stands for in code page `page`; 0 where none.
char32_t CharacterOf(const char* page, int b) {
  const std::string utf32 = Iconv(page, "UTF-32LE", Byte(b));
  char32_t c = 0;
  for (std::size_t i = utf32.size(); i-- > 0;) {
    c = c << 8 | static_cast<unsigned char>(utf32[i]);
  }
  return c;
}

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
                CharacterOf(page.name, b));
    }
  }
}

TEST(CodePagesTest, AltToWinIsTheCharacterMappingSaveForLookAlikes) {
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE("byte " + std::to_string(b));
    const std::string win = Iconv("CP866", "CP1251", Byte(b));
    EXPECT_EQ(AltToWin[b],
              testing::AltPageByte(
                  b, CharacterOf("CP866", b),
                  win.empty() ? -1 : static_cast<unsigned char>(win[0])));
  }
}

TEST(CodePagesTest, ByteOfFindsEveryCharacterOfEachCodePage) {
  const struct {
    TCode code;
    const char* name;
  } pages[] = {{tAlt, "CP866"}, {tWin, "CP1251"}, {tKoi, "KOI8-R"}};
  for (const auto& [code, name] : pages) {
    for (int b = 0; b < 256; ++b) {
      const char32_t c = CharacterOf(name, b);
      if (c == 0 && b != 0) continue;  // windows-1251 0x98
      EXPECT_EQ(ByteOf(c, code), b) << name << " byte " << b;
    }
    EXPECT_EQ(ByteOf(U'\U0001F600', code), -1);
    EXPECT_EQ(ByteOf(U'\u00E9', code), -1);
  }
}

}  // namespace
}  // namespace tabulon
