#include "html/text.h"

#include <gtest/gtest.h>

#include <random>

#include "common/utf8.h"
#include "descriptions/code_pages.h"

namespace tabulon {
namespace {

std::string Text(std::string_view s) {
  std::string out;
  AppendPageText(s, &out);
  return out;
}
std::string Link(std::string_view s) {
  std::string out;
  AppendLinkName(s, &out);
  return out;
}
std::string Url(std::string_view s) {
  std::string out;
  AppendUrl(s, &out);
  return out;
}
std::string Description(std::string_view s, TCode code) {
  std::string out;
  AppendDescription(s, code, &out);
  return out;
}

TEST(PageTextTest, EverySingleByte) {
  for (int b = 1; b < 256; ++b) {
    const std::string in(1, static_cast<char>(b));
    SCOPED_TRACE("byte " + std::to_string(b));
    std::string text, link;
    switch (b) {
      case '&': text = link = "&amp;"; break;
      case '<': text = link = "&lt;"; break;
      case '>': text = link = "&gt;"; break;
      case '"': text = link = "&quot;"; break;
      default:
        // Alone, a byte of 0x80 or more is no valid UTF-8: an 866 byte.
        text = std::string(1, static_cast<char>(AltToWin[b]));
        link = text;
    }
    if (b < 0x20 || b == 0x7F || b >= 0x80 || b == '%' || b == '#' || b == '?' ||
        b == '\\') {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", b);
      link = hex;
    }
    EXPECT_EQ(Text(in), text);
    EXPECT_EQ(Link(in), link);
    EXPECT_EQ(Url(in), b == '\\' ? "/" : text);
  }
}

TEST(PageTextTest, EveryCharacterOfCodePage866ComesOutAsItsTableGivesIt) {
  for (int b = 0x80; b < 256; ++b) {
    std::string utf8;
    AppendUtf8(kCp866ToUnicode[b], &utf8);
    EXPECT_EQ(Text(utf8), std::string(1, static_cast<char>(AltToWin[b]))) << b;
    EXPECT_EQ(Link(utf8), Text(utf8)) << b;
  }
}

TEST(PageTextTest, CharactersBeyondCodePage866) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"\xE2\x82\xAC", "\x88"},                  // euro sign: windows-1251 has it
      {"\xC2\xAB\xC2\xBB", "\xAB\xBB"},          // guillemets
      {"\xD1\x92", "\x90"},                      // Serbian dje
      {"caf\xC3\xA9", "caf&#233;"},              // no é in either code page
      {"\xF0\x9F\x98\x80", "&#128512;"},         // emoji
      {"\xE4\xB8\xAD", "&#20013;"},
      {"\xD0\x81\xD1\x91", "\xA8\xB8"},          // Ё ё through 866 F0 F1
      {"\xC2\xA0", "_"},                         // no-break space is 866 FF
      // Broken sequences: each byte on its own, as 866.
      {"\xD0", "-"},
      {"\xE2\x82", "\xF2\xC2"},
      {"\xC0\xAF", "+\xEF"},                      // overlong slash
      {"\xED\xA0\x80", "\xFD\xE0\xC0"},          // surrogate
  };
  for (const auto& c : cases) EXPECT_EQ(Text(c.in), c.out) << c.in;
}

TEST(PageTextTest, EveryTwoByteCharacterBetweenAsciiBytes) {
  // 866 first, then windows-1251, then a character reference; the bytes
  // around it stay as they are.
  for (char32_t c = 0x80; c < 0x800; ++c) {
    std::string expected = "a";
    if (ByteOf(c, tAlt) >= 0) {
      expected.push_back(static_cast<char>(AltToWin[ByteOf(c, tAlt)]));
    } else if (ByteOf(c, tWin) >= 0) {
      expected.push_back(static_cast<char>(ByteOf(c, tWin)));
    } else {
      expected += "&#" + std::to_string(static_cast<unsigned long>(c)) + ";";
    }
    expected += "b";
    std::string in = "a";
    AppendUtf8(c, &in);
    in += "b";
    EXPECT_EQ(Text(in), expected) << static_cast<unsigned long>(c);
    EXPECT_EQ(Link(in), expected) << static_cast<unsigned long>(c);
  }
}

TEST(PageTextTest, LinksKeepBlanksAndEncodeOnlyWhatBreaksThem) {
  EXPECT_EQ(Link("My Notes #2 (50%)?.txt"), "My Notes %232 (50%25)%3F.txt");
  EXPECT_EQ(Link("a&b\"c<d>"), "a&amp;b&quot;c&lt;d&gt;");
  EXPECT_EQ(Link("line\nend\ttab"), "line%0Aend%09tab");
  EXPECT_EQ(Link("\xD0\x9F\xFF"), "\xCF%FF");
  EXPECT_EQ(Url("http://h/a b/#x?y=1&z=%20"), "http://h/a b/#x?y=1&amp;z=%20");
  EXPECT_EQ(Url("\\\\server\\pub\\"), "//server/pub/");
}

TEST(DescriptionTextTest, EachCodePageThroughItsTable) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (TCode code : {tAlt, tWin, tKoi}) {
    const std::string out = Description(all, code);
    std::string expected;
    for (int b = 1; b < 256; ++b) {
      if (b == '&') expected += "&amp;";
      else if (b == '<') expected += "&lt;";
      else if (b == '>') expected += "&gt;";
      else if (b == '"') expected += "&quot;";
      else if (code == tAlt) expected.push_back(static_cast<char>(AltToWin[b]));
      else if (code == tKoi) expected.push_back(static_cast<char>(KoiToWin[b]));
      else expected.push_back(static_cast<char>(b));
    }
    EXPECT_EQ(out, expected) << int{code};
  }
}

TEST(DescriptionTextTest, EachByteAloneAmongPlainText) {
  // One byte in a description otherwise plain, so that nothing else in it
  // sends the conversion down the path for text with markup.
  for (TCode code : {tAlt, tWin, tKoi}) {
    for (int b = 1; b < 256; ++b) {
      const std::string text =
          "plain words " + std::string(1, static_cast<char>(b)) + " more";
      std::string middle;
      if (b == '&')
        middle = "&amp;";
      else if (b == '<')
        middle = "&lt;";
      else if (b == '>')
        middle = "&gt;";
      else if (b == '"')
        middle = "&quot;";
      else if (code == tAlt)
        middle = std::string(1, static_cast<char>(AltToWin[b]));
      else if (code == tKoi)
        middle = std::string(1, static_cast<char>(KoiToWin[b]));
      else
        middle = std::string(1, static_cast<char>(b));
      EXPECT_EQ(Description(text, code), "plain words " + middle + " more")
          << int{code} << " " << b;
    }
  }
}

TEST(DescriptionTextTest, LongTextsOfEveryMixAsTheTablesGiveThem) {
  // Russian letters, ASCII, now and then any other byte: long enough that
  // the bulk of a text is converted many bytes at a time.
  std::string letters;
  for (int b = 0x80; b <= 0xAF; ++b) letters.push_back(static_cast<char>(b));
  for (int b = 0xE0; b <= 0xF1; ++b) letters.push_back(static_cast<char>(b));
  letters += "abc XYZ 019.,-";
  std::mt19937 random(866);
  int plain = 0;
  for (int i = 0; i < 3000; ++i) {
    const TCode code = i % 3 == 0 ? tAlt : i % 3 == 1 ? tKoi : tWin;
    std::string text;
    const std::size_t length = 1 + random() % 255;
    const bool other = i % 4 == 0;
    for (std::size_t n = 0; n < length; ++n) {
      text.push_back(other && random() % 40 == 0
                         ? static_cast<char>(1 + random() % 255)
                         : letters[random() % letters.size()]);
    }
    std::string expected;
    bool escaped = false;
    for (const char ch : text) {
      const auto b = static_cast<unsigned char>(ch);
      if (b == '&' || b == '<' || b == '>' || b == '"') {
        std::string entity;
        AppendPageText(std::string(1, ch), &entity);
        expected += entity;
        escaped = true;
      } else {
        expected.push_back(static_cast<char>(code == tAlt   ? AltToWin[b]
                                             : code == tKoi ? KoiToWin[b]
                                                            : b));
      }
    }
    plain += !escaped;
    ASSERT_EQ(Description(text, code), expected) << int{code} << " " << text;
  }
  EXPECT_GT(plain, 2000);
}

TEST(DescriptionTextTest, Utf8LikeNativeText) {
  const struct {
    const char* what;
    std::string utf8;
    std::string page;
  } kCases[] = {
      {"Russian letters are windows-1251 bytes", "Ёлка и ящик",
       "\xA8\xEB\xEA\xE0 \xE8 \xFF\xF9\xE8\xEA"},
      {"a character only windows-1251 has", "\xE2\x82\xAC 5", "\x88 5"},
      {"Greek and a four-byte character as references", "\xCE\xB1\xF0\x9F\x98\x80",
       "&#945;&#128512;"},
      {"markup escaped", "<b>\"&\"</b>", "&lt;b&gt;&quot;&amp;&quot;&lt;/b&gt;"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Description(c.utf8, tUtf8), c.page) << c.what;
    EXPECT_EQ(Description(c.utf8, tUtf8), Text(c.utf8)) << c.what;
  }
}

}  // namespace
}  // namespace tabulon
