#include "descriptions/loader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace tabulon {
namespace {

std::vector<std::string> RecordsOf(const DescriptionList& list) {
  std::vector<std::string> records;
  for (int i = 0; i < list.Count(); ++i) records.emplace_back(list.At(i));
  return records;
}

std::vector<std::string> Load(const std::string& bytes) {
  DescriptionList list;
  LoadDescriptions(bytes, &list);
  return RecordsOf(list);
}

TEST(LoaderTest, ReadsRecordsAsTheLineRulesSay) {
  const std::string d200(200, 'd');
  const struct {
    const char* what;
    std::string bytes;
    std::vector<std::string> records;
  } kCases[] = {
      {"empty file", "", {}},
      {"name raised, blanks collapsed",
       "foo.txt  Some   Text",
       {"FOO.TXT Some Text"}},
      {"only a-z of the first word raised",
       "ab\xE0"
       "c.z dE\n",
       {"AB\xE0"
        "C.Z dE"}},
      {"first line untrimmed, runs kept as one blank",
       "a.txt  x  \n",
       {"A.TXT x "}},
      {"continuation trimmed and joined",
       "FOO.TXT first\n   second   part  \n",
       {"FOO.TXT first second part"}},
      {"TABs are blanks", "a.txt\t\tx\n\tmore\n", {"A.TXT x more"}},
      {"CR LF line ends", "a x\r\n y\r\n", {"A x y"}},
      {"CR before the blank of a continuation",
       "a x\n\r y\nb z\n",
       {"A x y", "B z"}},
      {"TAB continuations, then a new record",
       "a x\n\ty\n\tz\nb w\n",
       {"A x y z", "B w"}},
      {"CR then blank after a record that takes none",
       "-x\n\r y\n",
       {"-X", " y"}},
      {"controls trimmed from a continuation", "a x\n \x01y\x02 \n", {"A x y"}},
      {"blank-only continuation adds one blank",
       "a.txt x\n   \n",
       {"A.TXT x "}},
      {"empty line is a record of one blank",
       "a.txt x\n\nb.txt y",
       {"A.TXT x", " ", "B.TXT y"}},
      {"first, continuation, further first",
       "a x\n y\nb z\n",
       {"A x y", "B z"}},
      {"'-' takes no continuation", "-x\n y\n", {"-X", " y"}},
      {"':' takes no continuation", ":x\n y\n", {":X", " y"}},
      {"'\\' takes no continuation", "\\x\n y\n", {"\\X", " y"}},
      {"leading blanks: one kept, no continuation", "   x\n y\n", {" x", " y"}},
      {"0x80+ takes no continuation", "\xA0x\n y\n", {"\xA0X", " y"}},
      {"'\"' takes no continuation", "\"x\n y\n", {"\"X", " y"}},
      {"300-byte line",
       "a.txt " + std::string(294, 'd') + "\nb\n",
       {"A.TXT " + std::string(249, 'd'), "B"}},
      {"continuation pushed past 255",
       "a.txt " + d200 + "\n " + std::string(100, 'e'),
       {"A.TXT " + d200 + " " + std::string(48, 'e')}},
      {"Ctrl-Z ends the file", "a x\n\x1A\nb y", {"A x"}},
      {"Ctrl-Z first",
       "\x1A"
       "a x\n",
       {}},
      {"CR-only line ends", "a.txt one\rb.txt two\r", {"A.TXT oneb.txt two"}},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Load(c.bytes), c.records) << c.what;
  }
}

TEST(LoaderTest, OnlyFileNameBytesTakeContinuations) {
  const std::string kOutside = "\"*+,/;<=>?[]|";
  for (int b = 0; b < 256; ++b) {
    // These bytes end or cut lines, so they start no line of their own.
    if (b == '\n' || b == '\r' || b == 0x1A) continue;
    const char c = static_cast<char>(b);
    const bool in_set =
        b > 0x20 && b < 0x80 && kOutside.find(c) == kOutside.npos;
    EXPECT_EQ(IsFileNameChar(static_cast<std::uint8_t>(b)), in_set) << b;
    const bool continues = in_set && c != '-' && c != ':' && c != '\\';
    EXPECT_EQ(Load(std::string(1, c) + "x\n y\n").size(), continues ? 1u : 2u)
        << b;
  }
}

TEST(LoaderTest, CollapsesBlanksFromTheGivenPosition) {
  const struct {
    std::string s;
    int from;
    std::string expected;
  } kCases[] = {
      {"", 1, ""},         {"a  b   c", 1, "a b c"}, {"   a", 1, " a"},
      {"a  ", 1, "a "},    {"a   b", 3, "a  b"},     {"  a  b", 4, "  a b"},
      {"a  b", 9, "a  b"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(CollapseBlanks(c.s, c.from), c.expected) << c.s << " " << c.from;
  }
}

TEST(LoaderTest, DecidesTheCodePageFromTheLetters) {
  const struct {
    const char* what;
    std::string bytes;
    TCode code;
  } kCases[] = {
      {"empty", "", tAlt},
      {"no letters", "a.txt plain", tAlt},
      {"F0-FF only", "a \xF0\xF5\xFF", tWin},
      {"E0-EF only count alike", "a \xE0\xE5\xEF", tAlt},
      {"koi ties win above alt", "a \xC1\xF0", tAlt},
      {"koi above both", "a \xC1\xC2", tKoi},
      {"D6 D7 DA not counted", "a \xD6\xD7\xDA\xC1\xC2 \xF0\xF1\xF2", tWin},
      {"nothing after Ctrl-Z counted", "a \xF0\x1A\xA0\xA0\xA0", tWin},
      {"866 text",
       "report.doc \xA3\xAE\xA4\xAE\xA2\xAE\xA9 \xAE\xE2\xE7\xF1"
       "\xE2 \xA7\xA0 \xAF\xE0\xAE\xE8\xAB\xEB\xA9 \xA3\xAE\xA4, \xA2\xE1\xA5 "
       "\xE1\xE7\xA5\xE2\xA0",
       tAlt},
      {"1251 text",
       "report.doc \xE3\xEE\xE4\xEE\xE2\xEE\xE9 \xEE\xF2\xF7\xB8"
       "\xF2 \xE7\xE0 \xEF\xF0\xEE\xF8\xEB\xFB\xE9 \xE3\xEE\xE4, \xE2\xF1\xE5 "
       "\xF1\xF7\xE5\xF2\xE0",
       tWin},
      {"KOI8-R text",
       "report.doc \xC7\xCF\xC4\xCF\xD7\xCF\xCA \xCF\xD4\xDE"
       "\xA3\xD4 \xDA\xC1 \xD0\xD2\xCF\xDB\xCC\xD9\xCA \xC7\xCF\xC4, \xD7\xD3"
       "\xC5 \xD3\xDE\xC5\xD4\xC1",
       tKoi},
  };
  for (const auto& c : kCases) {
    DescriptionList list;
    list.SetCode(tKoi == c.code ? tWin : tKoi);  // must be overwritten
    LoadDescriptions(c.bytes, &list);
    EXPECT_EQ(list.Code(), c.code) << c.what;
  }
}

TEST(LoaderTest, RefusalStopsReadingAndKeepsTheCountsOfTheRefusedRecord) {
  int queries = 0;
  DescriptionList list(
      [&queries]() -> std::uint64_t { return ++queries <= 3 ? 100000 : 100; });
  // Three ASCII records, then one that tips the count to windows-1251, then
  // one that would tip it back to 866 if it were read.
  LoadDescriptions("a 1\nb 2\nc 3\nd \xF0\xF1\ne \xA0\xA1\xA2\xA3\n", &list);
  EXPECT_EQ(RecordsOf(list), (std::vector<std::string>{"A 1", "B 2", "C 3"}));
  EXPECT_EQ(queries, 4);
  EXPECT_EQ(list.Code(), tWin);
}

// Random description files from pieces that the line rules treat apart:
// blanks, TABs, CRs, line ends, controls, file-name and other bytes, long
// runs that cross the 255-byte cut, and (for the UTF-8 family) two- and
// three-byte characters that a cut may split.
std::string RandomDescriptionFile(std::mt19937* random, bool utf8) {
  static const std::vector<std::string> kCommon = {"a",
                                                   "Zz.txt",
                                                   "q",
                                                   " ",
                                                   "  ",
                                                   "   ",
                                                   "\t",
                                                   "\r",
                                                   "\n",
                                                   "\r\n",
                                                   "\n ",
                                                   "\n\t",
                                                   "\n\r ",
                                                   "\x01",
                                                   "-",
                                                   ":",
                                                   "\\",
                                                   "\"",
                                                   "*",
                                                   std::string(120, 'x'),
                                                   std::string(250, 'y') + "\n",
                                                   "\x1A"};
  static const std::vector<std::string> kUtf8 = {
      "\xD0\xB0", "\xD0\xAF", "\xE2\x82\xAC",
      std::string(60, 'u') + "\xD1\x8F\xD1\x8F\xD1\x8F", [] {
        std::string s;
        for (int i = 0; i < 90; ++i) s += "\xD0\xB6";
        return s;
      }()};
  static const std::vector<std::string> kBytes = {"\xA0\xAF",
                                                  "\xE0",
                                                  "\xC1\xC2",
                                                  "\xD6",
                                                  "\xF0\xFF",
                                                  "\x80",
                                                  std::string(70, '\xE5')};
  const std::vector<std::string>& extra = utf8 ? kUtf8 : kBytes;
  // A leading byte that settles which family the file is read as.
  std::string file = utf8 ? "\xD0\x96 " : "\xFF ";
  const int pieces = std::uniform_int_distribution<int>(0, 60)(*random);
  for (int i = 0; i < pieces; ++i) {
    const int pick = std::uniform_int_distribution<int>(
        0, static_cast<int>(kCommon.size() + extra.size()) - 1)(*random);
    const bool common = pick < static_cast<int>(kCommon.size());
    const std::string& piece =
        common ? kCommon[static_cast<std::size_t>(pick)]
               : extra[static_cast<std::size_t>(pick) - kCommon.size()];
    // Ctrl-Z ends everything after it: keep it rare.
    if (piece == "\x1A" && (*random)() % 8 != 0) continue;
    file += piece;
  }
  return file;
}

TEST(LoaderTest, LoadsWhatRecordByRecordReadingGives) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 4000; ++round) {
    const bool utf8 = round % 2 == 1;
    const std::string file = RandomDescriptionFile(&random, utf8);
    ASSERT_EQ(IsUtf8Text(file), utf8) << round;

    std::vector<std::string> expected;
    std::int64_t alt = 0;
    std::int64_t koi = 0;
    std::int64_t win = 0;
    DescriptionFile reader(file, IsUtf8Text(file));
    while (!reader.AtEnd()) {
      expected.push_back(ReadDescriptionRecord(&reader, 1));
      for (const char c : expected.back()) {
        const int b = static_cast<std::uint8_t>(c);
        alt += (b >= 0xA0 && b <= 0xAF) || (b >= 0xE0 && b <= 0xEF);
        koi += b >= 0xC0 && b <= 0xDF && b != 0xD6 && b != 0xD7 && b != 0xDA;
        win += b >= 0xE0;
      }
    }
    TCode code = tAlt;
    if (koi > alt && koi > win) code = tKoi;
    if (win > alt && win > koi) code = tWin;
    if (IsUtf8Text(file)) code = tUtf8;

    DescriptionList list;
    LoadDescriptions(file, &list);
    ASSERT_EQ(RecordsOf(list), expected) << "round " << round;
    ASSERT_EQ(list.Code(), code) << "round " << round;
  }
}

}  // namespace
}  // namespace tabulon
