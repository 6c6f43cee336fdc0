#include "descriptions/descript_ion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "descriptions/descriptions.h"
#include "descriptions/sparse_source.h"
#include "support/string_source.h"

namespace tabulon {
namespace {

using Records = std::vector<std::pair<std::string, std::string>>;

std::string Repeat(std::string_view text, std::size_t times) {
  std::string repeated;
  for (std::size_t i = 0; i < times; ++i) repeated += text;
  return repeated;
}

Records Load(const std::string& bytes, std::size_t block, TCode* code) {
  DescriptIonRecords records;
  StringSource file(bytes, block);
  EXPECT_TRUE(LoadDescriptIon(file, &records).ok());
  *code = records.Code();
  Records result;
  for (int i = 0; i < records.Count(); ++i) {
    result.emplace_back(records.Name(i), records.Description(i));
  }
  return result;
}

std::string Utf16(std::u16string_view text, bool big_endian) {
  std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (const char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += big_endian ? std::string{high, low} : std::string{low, high};
  }
  return bytes;
}

TEST(DescriptIonTest, ReadsRecordsAsTheGrammarSays) {
  const std::string d5000(5000, 'd');
  const struct {
    const char* what;
    std::string bytes;
    Records records;
  } kCases[] = {
      {"unquoted name", "a.txt Some text\r\n", {{"a.txt", "Some text"}}},
      {"quoted name with blanks",
       "\"My Notes.txt\" Notes here\r\n",
       {{"My Notes.txt", "Notes here"}}},
      {"quote never closed: passed over",
       "\"My Notes.txt Notes\r\nb x\r\n",
       {{"b", "x"}}},
      {"blanks and TABs around the description, inner ones kept",
       "a.txt \t text  \t x \t\r\n",
       {{"a.txt", "text  \t x"}}},
      {"name up to a TAB", "a.txt\tx\r\n", {{"a.txt", "x"}}},
      {"empty description",
       "a.txt\r\nb.txt   \r\n",
       {{"a.txt", ""}, {"b.txt", ""}}},
      {"0x04 ends the text of its line",
       "a.txt text \x04\x01\x02 more\r\n",
       {{"a.txt", "text"}}},
      {"multi-line form",
       "a.txt one\\ntwo\\n three\x04\xC2\r\n",
       {{"a.txt", "one two  three"}}},
      {"\\n stays without the marker",
       "a.txt one\\ntwo\r\n",
       {{"a.txt", "one\\ntwo"}}},
      {"\\n stays when more than 0xC2 follows 0x04",
       "a.txt one\\ntwo\x04\xC2x\r\n",
       {{"a.txt", "one\\ntwo"}}},
      {"blanks after the multi-line mark",
       "setup.exe Installer\\nRun it once\x04\xC2 \t\r\n",
       {{"setup.exe", "Installer Run it once"}}},
      // In 866 "Прочти\\nпе", then 0x04 and the UTF-8 form of 0xC2,
      // which marks nothing in a file that is not UTF-8.
      {"04 C3 82 in a code page",
       "readme.txt \x8F\xE0\xAE\xE7\xE2\xA8\\n\xAF\xA5\x04\xC3\x82\r\n",
       {{"readme.txt", "\x8F\xE0\xAE\xE7\xE2\xA8\\n\xAF\xA5"}}},
      {"continuation lines",
       "a.txt first\r\n   second  \r\n\tthird\r\nb x\r\n",
       {{"a.txt", "first second third"}, {"b", "x"}}},
      {"a continuation line of blanks adds nothing",
       "NC.EXE Norton Commander\r\n   \r\n  with documentation.\r\n",
       {{"NC.EXE", "Norton Commander with documentation."}}},
      {"continuation of a bare name",
       "a.txt\r\n more\r\n",
       {{"a.txt", "more"}}},
      {"empty lines passed over",
       "\r\n\na.txt x\r\n\r\n y\n\n",
       {{"a.txt", "x y"}}},
      {"continuation with no record before it",
       " lead\r\na x\r\n",
       {{"a", "x"}}},
      {"a name listed twice",
       "a one\r\na two\r\n",
       {{"a", "one"}, {"a", "two"}}},
      {"CR-only line ends", "a x\rb y\r c\r", {{"a", "x"}, {"b", "y c"}}},
      {"CR LF and LF line ends",
       "a x\r\nb y\nc z",
       {{"a", "x"}, {"b", "y"}, {"c", "z"}}},
      {"Ctrl-Z ends the file",
       "a x\r\n\x1A"
       "b y\r\n",
       {{"a", "x"}}},
      {"no 255-byte limit",
       "a " + std::string(1000, 'd'),
       {{"a", std::string(1000, 'd')}}},
      {"record cut at 4,096 bytes",
       "a " + d5000 + "\r\nb x",
       {{"a", std::string(4094, 'd')}, {"b", "x"}}},
      // "па" in 866: bytes that would continue a character in UTF-8.
      {"a record of 866 letters cut at 4,096 bytes",
       "a " + Repeat("\xAF\xA0", 3000) + "\r\n",
       {{"a", Repeat("\xAF\xA0", 2047)}}},
      {"continuations count toward the cut",
       "a " + std::string(4090, 'd') + "\r\n 12345678\r\n more\r\n",
       {{"a", std::string(4090, 'd') + " 123"}}},
  };
  for (const auto& c : kCases) {
    for (const std::size_t block : {SIZE_MAX, std::size_t{1}, std::size_t{3}}) {
      TCode code = tUtf8;
      EXPECT_EQ(Load(c.bytes, block, &code), c.records)
          << c.what << ", block " << block;
      EXPECT_EQ(code, tAlt) << c.what;
    }
  }
}

TEST(DescriptIonTest, DecidesTheCodePage) {
  // "отчёт.doc годовой" in each code page.
  const std::u16string kText =
      u"\u043E\u0442\u0447\u0451\u0442.doc "
      u"\u0433\u043E\u0434\u043E\u0432\u043E\u0439";
  const std::string kUtf8 =
      "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.doc "
      "\xD0\xB3\xD0\xBE\xD0\xB4\xD0\xBE\xD0\xB2\xD0\xBE\xD0\xB9";
  const std::string kUtf8Name = kUtf8.substr(0, 14);
  const std::string kUtf8Text = kUtf8.substr(15);
  const struct {
    const char* what;
    std::string bytes;
    TCode code;
    Records records;
  } kCases[] = {
      {"866",
       "\xAE\xE2\xE7\xF1\xE2.doc \xA3\xAE\xA4\xAE\xA2\xAE\xA9\r\n",
       tAlt,
       {{"\xAE\xE2\xE7\xF1\xE2.doc", "\xA3\xAE\xA4\xAE\xA2\xAE\xA9"}}},
      {"1251",
       "\xEE\xF2\xF7\xB8\xF2.doc \xE3\xEE\xE4\xEE\xE2\xEE\xE9\r\n",
       tWin,
       {{"\xEE\xF2\xF7\xB8\xF2.doc", "\xE3\xEE\xE4\xEE\xE2\xEE\xE9"}}},
      {"KOI8-R",
       "\xCF\xD4\xDE\xA3\xD4.doc \xC7\xCF\xC4\xCF\xD7\xCF\xCA\r\n",
       tKoi,
       {{"\xCF\xD4\xDE\xA3\xD4.doc", "\xC7\xCF\xC4\xCF\xD7\xCF\xCA"}}},
      {"UTF-8", kUtf8 + "\r\n", tUtf8, {{kUtf8Name, kUtf8Text}}},
      {"UTF-8 mark", "\xEF\xBB\xBF" + kUtf8, tUtf8, {{kUtf8Name, kUtf8Text}}},
      {"UTF-8 mark before ASCII",
       "\xEF\xBB\xBF"
       "a x",
       tUtf8,
       {{"a", "x"}}},
      {"UTF-16 LE", Utf16(kText, false), tUtf8, {{kUtf8Name, kUtf8Text}}},
      {"UTF-16 BE", Utf16(kText, true), tUtf8, {{kUtf8Name, kUtf8Text}}},
      {"UTF-16 multi-line form",
       Utf16(u"a x\\ny\u0004\u00C2\r\n\"b c\" \u0451\u001A\r\nz", false),
       tUtf8,
       {{"a", "x y"}, {"b c", "\xD1\x91"}}},
      {"UTF-8 marked multi-line lines",
       "a \xD1\x91\\n\xD1\x91\x04\xC2\r\nb \xD1\x8F\x04\xC2\r\n",
       tUtf8,
       {{"a", "\xD1\x91 \xD1\x91"}, {"b", "\xD1\x8F"}}},
      {"bytes after 0x04 count as no letters",
       "a \xA0\x04\xC2\xC2\xC2\r\n",
       tAlt,
       {{"a", "\xA0"}}},
  };
  for (const auto& c : kCases) {
    for (const std::size_t block : {SIZE_MAX, std::size_t{1}, std::size_t{2}}) {
      TCode code = tAlt;
      EXPECT_EQ(Load(c.bytes, block, &code), c.records)
          << c.what << ", block " << block;
      EXPECT_EQ(code, c.code) << c.what << ", block " << block;
    }
  }
}

TEST(DescriptIonTest, RecordCutNeverSplitsAUtf8Character) {
  for (std::size_t lead = 4090; lead <= 4096; ++lead) {
    std::string bytes = "a " + std::string(lead - 2, 'd');
    while (bytes.size() < 4200) bytes += "\xE2\x82\xAC";
    TCode code = tAlt;
    const Records records = Load(bytes, SIZE_MAX, &code);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(code, tUtf8);
    const std::string kept = "a " + records[0].second;
    EXPECT_TRUE(bytes.starts_with(kept)) << lead;
    EXPECT_LE(kept.size(), 4096u) << lead;
    EXPECT_GT(kept.size(), 4093u) << lead;
    EXPECT_EQ((kept.size() - lead) % 3, 0u) << lead;
  }
  // The cut falling in a continuation line: "я" is D1 8F.
  for (std::size_t lead = 3990; lead <= 3993; ++lead) {
    const std::string d(lead, 'd');
    TCode code = tAlt;
    const Records records =
        Load("a " + d + "\r\n  " + Repeat("\xD1\x8F", 100) + "\r\n",
             SIZE_MAX, &code);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(code, tUtf8);
    // "a ", the letters, a blank, then as many whole "я" as fit in 4,096.
    EXPECT_EQ(records[0].second,
              d + " " + Repeat("\xD1\x8F", (4096 - 3 - lead) / 2))
        << lead;
  }
}

TEST(DescriptIonTest, GuardRefusalEndsTheReading) {
  int asked = 0;
  DescriptIonRecords records(
      [&asked]() -> std::uint64_t { return ++asked <= 2 ? 100000 : 0; });
  StringSource file("a 1\r\nb 2\r\nc \xF0\xF1\xF2\r\nd 4\r\n");
  EXPECT_TRUE(LoadDescriptIon(file, &records).ok());
  ASSERT_EQ(records.Count(), 2);
  EXPECT_EQ(records.Name(1), "b");
  EXPECT_EQ(records.Code(), tWin);  // the refused record was counted
}

TEST(DescriptIonTest, HoleOfATerabyteReadsAsItsZerosWithoutBeingRead) {
  DescriptIonRecords records;
  SparseSource file({{"a.txt one\r\nb.txt "},
                     {"", std::uint64_t{1} << 40},
                     {"\r\nc.txt three\r\n"}});
  const Status status = LoadDescriptIon(file, &records);
  EXPECT_TRUE(status.ok()) << status.reason();
  ASSERT_EQ(records.Count(), 3);
  EXPECT_EQ(records.Description(0), "one");
  EXPECT_EQ(records.Name(1), "b.txt");
  EXPECT_EQ(records.Description(1), std::string(4096 - 6, '\0'));
  EXPECT_EQ(records.Description(2), "three");
}

std::optional<std::string> Describe(DescriptionFormat format,
                                    const std::string& file,
                                    const std::string& name) {
  DirectoryDescriptions descriptions;
  StringSource source(file);
  EXPECT_TRUE(descriptions.LoadDescriptions(format, source).ok());
  descriptions.Index(64);
  const std::optional<std::string_view> text = descriptions.Of(name);
  if (!text) return std::nullopt;
  return std::string(*text);
}

TEST(DescriptIonTest, DescribesTheEntryOfTheWholeNameInAnyLetterCase) {
  const struct {
    const char* what;
    std::string file;
    std::string name;
    std::optional<std::string> text;
  } kCases[] = {
      {"the same name", "a.txt x\r\n", "a.txt", "x"},
      {"no prefix rule", "a.txt x\r\n", "a.tx", std::nullopt},
      {"no longer name", "a.txt x\r\n", "a.txtx", std::nullopt},
      {"Latin letters in any case", "ReadMe.TXT x\r\n", "README.txt", "x"},
      {"a name with blanks", "\"My Notes.txt\" n\r\n", "my notes.TXT", "n"},
      {"first record wins, even without a description",
       "a.txt\r\nA.TXT second\r\n", "a.txt", ""},
      {"866 letters in any case", "\xAE\xE2\xE7\xF1\xE2.doc \xA3\r\n",
       "\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x81\xD0\xA2.doc", "\xA3"},
      {"KOI8-R letters in any case", "\xCF\xD4\xDE\xA3\xD4.doc \xC7\xC7\r\n",
       "\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x81\xD0\xA2.DOC", "\xC7\xC7"},
      {"UTF-8 letters in any case",
       "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.doc \xD1\x8F\r\n",
       "\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x81\xD0\xA2.doc", "\xD1\x8F"},
      {"e is not io", "\xEE\xF2\xF7\xB8\xF2.doc \xE3\xE3\r\n",
       "\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x95\xD0\xA2.doc", std::nullopt},
      {"a character the code page lacks", "\xAE x \xA0\r\n", "\xE6\x97\xA5",
       std::nullopt},
      {"no description file", "", "a", std::nullopt},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Describe(DescriptionFormat::kDescriptIon, c.file, c.name), c.text)
        << c.what;
  }
  // The same directory object serves FILES.BBS with its prefix rule.
  EXPECT_EQ(Describe(DescriptionFormat::kFilesBbs, "a.txtx x\r\n", "a.txt"),
            "X x");
  EXPECT_EQ(DirectoryDescriptions().Of("a"), std::nullopt);
  EXPECT_EQ(DirectoryDescriptions().code(), tAlt);
}

TEST(DescriptIonTest, OneDirectoryIsLookedUpFromSeveralThreadsAtOnce) {
  for (const DescriptionFormat format :
       {DescriptionFormat::kFilesBbs, DescriptionFormat::kDescriptIon}) {
    std::string file;
    for (int i = 0; i < 2000; ++i) {
      const std::string n = std::to_string(i);
      file.append("f")
          .append(n)
          .append(".txt \xD1\x8F")
          .append(n)
          .append("\r\n");
    }
    DirectoryDescriptions descriptions;
    StringSource source(file);
    ASSERT_TRUE(descriptions.LoadDescriptions(format, source).ok());
    descriptions.Index(16);
    ASSERT_EQ(descriptions.code(), tUtf8);
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&descriptions, &wrong, t] {
        for (int i = t; i < 2000; i += 3) {
          const std::string n = std::to_string(i);
          const std::string name = std::string("F").append(n).append(".TXT");
          const std::string text = std::string("\xD1\x8F").append(n);
          wrong[t] += descriptions.Of(name) != text;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
  }
}

// The free-memory figure guards either kind of description file: short of
// memory, no record is kept.
TEST(DescriptIonTest, TheMemoryGuardServesBothKindsOfDescriptionFile) {
  for (const DescriptionFormat format :
       {DescriptionFormat::kFilesBbs, DescriptionFormat::kDescriptIon}) {
    DirectoryDescriptions descriptions([] { return std::uint64_t{0}; });
    StringSource source("a.txt x\r\n");
    EXPECT_TRUE(descriptions.LoadDescriptions(format, source).ok());
    descriptions.Index(64);
    EXPECT_EQ(descriptions.Of("a.txt"), std::nullopt)
        << (format == DescriptionFormat::kFilesBbs ? "FILES.BBS"
                                                    : "DESCRIPT.ION");
  }
}

}  // namespace
}  // namespace tabulon
