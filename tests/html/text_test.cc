#include "html/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

namespace tabulon {
namespace {

// Expected bytes come from sources other than the program's tables: the
// conversion tables as the program's documentation gives them, and the
// characters of code pages 866 and 1251 as Python's codecs give them.
constexpr std::string_view kAltToWinHigh =
    "\xC0\xC1\xC2\xC3\xC4\xC5\xC6\xC7\xC8\xC9\xCA\xCB\xCC\xCD\xCE\xCF"
    "\xD0\xD1\xD2\xD3\xD4\xD5\xD6\xD7\xD8\xD9\xDA\xDB\xDC\xDD\xDE\xDF"
    "\xE0\xE1\xE2\xE3\xE4\xE5\xE6\xE7\xE8\xE9\xEA\xEB\xEC\xED\xEE\xEF"
    "\x20\x20\x20\xA6\xA6\xA6\xA6\x2B\x2B\xA6\xA6\x2B\x2B\x2B\x2B\x2B"
    "\x2B\x2D\x2D\x2B\x2D\x2B\xA6\xA6\x2B\x2B\x2D\x2D\xA6\x2D\x2B\x2D"
    "\x2D\x2D\x2D\x2B\x2B\x2B\x2B\x2B\x2B\x2B\x2B\x5F\x5F\x5F\x5F\x5F"
    "\xF0\xF1\xF2\xF3\xF4\xF5\xF6\xF7\xF8\xF9\xFA\xFB\xFC\xFD\xFE\xFF"
    "\xA8\xB8\xAA\xBA\xAF\xBF\xA1\xA2\xB0\xB7\xB7\x5F\xB9\xA4\x5F\x5F";
constexpr std::string_view kKoiToWinHigh =
    "\xC0\xA6\xC2\xC3\xC4\xC5\xC6\xC7\xC8\xC9\xCA\xCB\xCC\xCD\xCE\xCF"
    "\xD0\xD1\xD2\xD3\xD4\xD5\xD6\xD7\x2B\xD9\xDA\xDB\xDC\xDD\xDE\xDF"
    "\x2D\xE1\xE2\xE5\xE4\xE5\xE6\xE7\xE8\xE9\xEA\xEB\xEC\xED\xEE\xEF"
    "\x20\x20\x20\xA6\xA6\xA6\xA6\x2B\x2B\xA6\xA6\x2B\x2B\x2B\x2B\x2B"
    "\xFE\xE0\xE1\xF6\xE4\xE5\xF4\xE3\xF5\xE8\xE9\xEA\xEB\xEC\xED\xEE"
    "\xEF\xFF\xF0\xF1\xF2\xF3\xE6\xE2\xFC\xFB\xE7\xF8\xFD\xF9\xF7\xFA"
    "\xDE\xC0\xC1\xD6\xC4\xC5\xD4\xC3\xD5\xC8\xC9\xCA\xCB\xCC\xCD\xCE"
    "\xCF\xDF\xD0\xD1\xD2\xD3\xC6\xC2\xDC\xDB\xC7\xD8\xDD\xD9\xD7\x5F";
// Bytes 0x80-0xFF of code page 866 and of windows-1251 (0 where it has none).
constexpr char16_t kCp866High[128] = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418,
    0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420, 0x0421,
    0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A,
    0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432, 0x0433,
    0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C,
    0x043D, 0x043E, 0x043F, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561,
    0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B,
    0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568,
    0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518,
    0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x0440, 0x0441, 0x0442,
    0x0443, 0x0444, 0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B,
    0x044C, 0x044D, 0x044E, 0x044F, 0x0401, 0x0451, 0x0404, 0x0454, 0x0407,
    0x0457, 0x040E, 0x045E, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4,
    0x25A0, 0x00A0};
constexpr char16_t kCp1251High[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC,
    0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018,
    0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0,      0x2122, 0x0459,
    0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0, 0x040E, 0x045E, 0x0408,
    0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC,
    0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5,
    0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455,
    0x0457, 0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F, 0x0420,
    0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429,
    0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F, 0x0430, 0x0431, 0x0432,
    0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B,
    0x043C, 0x043D, 0x043E, 0x043F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0444,
    0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D,
    0x044E, 0x044F};

// The UTF-8 form of a character of the Basic Multilingual Plane.
std::string Utf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    s.push_back(static_cast<char>(0xC0 | c >> 6));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xE0 | c >> 12));
    s.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
  return s;
}

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

std::string Text(std::string_view s) {
  std::string out;
  AppendPageText(s, &out);
  return out;
}
std::string Link(std::string_view s, unsigned edges = kLinkInside) {
  std::string out;
  AppendLinkName(s, edges, &out);
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
    EXPECT_EQ(Link(in), LinkOf(kCp866High[i], static_cast<unsigned char>(kAltToWinHigh[i]))) << i + 0x80;
  }
}

TEST(PageTextTest, EveryTwoByteCharacterBetweenAsciiBytes) {
  // 866 first, then windows-1251, then a character reference; the bytes
  // around it stay as they are.
  for (char32_t c = 0x80; c < 0x800; ++c) {
    const char16_t* const in866 = std::find(kCp866High, kCp866High + 128, c);
    const char16_t* const in1251 = std::find(kCp1251High, kCp1251High + 128, c);
    std::string page;
    std::string link;
    if (in866 != kCp866High + 128) {
      page = Byte(kAltToWinHigh[in866 - kCp866High]);
      link = LinkOf(c, static_cast<unsigned char>(kAltToWinHigh[in866 - kCp866High]));
    } else if (in1251 != kCp1251High + 128) {
      page = link = Byte(0x80 + static_cast<int>(in1251 - kCp1251High));
    } else {
      page = link = "&#" + std::to_string(static_cast<unsigned long>(c)) + ";";
    }
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
      page += (code == tAlt ? kAltToWinHigh : kKoiToWinHigh)[b - 0x80];
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
  EXPECT_EQ(Description("\xC0\xC1\xE1\xFE\xFF\xA3\xB3\x80\x81", tKoi),
            "\xFE\xE0\xC0\xD7\x5F\xE5\xA6\xC0\xA6");
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

}  // namespace
}  // namespace tabulon
