#include "html/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>
#include <string>

#include "support/code_page_characters.h"
#include "support/look_alikes.h"

namespace tabulon {
namespace {

// Expected bytes come from the characters of each code page as Python's
// codecs give them, never from the program's tables.
using testing::kCp1251High;
using testing::kCp866High;
using testing::kKoi8rHigh;
using testing::Utf8;

// The windows-1251 byte of `c` above 0x7F, or -1.
constexpr int Cp1251ByteOf(char32_t c) {
  const char16_t* const at = std::find(kCp1251High, kCp1251High + 128, c);
  return at == kCp1251High + 128 ? -1
                                 : 0x80 + static_cast<int>(at - kCp1251High);
}

// The page bytes of 866 bytes 0x80-0xFF.
constexpr std::array<int, 128> kAltToWinHigh = [] {
  std::array<int, 128> page{};
  for (int i = 0; i < 128; ++i) {
    page[i] = testing::AltPageByte(0x80 + i, kCp866High[i],
                                   Cp1251ByteOf(kCp866High[i]));
  }
  return page;
}();
// A KOI8-R byte shows what a name holding its character shows: the page byte
// of the character's 866 byte, else its windows-1251 byte, else a low line.
constexpr std::array<int, 128> kKoiToWinHigh = [] {
  std::array<int, 128> page{};
  for (int i = 0; i < 128; ++i) {
    const char16_t c = kKoi8rHigh[i];
    const char16_t* const in866 = std::find(kCp866High, kCp866High + 128, c);
    const int win = Cp1251ByteOf(c);
    page[i] = in866 != kCp866High + 128 ? kAltToWinHigh[in866 - kCp866High]
              : win >= 0                ? win
                                        : 0x5F;
  }
  return page;
}();

std::string Byte(int b) { return std::string(1, static_cast<char>(b)); }

std::string Hex(int b) {
  char hex[4];
  std::snprintf(hex, sizeof hex, "%%%02X", b);
  return hex;
}

// The entity of a byte that markup would take, or empty.
std::string EntityOf(int b) {
  switch (b) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    default:
      return "";
  }
}

std::string Text(std::string_view s, TCharset charset = cWindows1251) {
  std::string out;
  AppendPageText(s, charset, &out);
  return out;
}
std::string Link(std::string_view s, unsigned edges = kLinkInside,
                 TCharset charset = cWindows1251) {
  std::string out;
  AppendLinkName(s, edges, charset, &out);
  return out;
}
std::string Url(std::string_view s, TCharset charset = cWindows1251) {
  std::string out;
  AppendUrl(s, charset, &out);
  return out;
}
std::string Description(std::string_view s, TCode code,
                        TCharset charset = cWindows1251) {
  std::string out;
  AppendDescription(s, code, charset, &out);
  return out;
}

TEST(PageTextTest, EverySingleByte) {
  // Bytes that a link writes %XX: controls, DEL, those that end or redirect
  // an address, and (alone) every byte above 0x7F, which is no UTF-8.
  const std::string_view kLinkEncoded = "%#?:\\\x7F";
  for (int b = 1; b < 256; ++b) {
    SCOPED_TRACE("byte " + std::to_string(b));
    const std::string in = Byte(b);
    std::string text = EntityOf(b);
    if (text.empty()) text = b < 0x80 ? in : Byte(kAltToWinHigh[b - 0x80]);
    std::string link = text;
    if (b < 0x20 || b >= 0x80 || kLinkEncoded.find(in) != kLinkEncoded.npos) {
      link = Hex(b);
    }
    EXPECT_EQ(Text(in), text);
    EXPECT_EQ(Link(in), link);
    EXPECT_EQ(Link(in, kLinkBegins | kLinkEnds), b == ' ' ? "%20" : link);
    EXPECT_EQ(Url(in), b == '\\' ? "/" : text);
  }
}

// What a link holds for the character `c` shown as the page byte `b`: that
// byte where windows-1251 has `c` there, else (a look-alike, such as "-" for
// a box-drawing line) the character's UTF-8 bytes as %XX.
std::string LinkOf(char32_t c, int b) {
  if (b < 0x80 ? static_cast<char32_t>(b) == c : kCp1251High[b - 0x80] == c) {
    return Byte(b);
  }
  std::string out;
  for (const char x : Utf8(c)) out += Hex(static_cast<unsigned char>(x));
  return out;
}

TEST(PageTextTest, EveryCharacterOfCodePage866ComesOutAsItsTableGivesIt) {
  for (int i = 0; i < 128; ++i) {
    const std::string in = Utf8(kCp866High[i]);
    EXPECT_EQ(Text(in), Byte(kAltToWinHigh[i])) << i + 0x80;
    EXPECT_EQ(Link(in), LinkOf(kCp866High[i], kAltToWinHigh[i])) << i + 0x80;
  }
}

TEST(PageTextTest, EveryTwoByteCharacterBetweenAsciiBytes) {
  // 866 first, then windows-1251, then a character reference (in a link
  // a C1 control's UTF-8 bytes as %XX instead); the bytes around it stay as
  // they are.
  for (char32_t c = 0x80; c < 0x800; ++c) {
    const char16_t* const in866 = std::find(kCp866High, kCp866High + 128, c);
    const char16_t* const in1251 = std::find(kCp1251High, kCp1251High + 128, c);
    std::string page;
    std::string link;
    if (in866 != kCp866High + 128) {
      page = Byte(kAltToWinHigh[in866 - kCp866High]);
      link = LinkOf(c, kAltToWinHigh[in866 - kCp866High]);
    } else if (in1251 != kCp1251High + 128) {
      page = link = Byte(0x80 + static_cast<int>(in1251 - kCp1251High));
    } else {
      page = "&#" + std::to_string(static_cast<unsigned long>(c)) + ";";
      link = c <= 0x9F ? "%C2" + Hex(static_cast<int>(c)) : page;
    }
    // These two would hide in a name: shown as marks instead.
    if (c == 0xAD) page = "&lt;U+00AD&gt;";
    if (c == 0x61C) page = "&lt;U+061C&gt;";
    const std::string in = "a" + Utf8(c) + "b";
    EXPECT_EQ(Text(in), "a" + page + "b") << static_cast<unsigned long>(c);
    EXPECT_EQ(Link(in), "a" + link + "b") << static_cast<unsigned long>(c);
  }
}

TEST(PageTextTest, CharactersBeyondCodePage866) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"\xE2\x82\xAC", "\x88"},           // euro sign: windows-1251 has it
      {"\xC2\xAB\xC2\xBB", "\xAB\xBB"},   // guillemets
      {"\xD1\x92", "\x90"},               // Serbian dje
      {"caf\xC3\xA9", "caf&#233;"},       // no é in either code page
      {"\xF0\x9F\x98\x80", "&#128512;"},  // emoji
      {"\xE4\xB8\xAD", "&#20013;"},
      {"\xD0\x81\xD1\x91", "\xA8\xB8"},  // Ё ё through 866 F0 F1
      {"\xC2\xA0", "_"},                 // no-break space is 866 FF
      // Broken sequences: each byte on its own, as 866.
      {"\xD0", "-"},
      {"\xE2\x82", "\xF2\xC2"},
      {"\xC0\xAF", "+\xEF"},             // overlong slash
      {"\xED\xA0\x80", "\xFD\xE0\xC0"},  // surrogate
  };
  for (const auto& c : cases) EXPECT_EQ(Text(c.in), c.out) << c.in;
}

TEST(PageTextTest, LinksKeepBlanksAndEncodeOnlyWhatBreaksThem) {
  EXPECT_EQ(Link("My Notes #2 (50%)?.txt"), "My Notes %232 (50%25)%3F.txt");
  EXPECT_EQ(Link("a&b\"c<d>"), "a&amp;b&quot;c&lt;d&gt;");
  EXPECT_EQ(Link("line\nend\ttab"), "line%0Aend%09tab");
  EXPECT_EQ(Link("\xD0\x9F\xFF"), "\xCF%FF");
  EXPECT_EQ(Url("http://h/a b/#x?y=1&z=%20"), "http://h/a b/#x?y=1&amp;z=%20");
  EXPECT_EQ(Url("\\\\server\\pub\\"), "//server/pub/");
}

TEST(PageTextTest, LinksTakeNoSchemeAndKeepTheirEdgeBlanks) {
  constexpr unsigned kBoth = kLinkBegins | kLinkEnds;
  const struct {
    const char* name;
    unsigned edges;
    const char* link;
  } kCases[] = {
      {"javascript:alert(1)", kBoth, "javascript%3Aalert(1)"},
      {"c:autoexec.bat", kLinkBegins, "c%3Aautoexec.bat"},
      {"mailto:x", kLinkInside, "mailto%3Ax"},
      {"http://x", kBoth, "http%3A//x"},
      {" lead", kLinkBegins, "%20lead"},
      {" lead", kLinkEnds, " lead"},
      {" lead", kLinkInside, " lead"},
      {"trail ", kLinkEnds, "trail%20"},
      {"trail ", kLinkBegins, "trail "},
      {" both ", kBoth, "%20both%20"},
      {" both ", kLinkInside, " both "},
      {"a b", kBoth, "a b"},
      {" ", kBoth, "%20"},
      {" ", kLinkBegins, "%20"},
      {" ", kLinkInside, " "},
      {"  ", kBoth, "%20%20"},
      {"   ", kBoth, "%20 %20"},
      {"", kBoth, ""},
      {" \t", kBoth, "%20%09"},
      // Shading characters of code page 866 are shown as blanks, but a
      // link carries them as they are, so that it reaches the name.
      {"\xE2\x96\x91x\xE2\x96\x92", kBoth, "%E2%96%91x%E2%96%92"},
      {"\xE2\x96\x93", kLinkInside, "%E2%96%93"},
      {"box\xE2\x94\x80", kBoth, "box%E2%94%80"},
      // A browser reads &#128; to &#159; as windows-1252's characters (the
      // first as the euro sign): C1 controls go as their UTF-8 bytes.
      {"price\xC2\x80.txt", kBoth, "price%C2%80.txt"},
      {"\xC2\x9F", kLinkInside, "%C2%9F"},
      {"\xC2\x9D\xC2\xA0", kBoth, "%C2%9D%C2%A0"},
      {" \xD0\x9E ", kBoth, "%20\xCE%20"},
      {" &", kBoth, "%20&amp;"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Link(c.name, c.edges), c.link)
        << "'" << c.name << "' edges " << c.edges;
  }
  // The address typed by the user is the user's own.
  EXPECT_EQ(Url("javascript:alert(1)"), "javascript:alert(1)");
  EXPECT_EQ(Url(" http://h/ "), " http://h/ ");
}

// The windows-1251 text of `text` in `code`, from the tables above.
std::string Converted(std::string_view text, TCode code) {
  std::string page;
  for (const char ch : text) {
    const int b = static_cast<unsigned char>(ch);
    const std::string entity = EntityOf(b);
    if (!entity.empty()) {
      page += entity;
    } else if (b < 0x80 || code == tWin) {
      page += ch;
    } else {
      page += static_cast<char>(
          (code == tAlt ? kAltToWinHigh : kKoiToWinHigh)[b - 0x80]);
    }
  }
  return page;
}

TEST(DescriptionTextTest, EachCodePageThroughItsTable) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (TCode code : {tAlt, tWin, tKoi}) {
    EXPECT_EQ(Description(all, code), Converted(all, code)) << int{code};
  }
}

TEST(DescriptionTextTest, EachByteAloneAmongPlainText) {
  // One byte in a description otherwise plain, so that nothing else in it
  // sends the conversion down the path for text with markup.
  for (TCode code : {tAlt, tWin, tKoi}) {
    for (int b = 1; b < 256; ++b) {
      const std::string text = "plain words " + Byte(b) + " more";
      EXPECT_EQ(Description(text, code),
                "plain words " + Converted(Byte(b), code) + " more")
          << int{code} << " " << b;
    }
  }
  // Spot checks of the tables, byte by byte.
  EXPECT_EQ(
      Description("\x80\xAF\xE0\xEF\xF0\xF1\xB3\xC4\xC5\xB0\xDB\xFF", tAlt),
      "\xC0\xEF\xF0\xFF\xA8\xB8\xA6\x2D\x2B\x20\x5F\x5F");
  EXPECT_EQ(
      Description("\xC0\xC1\xE1\xFE\xFF\xA3\xB3\x80\x81\x9A\xBF\x93\x9F", tKoi),
      "\xFE\xE0\xC0\xD7\xDA\xB8\xA8\x2D\xA6\x5F\xA9\x5F\x5F");
}

TEST(DescriptionTextTest, KoiBytesShowWhatANameOfTheSameCharacterShows) {
  for (int b = 0x80; b < 0x100; ++b) {
    const std::string page = Byte(kKoiToWinHigh[b - 0x80]);
    EXPECT_EQ(Description(Byte(b), tKoi), page) << b;
    // A character that neither 866 nor windows-1251 has is a reference in
    // a name, but the fixed-width description takes a low line.
    const std::string name = Text(Utf8(kKoi8rHigh[b - 0x80]));
    EXPECT_EQ(name.substr(0, 2) == "&#" ? "_" : name, page) << b;
  }
}

TEST(DescriptionTextTest, LongTextsOfEveryMix) {
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
    plain += text.find_first_of("&<>\"") == text.npos;
    ASSERT_EQ(Description(text, code), Converted(text, code))
        << int{code} << " " << text;
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
      {"Greek and a four-byte character as references",
       "\xCE\xB1\xF0\x9F\x98\x80", "&#945;&#128512;"},
      {"markup escaped", "<b>\"&\"</b>",
       "&lt;b&gt;&quot;&amp;&quot;&lt;/b&gt;"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Description(c.utf8, tUtf8), c.page) << c.what;
    EXPECT_EQ(Description(c.utf8, tUtf8), Text(c.utf8)) << c.what;
  }
}

// The same names and descriptions on a windows-1251 page and on a UTF-8
// page.
TEST(CharsetTest, NamesOnBothPages) {
  constexpr unsigned kBoth = kLinkBegins | kLinkEnds;
  const struct {
    const char* what;
    std::string name;
    unsigned edges;
    std::string win_text, win_link, utf_text, utf_link;
  } kCases[] = {
      {"box drawing and shading of 866",
       "\xE2\x95\x94\xE2\x95\x90\xE2\x95\x97\xE2\x96\x91", kLinkInside, "+-+ ",
       "%E2%95%94%E2%95%90%E2%95%97%E2%96%91",
       "\xE2\x95\x94\xE2\x95\x90\xE2\x95\x97\xE2\x96\x91",
       "\xE2\x95\x94\xE2\x95\x90\xE2\x95\x97\xE2\x96\x91"},
      {"several scripts",
       "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 \xCE\x95\xCE\xBB "
       "\xE4\xB8\xAD\xF0\x9F\x98\x80",
       kBoth, "\xCE\xF2\xF7\xB8\xF2 &#917;&#955; &#20013;&#128512;",
       "\xCE\xF2\xF7\xB8\xF2 &#917;&#955; &#20013;&#128512;",
       "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 \xCE\x95\xCE\xBB "
       "\xE4\xB8\xAD\xF0\x9F\x98\x80",
       "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 \xCE\x95\xCE\xBB "
       "\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      {"bytes that are not UTF-8 are 866 (no-break space, a cut letter)",
       "a\xFF\xD0", kBoth, "a_-", "a%FF%D0", "a\xC2\xA0\xE2\x95\xA8",
       "a%FF%D0"},
      {"a no-break space", "\xC2\xA0x", kBoth, "_x", "%C2%A0x", "\xC2\xA0x",
       "\xC2\xA0x"},
      // A lead byte of two takes no ASCII byte with it ("Р.txt" in
      // windows-1251 is D0 2E).
      {"a lead byte before an ASCII byte", "\xD0.txt", kBoth, "-.txt",
       "%D0.txt", "\xE2\x95\xA8.txt", "%D0.txt"},
      {"a lead byte before markup", "\xD0<b>", kBoth, "-&lt;b&gt;",
       "%D0&lt;b&gt;", "\xE2\x95\xA8&lt;b&gt;", "%D0&lt;b&gt;"},
      {"quotes, backslash, markup", "\"x\" a\\b <i>&", kBoth,
       "&quot;x&quot; a\\b &lt;i&gt;&amp;",
       "&quot;x&quot; a%5Cb &lt;i&gt;&amp;",
       "&quot;x&quot; a\\b &lt;i&gt;&amp;",
       "&quot;x&quot; a%5Cb &lt;i&gt;&amp;"},
      {"controls", "\t\x01x\x7F", kBoth, "\t\x01x\x7F", "%09%01x%7F",
       "\t\x01x\x7F", "%09%01x%7F"},
      {"what ends or redirects an address", "%#?:", kBoth,
       "%#?:", "%25%23%3F%3A", "%#?:", "%25%23%3F%3A"},
      {"blanks at the ends", " a ", kBoth, " a ", "%20a%20", " a ", "%20a%20"},
      {"blanks inside", " a ", kLinkInside, " a ", " a ", " a ", " a "},
      // Characters that reorder or hide text show as marks; links as before.
      {"right-to-left override",
       "invoice\xE2\x80\xAE"
       "fdp.exe",
       kBoth, "invoice&lt;U+202E&gt;fdp.exe", "invoice&#8238;fdp.exe",
       "invoice&lt;U+202E&gt;fdp.exe",
       "invoice\xE2\x80\xAE"
       "fdp.exe"},
      {"zero-width space", "set\xE2\x80\x8Bup.exe", kBoth,
       "set&lt;U+200B&gt;up.exe", "set&#8203;up.exe", "set&lt;U+200B&gt;up.exe",
       "set\xE2\x80\x8Bup.exe"},
      {"soft hyphen, Arabic letter mark, isolate, word joiner, BOM",
       "\xC2\xAD\xD8\x9C\xE2\x81\xA9\xE2\x81\xA0\xEF\xBB\xBF", kBoth,
       "&lt;U+00AD&gt;&lt;U+061C&gt;&lt;U+2069&gt;&lt;U+2060&gt;&lt;U+FEFF&gt;",
       "\xAD&#1564;&#8297;&#8288;&#65279;",
       "&lt;U+00AD&gt;&lt;U+061C&gt;&lt;U+2069&gt;&lt;U+2060&gt;&lt;U+FEFF&gt;",
       "\xC2\xAD\xD8\x9C\xE2\x81\xA9\xE2\x81\xA0\xEF\xBB\xBF"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Text(c.name, cWindows1251), c.win_text);
    EXPECT_EQ(Link(c.name, c.edges, cWindows1251), c.win_link);
    EXPECT_EQ(Text(c.name, cUtf8), c.utf_text);
    EXPECT_EQ(Link(c.name, c.edges, cUtf8), c.utf_link);
  }
  // The base address: never percent-encoded, backslashes as "/".
  EXPECT_EQ(Url("http://h/\xD0\x81\\d?a=1&b", cWindows1251),
            "http://h/\xA8/d?a=1&amp;b");
  EXPECT_EQ(Url("http://h/\xD0\x81\\d?a=1&b", cUtf8),
            "http://h/\xD0\x81/d?a=1&amp;b");
  EXPECT_EQ(Url("\xFF", cUtf8), "\xC2\xA0");
  EXPECT_EQ(Description("a\xE2\x80\xAE", tUtf8, cUtf8), "a\xE2\x80\xAE");
}

// On a UTF-8 page two-byte characters are copied in runs with the bytes
// around them: the runs end where a byte must be escaped or is not UTF-8.
TEST(CharsetTest, TwoByteCharactersOnAUtf8PageEndTheirRunsRight) {
  const struct {
    const char* what;
    std::string name, text, link;
  } kCases[] = {
      {"an escape between letters", "\xD0\x81<\xD0\x91",
       "\xD0\x81&lt;\xD0\x91", "\xD0\x81&lt;\xD0\x91"},
      // 866: D0 is a box-drawing piece, C1 another, 81 the letter Be.
      {"a lead byte without its second byte, an overlong form",
       "\xD0\x81\xD0" "A\xC1\x81",
       "\xD0\x81\xE2\x95\xA8" "A\xE2\x94\xB4\xD0\x91",
       "\xD0\x81%D0A%C1%81"},
      {"a lead byte at the end", "x\xC3\xA9\xC3", "x\xC3\xA9\xE2\x94\x9C",
       "x\xC3\xA9%C3"},
      {"three bytes after two", "\xC3\xA9\xE4\xB8\xAD&",
       "\xC3\xA9\xE4\xB8\xAD&amp;", "\xC3\xA9\xE4\xB8\xAD&amp;"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Text(c.name, cUtf8), c.text);
    EXPECT_EQ(Link(c.name, kLinkInside, cUtf8), c.link);
  }
}

TEST(CharsetTest, DescriptionsOnBothPages) {
  const struct {
    const char* what;
    TCode code;
    std::string bytes;
    std::string win, utf;
  } kCases[] = {
      {"866 box drawing, shading, letters", tAlt,
       "\xC9\xCD\xBB\xB0\xB1\xB2 \x8E\xE2\xE7\xF1\xE2",
       "+-+    \xCE\xF2\xF7\xB8\xF2",
       "\xE2\x95\x94\xE2\x95\x90\xE2\x95\x97\xE2\x96\x91\xE2\x96\x92\xE2\x96"
       "\x93 \xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82"},
      {"KOI8-R box drawing, shading, letters, copyright", tKoi,
       "\xA5\xA0\xA8\x90 \xEF\xD4\xDE\xA3\xD4 \xBF",
       "+-+  \xCE\xF2\xF7\xB8\xF2 \xA9",
       "\xE2\x95\x94\xE2\x95\x90\xE2\x95\x97\xE2\x96\x91 "
       "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 \xC2\xA9"},
      {"windows-1251 0x98 and markup", tWin, "\x98\xAB\xB9\xBB <b>&",
       "\x98\xAB\xB9\xBB &lt;b&gt;&amp;",
       "\xC2\x98\xC2\xAB\xE2\x84\x96\xC2\xBB &lt;b&gt;&amp;"},
      {"UTF-8 with a byte that is not", tUtf8, "a\xFF \xCE\xB1", "a_ &#945;",
       "a\xC2\xA0 \xCE\xB1"},
      {"controls and quotes", tAlt, "\x01\t\"", "\x01\t&quot;", "\x01\t&quot;"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Description(c.bytes, c.code, cWindows1251), c.win);
    EXPECT_EQ(Description(c.bytes, c.code, cUtf8), c.utf);
  }
}

}  // namespace
}  // namespace tabulon
