#include "descriptions/lookup.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "descriptions/code_pages.h"
#include "descriptions/loader.h"

namespace tabulon {
namespace {

std::optional<std::string> Describe(const std::string& file,
                                    const std::string& name) {
  DescriptionList list;
  LoadDescriptions(file, &list);
  const DescriptionLookup lookup(list);
  const std::optional<std::string_view> text = lookup.DescriptionOf(name);
  if (!text) return std::nullopt;
  return std::string(*text);
}

TEST(LookupTest, FindsTheFirstRecordThatBeginsWithTheName) {
  const struct {
    const char* what;
    std::string file;
    std::string name;
    std::optional<std::string> text;
  } kCases[] = {
      {"no description file", "", "a.txt", std::nullopt},
      {"no record for it", "b.txt x", "a.txt", std::nullopt},
      {"any case in the file", "readme.txt   Read me first", "README.TXT",
       "Read me first"},
      {"any case in the name", "README.TXT Read me first", "readme.txt",
       "Read me first"},
      {"name alone", "a.txt\n", "a.txt", ""},
      {"prefix rule", "A.TXTX first\nA.TXT second\n", "A.TXT", "X first"},
      {"longer name after the shorter", "A.TXT second\nA.TXTX first\n",
       "A.TXTX", "first"},
      {"first of two wins", "a one\na two\n", "a", "one"},
      {"name with a blank", "My Notes.txt Notes", "My Notes.txt", "Notes"},
      {"two blanks never match", "My Notes.txt Notes", "My  Notes.txt",
       std::nullopt},
      {"name longer than the record", "a x", "a xyz", std::nullopt},
      {"empty name", "a x", "", std::nullopt},
      {"only bytes up to 0x20 trimmed", "a.txt \x01x\xFF\x01\n", "a.txt",
       "x\xFF"},
      {"character no code page has", "a x", "a\xE6\x97\xA5", std::nullopt},
      {"a whole 255-byte record", "a " + std::string(253, 'x'), "a",
       std::string(253, 'x')},
      // Records whose first 16 bytes, zero-padded, equal the key's.
      {"NUL after the name", std::string("ab\0C one\nab two\n", 16), "ab",
       "C one"},
      {"NUL in place of the name's end", std::string("a\0 one\nab two\n", 14),
       "ab", "two"},
      {"16 bytes exactly", "abcdefghijklmnop x\nabcdefghijklmno y\n",
       "abcdefghijklmnop", "x"},
      {"17 bytes, ties in the head",
       "abcdefghijklmnopq x\nabcdefghijklmnopr y\n", "abcdefghijklmnopr", "y"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Describe(c.file, c.name), c.text) << c.what;
  }
}

TEST(LookupTest, MatchesCyrillicNamesInTheFilesCodePage) {
  // "отчёт.doc Annual report" in each code page; detection picks the page.
  const struct {
    std::string file;
    TCode code;
  } kFiles[] = {
      {"\xAE\xE2\xE7\xF1\xE2.doc Annual report", tAlt},
      {"\xEE\xF2\xF7\xB8\xF2.doc Annual report", tWin},
      {"\xCF\xD4\xDE\xA3\xD4.doc Annual report", tKoi},
  };
  const struct {
    std::string name;
    bool found;
  } kNames[] = {
      {"\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x81\xD0\xA2.doc", true},  // ОТЧЁТ.doc
      {"\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.DOC", true},  // отчёт.DOC
      {"\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x95\xD0\xA2.doc", false},  // ОТЧЕТ.doc
      {"\xAE\xE2\xE7\xF1\xE2.doc", true},  // not UTF-8: code page 866 bytes
      {"\xAE\xE2\xE7\xF0\xE2.doc", true},  // the same with 866's Ё
  };
  for (const auto& f : kFiles) {
    DescriptionList list;
    LoadDescriptions(f.file, &list);
    ASSERT_EQ(list.Code(), f.code);
    const DescriptionLookup lookup(list);
    for (const auto& n : kNames) {
      const std::optional<std::string_view> text = lookup.DescriptionOf(n.name);
      EXPECT_EQ(text, n.found ? std::optional<std::string_view>("Annual report")
                              : std::nullopt)
          << f.code << " " << n.name;
    }
  }
}

// The reference: a scan from the first record, the first match wins.
std::optional<std::string_view> ScanFor(const DescriptionList& list,
                                        const std::string& name) {
  const std::optional<std::string> key = DescriptionKey(name, list.Code());
  int index = -1;
  if (!key || !FindDescription(list, *key, &index)) {
    EXPECT_EQ(index, key ? list.Count() : -1);
    return std::nullopt;
  }
  return DescriptionText(list.At(index), key->size());
}

TEST(LookupTest, IndexGivesWhatTheLinearScanGives) {
  // Few characters and short records, so that many share a prefix. Pairs of
  // cases at even/odd places; the euro sign is in windows-1251 only.
  const std::u32string kChars =
      U"aAbB.. 1\u043E\u041E\u0451\u0401\u0435"
      U"\u0415\u044F\u042F\u20AC";
  std::mt19937 random(20240611);
  auto pick = [&random](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  for (const TCode code : {tAlt, tWin, tKoi}) {
    DescriptionList list;
    list.SetCode(code);
    std::vector<std::u32string> texts;
    while (list.Count() < 3000) {
      std::u32string text;
      std::string bytes;
      for (std::size_t n = 1 + pick(9); n > 0; --n) {
        const char32_t c = kChars[pick(kChars.size())];
        if (ByteOf(c, code) < 0) continue;
        text.push_back(c);
        bytes.push_back(static_cast<char>(ByteOf(c, code)));
      }
      if (bytes.empty()) continue;
      ASSERT_TRUE(list.Insert(bytes));
      texts.push_back(text);
    }
    const DescriptionLookup lookup(list);
    // Indexes that keep only what keys of up to 3 or 6 bytes reach; longer
    // names must still be answered.
    const DescriptionLookup cut_short(list, 3);
    const DescriptionLookup cut_long(list, 6);
    int found = 0;
    for (int i = 0; i < 6000; ++i) {
      // Half the names begin a record, with letters of random case.
      std::u32string chars;
      if (i % 2 == 0) {
        const std::u32string& text = texts[pick(texts.size())];
        chars = text.substr(0, 1 + pick(text.size()));
        for (char32_t& c : chars) {
          const std::size_t at = kChars.find(c);
          if (at < 4 || (at >= 8 && at < 16)) c = kChars[at ^ pick(2)];
        }
      } else {
        for (std::size_t n = 1 + pick(5); n > 0; --n) {
          chars.push_back(kChars[pick(kChars.size())]);
        }
      }
      std::string name;
      for (const char32_t c : chars) {
        // Now and then a byte that is not UTF-8 (866's Ё).
        if (pick(40) == 0) name.push_back('\xF0');
        AppendUtf8(c, &name);
      }
      const std::optional<std::string_view> expected = ScanFor(list, name);
      found += expected.has_value();
      ASSERT_EQ(lookup.DescriptionOf(name), expected) << code << " " << name;
      ASSERT_EQ(cut_short.DescriptionOf(name), expected) << code << " " << name;
      ASSERT_EQ(cut_long.DescriptionOf(name), expected) << code << " " << name;
    }
    EXPECT_GT(found, 2000) << code;
  }
}

TEST(LookupTest, AsciiNamesMatchAsTheByteExactScanDoes) {
  std::mt19937 random(7);
  const std::string kChars = "aAbB.-_1";
  auto word = [&](std::size_t most) {
    std::string w;
    for (std::size_t n = 1 + random() % most; n > 0; --n) {
      w.push_back(kChars[random() % kChars.size()]);
    }
    return w;
  };
  std::string file;
  for (int i = 0; i < 2000; ++i) {
    file += word(6) + (i % 3 ? " " : "") + word(4) + "\r\n";
    if (i % 7 == 0) file += "  more " + word(3) + "\r\n";
  }
  DescriptionList list;
  LoadDescriptions(file, &list);
  const DescriptionLookup lookup(list);
  for (int i = 0; i < 4000; ++i) {
    const std::string name = word(7);
    std::string key = name;
    for (char& c : key) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    std::optional<std::string_view> expected;
    for (int r = 0; r < list.Count() && !expected; ++r) {
      if (list.At(r).starts_with(key)) {
        expected = DescriptionText(list.At(r), key.size());
      }
    }
    ASSERT_EQ(lookup.DescriptionOf(name), expected) << name;
  }
}

}  // namespace
}  // namespace tabulon
