#include "descriptions/lookup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "descriptions/files_bbs.h"
#include "support/code_page_characters.h"
#include "support/string_source.h"

namespace tabulon {
namespace {

std::optional<std::string> Describe(const std::string& file,
                                    const std::string& name) {
  DescriptionList list;
  StringSource source(file);
  EXPECT_TRUE(LoadFilesBbs(source, &list).ok());
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
      {"a whole 4,096-byte record", "a " + std::string(4094, 'x'), "a",
       std::string(4094, 'x')},
      {"a 5,000-byte line, cut at 4,096", "a " + std::string(4998, 'x'), "a",
       std::string(4094, 'x')},
      {"names that differ past their 300th byte",
       std::string(300, 'N') + "A first\n" + std::string(300, 'N') +
           "B second\n",
       std::string(300, 'n') + "b", "second"},
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
    StringSource source(f.file);
    ASSERT_TRUE(LoadFilesBbs(source, &list).ok());
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

TEST(LookupTest, KeysRaiseAsciiLettersEightAtATimeAndTheRestOneByOne) {
  // '%' stands for the Russian "п", two bytes in UTF-8, one in the key:
  // "П" of each code page. Letters at the edges of a-z and A-Z, blocks of
  // eight that hold it or a NUL, and tails shorter than eight.
  const struct {
    TCode code;
    char capital_pe;
  } kPages[] = {{tAlt, '\x8F'}, {tWin, '\xCF'}, {tKoi, '\xF0'}};
  const char* const kNames[] = {
      "`az{@AZ[readme.txt", "0123456789abcdefghijklmnopqrstuvwxyz~",
      "abcdefg%.txt",       "abcdefgh%",
      "%abcdefghijklmnop",  "x",
  };
  for (const auto& page : kPages) {
    for (const char* const pattern : kNames) {
      std::string name, key;
      for (const char* c = pattern; *c != '\0'; ++c) {
        if (*c == '%') {
          name += "\xD0\xBF";
          key += page.capital_pe;
        } else {
          name += *c;
          key += *c >= 'a' && *c <= 'z' ? static_cast<char>(*c - 32) : *c;
        }
      }
      EXPECT_EQ(DescriptionKey(name, page.code), key) << page.code << name;
    }
    // A NUL, within a block of eight or after it, leaves a name no key.
    EXPECT_EQ(DescriptionKey(std::string("abc\0defghij", 11), page.code),
              std::nullopt);
    EXPECT_EQ(DescriptionKey(std::string("abcdefghij\0", 11), page.code),
              std::nullopt);
  }
  // Bytes that are not UTF-8 are their 866 characters, also where they
  // would spell ASCII letters in the overlong form UTF-8 forbids: "┴Н┴Е",
  // in 866 the same bytes, no "ME" to match README.TXT.
  EXPECT_EQ(DescriptionKey("READ\xC1\x8D\xC1\x85.TXT", tAlt),
            "READ\xC1\x8D\xC1\x85.TXT");
  EXPECT_EQ(DescriptionKey(std::string("abc\0d", 5), tUtf8), std::nullopt);
}

TEST(LookupTest, KeysOfAnyBytesAnswerAsTheScanDoes) {
  // A record's head is zero-padded: keys ending in zero bytes must not tie
  // with a shorter record.
  const struct {
    std::vector<std::string> records;
    std::string key;
    std::optional<int> slot;
  } kCases[] = {
      {{"\xFF"}, std::string("\xFF\0", 2), std::nullopt},
      {{"\xFF", std::string("\xFF\0", 2)}, std::string("\xFF\0", 2), 1},
      {{"AB", std::string("AB\0C", 4)}, std::string("AB\0", 3), 1},
      {{"AB"}, "AB" + std::string(20, '\0'), std::nullopt},
      {{std::string("A\0", 2), "A"}, "A", 0},
  };
  for (const auto& c : kCases) {
    DescriptionList list;
    for (const std::string& record : c.records)
      ASSERT_TRUE(list.Insert(record));
    EXPECT_EQ(DescriptionLookup(list).Find(c.key), c.slot) << c.key.size();
  }
}

// The same letter in the other case: a-z and the Russian letters.
char32_t OtherCase(char32_t c) {
  if (c >= U'a' && c <= U'z') return c - 32;
  if (c >= U'A' && c <= U'Z') return c + 32;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c == 0x451) return 0x401;
  if (c == 0x401) return 0x451;
  return c;
}

// The capital of a-z and of the Russian letters; any other character itself.
char32_t Capital(char32_t c) {
  if ((c >= U'a' && c <= U'z') || (c >= 0x430 && c <= 0x44F)) return c - 32;
  return c == 0x451 ? 0x401 : c;
}

// `text` written in code page `code`, or nullopt when it lacks a character.
std::optional<std::string> Encoded(const std::u32string& text, TCode code) {
  const char16_t* const high = code == tWin   ? testing::kCp1251High
                               : code == tKoi ? testing::kKoi8rHigh
                                              : testing::kCp866High;
  std::string bytes;
  for (const char32_t c : text) {
    if (code == tUtf8) {
      bytes += testing::Utf8(c);
    } else if (c < 0x80) {
      bytes.push_back(static_cast<char>(c));
    } else if (const char16_t* at = std::find(high, high + 128, c);
               at != high + 128) {
      bytes.push_back(static_cast<char>(0x80 + (at - high)));
    } else {
      return std::nullopt;
    }
  }
  return bytes;
}

// The reference, worked out on characters: the first record (given in
// capitals) whose beginning is the name's capitals describes it with what
// follows, less the characters up to U+0020 at both ends.
std::optional<std::string> ScanFor(const std::vector<std::u32string>& texts,
                                   const std::vector<std::u32string>& capitals,
                                   const std::u32string& name, TCode code) {
  if (name.empty() || !Encoded(name, code)) return std::nullopt;
  std::u32string key;
  for (const char32_t c : name) key.push_back(Capital(c));
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (!capitals[i].starts_with(key)) continue;
    const std::u32string& text = texts[i];
    std::size_t begin = key.size(), end = text.size();
    while (begin < end && text[begin] <= 0x20) ++begin;
    while (end > begin && text[end - 1] <= 0x20) --end;
    return Encoded(text.substr(begin, end - begin), code);
  }
  return std::nullopt;
}

std::optional<std::string> Owned(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  return std::string(*text);
}

TEST(LookupTest, IndexAnswersAsTheLinearScan) {
  // Few characters and short records, so that many share a prefix: letters
  // in both cases (Ё/ё, and letters whose UTF-8 upper-casing depends on the
  // byte before), the euro sign that only windows-1251 has, a NUL, long
  // stems that tie the first 16 bytes.
  const std::u32string kMixed =
      U"aAbB.. 1\u043E\u041E\u0451\u0401\u0435\u0415\u044F\u042F\u20AC";
  const std::u32string kUtf8 =
      U"aAz. \u0430\u0410\u043F\u041F\u0440\u0420\u044F\u042F\u0451\u0401"
      U"\u0435\u0415\u0452\u0400\u0450\u0453\u0101\u20AC";
  const std::u32string kAscii = U"aAbB.-_1";
  const std::u32string kStems = U"sS";
  const struct {
    const char* what;
    TCode code;
    const std::u32string* chars;
    std::size_t longest_name;  // what the index keeps of each record
    std::u32string stem;       // put before some records and names
  } kCases[] = {
      {"866", tAlt, &kMixed, SIZE_MAX, U""},
      {"1251", tWin, &kMixed, SIZE_MAX, U""},
      {"KOI8-R", tKoi, &kMixed, SIZE_MAX, U""},
      {"UTF-8", tUtf8, &kUtf8, SIZE_MAX, U""},
      {"866, index cut at 3", tAlt, &kMixed, 3, U""},
      {"1251, index cut at 6", tWin, &kMixed, 6, U""},
      {"UTF-8, index cut inside letters", tUtf8, &kUtf8, 2, U""},
      {"ASCII", tAlt, &kAscii, SIZE_MAX, U""},
      {"long common stems", tWin, &kStems, SIZE_MAX,
       U"long common stem of names \u0451 "},
  };
  std::mt19937 random(20240611);
  const auto pick = [&random](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::u32string& chars = *c.chars;
    DescriptionList list;
    list.SetCode(c.code);
    std::vector<std::u32string> texts, capitals;
    while (list.Count() < 2000) {
      std::u32string text = pick(2) == 0 ? c.stem : U"";
      for (std::size_t n = 1 + pick(9); n > 0; --n) {
        text.push_back(chars[pick(chars.size())]);
      }
      const std::optional<std::string> bytes = Encoded(text, c.code);
      if (!bytes) continue;
      ASSERT_TRUE(list.Insert(*bytes));
      texts.push_back(text);
      capitals.emplace_back();
      for (const char32_t ch : text) capitals.back().push_back(Capital(ch));
    }
    const DescriptionLookup lookup(list, c.longest_name);
    int found = 0;
    std::vector<std::string> natives;
    std::vector<std::optional<std::string>> answers;
    for (int i = 0; i < 4000; ++i) {
      // Half the names begin a record, with letters of random case.
      std::u32string name;
      if (i % 2 == 0) {
        const std::u32string& text = texts[pick(texts.size())];
        name = text.substr(0, 1 + pick(text.size()));
        for (char32_t& ch : name) {
          if (pick(2) == 0) ch = OtherCase(ch);
        }
      } else {
        name = pick(2) == 0 ? c.stem : U"";
        for (std::size_t n = 1 + pick(5); n > 0; --n) {
          name.push_back(chars[pick(chars.size())]);
        }
        if (pick(2) == 0) name.push_back(U'~');  // begins no record
      }
      std::string native;
      std::u32string read;  // the characters the name stands for
      for (const char32_t ch : name) {
        // Now and then a byte that is not UTF-8, read as 866's Ё.
        if (pick(40) == 0) {
          native.push_back('\xF0');
          read.push_back(U'\u0401');
        }
        native += testing::Utf8(ch);
        read.push_back(ch);
      }
      const std::optional<std::string> expected =
          ScanFor(texts, capitals, read, c.code);
      found += expected.has_value();
      ASSERT_EQ(Owned(lookup.DescriptionOf(native)), expected) << native;
      natives.push_back(native);
      answers.push_back(expected);
      // Keys of any bytes, also ones a record's padded head ties with.
      const std::string key = Encoded(name, c.code).value_or("");
      for (const std::string& raw :
           {key, key + '\0', key + std::string(20, '\0')}) {
        int index = -1;
        const bool scanned = FindDescription(list, raw, &index);
        ASSERT_EQ(lookup.Find(raw),
                  scanned ? std::optional<int>(index) : std::nullopt)
            << raw;
      }
    }
    // Looked up all at once, the names get the same answers.
    const std::vector<std::string_view> names(natives.begin(), natives.end());
    std::vector<std::optional<std::string_view>> all(names.size());
    lookup.DescriptionsOf(names, all.data());
    for (std::size_t i = 0; i < names.size(); ++i) {
      ASSERT_EQ(Owned(all[i]), answers[i]) << names[i];
    }
    // Both outcomes must be common, or the comparison proves little.
    EXPECT_GT(found, 1000);
    EXPECT_LT(found, 3500);
  }
}

}  // namespace
}  // namespace tabulon
