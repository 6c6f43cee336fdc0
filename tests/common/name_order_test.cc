#include "common/name_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/utf8.h"

namespace tabulon {
namespace {

// Names in the order a directory lists them; written out from the rules
// (units raised by UnicodeData.txt, a prefix first, then bytes), not by the
// code under test.
struct OrderCase {
  const char* what;
  std::vector<std::string> names;
};

const OrderCase kOrderCases[] = {
    {"ASCII: letters raised, so _ and [ come after Z",
     {"0", "9", "a", "B", "z", "[", "_", "`", "{", "~"}},
    {"Russian: yo before ye", {"z", "Ёж", "ёлка", "елка", "Жук", "я"}},
    {"outside the BMP: surrogates, unmapped, before U+E000",
     {"한", "𐐀", "𐐨", "😀", "\uE000", "ｆ"}},
    {"the first character past the BMP: a pair too",
     {"z", "\uD55C", "\U00010000", "\U00010400", "\uE000"}},
    {"a prefix first, also past the first four units",
     {"abc", "ABC.txt", "abc.txt", "abcd", "Annual Report 2023 final.doc",
      "annual report 2023 FINAL.doc", "Annual Report 2023 final.docx",
      "Annual Report 2023 finale.doc", "report-2023.txt", "REPORT-2024.TXT",
      "report-2024.txt", "report-2024.txt.bak", "report_2023.txt"}},
    {"equal but for letter case: by bytes", {"README", "ReadMe", "readme"}},
    {"invalid UTF-8: a byte is its code page 866 character",
     {"z", "\xF0", "\xA0", "А", "а", "\xA0\xE1", "ас", "б"}},
    {"Latin: dotless i is I, sharp s has no capital",
     {"I", "i", "ı", "J", "Z", "ß", "ÿ", "Ÿ"}},
    {"Greek: micro sign is Mu, final sigma is Sigma",
     {"ά", "α", "µ", "Μ", "μ", "Σ", "ς", "σ"}},
    {"Armenian", {"Ա", "ա", "բ", "Ֆ", "և"}},
    {"Georgian: Nuskhuri raised to Asomtavruli, Mkhedruli to Mtavruli",
     {"Ⴀ", "ⴀ", "ა", "Ა"}},
    {"full-width Latin", {"Ａ", "ａ", "Ｚ", "ｚ", "［"}},
};

TEST(NameOrderTest, ComparesNamesInDirectoryOrder) {
  for (const OrderCase& c : kOrderCases) {
    SCOPED_TRACE(c.what);
    const std::vector<std::string>& names = c.names;
    for (std::size_t i = 0; i < names.size(); ++i) {
      EXPECT_FALSE(NameBefore(names[i], names[i])) << names[i];
      for (std::size_t j = i + 1; j < names.size(); ++j) {
        EXPECT_TRUE(NameBefore(names[i], names[j]))
            << names[i] << " before " << names[j];
        EXPECT_FALSE(NameBefore(names[j], names[i]))
            << names[j] << " not before " << names[i];
      }
    }
  }
}

TEST(NameOrderTest, OrdersEntriesWhateverOrderTheyCameIn) {
  for (const OrderCase& c : kOrderCases) {
    SCOPED_TRACE(c.what);
    const std::size_t n = c.names.size();
    // Reversed, then rotated by one: neither the given nor a sorted start.
    std::vector<SearchEntry> entries(n);
    for (std::size_t k = 0; k < n; ++k) {
      entries[k].Name = c.names[(2 * n - 2 - k) % n];
    }
    const std::vector<std::uint32_t> order = NameOrder(entries.data(), n);
    ASSERT_EQ(order.size(), n);
    for (std::size_t k = 0; k < n; ++k) {
      ASSERT_LT(order[k], n);
      EXPECT_EQ(entries[order[k]].Name, c.names[k]) << "place " << k;
    }
  }
  EXPECT_TRUE(NameOrder(nullptr, 0).empty());
}

// Many names of a few stems, as archives hold them: the order of the whole
// directory agrees with NameBefore (checked above against the table), one
// pair at a time.
TEST(NameOrderTest, LargeDirectoryOfSharedStemsAgreesWithEveryPair) {
  const std::vector<std::string> stems = {
      "", "Driver ПРОГРАММА ", "driver программа ", "Annual Report 2023 ",
      "\xF0\xA0", "отчёт_", "😀😀😀😀😀"};
  // ASCII on both sides of the letters, and letters raised to ASCII.
  const std::vector<std::string> pieces = {
      "a", "A", "b", "_", "1", "ё", "Ё", "е", "𐐀", "\xF0", ".", " ",
      "@", "[", "`", "{", "z", "Z", "\x7F", "ı", "ſ", "ｆ", "\xE0"};
  std::mt19937 random(7);
  std::set<std::string> names;
  while (names.size() < 3000) {
    std::string name = stems[random() % stems.size()];
    for (std::size_t n = 1 + random() % 12; n > 0; --n) {
      name += pieces[random() % pieces.size()];
    }
    names.insert(name);
  }
  std::vector<SearchEntry> entries;
  for (const std::string& name : names) entries.emplace_back().Name = name;
  std::shuffle(entries.begin(), entries.end(), random);
  const std::vector<std::uint32_t> order =
      NameOrder(entries.data(), entries.size());
  ASSERT_EQ(order.size(), entries.size());
  std::vector<bool> seen(entries.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    ASSERT_LT(order[k], entries.size());
    EXPECT_FALSE(seen[order[k]]);
    seen[order[k]] = true;
    if (k > 0) {
      ASSERT_TRUE(NameBefore(entries[order[k - 1]].Name, entries[order[k]].Name))
          << entries[order[k - 1]].Name << " before " << entries[order[k]].Name;
    }
  }
}

TEST(NameOrderTest, UppercaseTableFollowsUnicodeData) {
  const struct {
    char16_t unit;
    char16_t upper;
  } kPairs[] = {
      {u'a', u'A'},     {u'A', u'A'},     {u'_', u'_'},     {0x00FF, 0x0178},
      {0x0131, 0x0049}, {0x01C6, 0x01C4}, {0x01C5, 0x01C4}, {0x00B5, 0x039C},
      {0x0345, 0x0399}, {0x1F80, 0x1F88}, {0x1FB3, 0x1FBC}, {0xFF41, 0xFF21},
      {0x0451, 0x0401}, {0x044F, 0x042F}, {0x10D0, 0x1C90}, {0x2D00, 0x10A0},
      {0x2C65, 0x023A}, {0xAB70, 0x13A0}, {0x1D79, 0xA77D}, {0x00DF, 0x00DF},
      {0x1E9E, 0x1E9E}, {0x0587, 0x0587}, {0xD800, 0xD800}, {0xDC28, 0xDC28},
      {0xE000, 0xE000}, {0xFFFF, 0xFFFF},
  };
  for (const auto& p : kPairs) {
    EXPECT_EQ(static_cast<int>(UpperOf(p.unit)), static_cast<int>(p.upper))
        << std::hex << static_cast<int>(p.unit);
  }
}

TEST(NameOrderTest, InvalidBytesAreTheirCodePage866Characters) {
  // Bytes 0x80-0xFF as Python's cp866 codec decodes them; the last is a
  // no-break space.
  const std::string k866 =
      "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмноп"
      "░▒▓│┤╡╢╖╕╣║╗╝╜╛┐└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀"
      "рстуфхцчшщъыьэюяЁёЄєЇїЎў°∙·√№¤■\u00A0";
  std::size_t expected_pos = 0;
  for (int b = 0x80; b <= 0xFF; ++b) {
    char32_t expected;
    ASSERT_TRUE(DecodeUtf8(k866, &expected_pos, &expected));
    const std::string name(1, static_cast<char>(b));
    std::size_t pos = 0;
    EXPECT_EQ(static_cast<int>(NameCharacter(name, &pos)),
              static_cast<int>(expected))
        << std::hex << b;
    EXPECT_EQ(pos, 1u);
  }
  EXPECT_EQ(expected_pos, k866.size());

  // Valid sequences are characters of their own, next to invalid bytes.
  // An overlong form (U+0410 in three bytes) is three invalid bytes.
  const std::string mixed =
      "\xA0\xD0\xB6\xF0\x9F\x98\x80\xF0\x9F\xE0\x90\x90";
  const char32_t kMixed[] = {0x0430, 0x0436, 0x1F600, 0x0401,
                             0x042F, 0x0440, 0x0420, 0x0420};
  std::size_t pos = 0;
  for (const char32_t c : kMixed) {
    ASSERT_LT(pos, mixed.size());
    EXPECT_EQ(static_cast<int>(NameCharacter(mixed, &pos)),
              static_cast<int>(c));
  }
  EXPECT_EQ(pos, mixed.size());
}

}  // namespace
}  // namespace tabulon
