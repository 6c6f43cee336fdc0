#include "descriptions/files_bbs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "descriptions/reference_reader.h"
#include "descriptions/sparse_source.h"
#include "support/string_source.h"

namespace tabulon {
namespace {

std::vector<std::string> RecordsOf(const DescriptionList& list) {
  std::vector<std::string> records;
  for (int i = 0; i < list.Count(); ++i) records.emplace_back(list.At(i));
  return records;
}

// Loads `bytes` served `block` bytes per read.
std::vector<std::string> Load(const std::string& bytes,
                              std::size_t block = SIZE_MAX,
                              TCode* code = nullptr) {
  DescriptionList list;
  StringSource file(bytes, block);
  EXPECT_TRUE(LoadFilesBbs(file, &list).ok());
  if (code != nullptr) *code = list.Code();
  return RecordsOf(list);
}

// The blocks a file may come in: any size must give the same records.
constexpr std::size_t kBlocks[] = {1, 2, 3, 7, 254, 256};

// A source that fails once `fail_after` bytes have been read.
class FailingSource final : public ByteSource {
 public:
  FailingSource(std::string_view bytes, std::size_t fail_after)
      : bytes_(bytes), fail_after_(fail_after) {}
  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    *got = 0;
    if (at_ >= fail_after_) return Status::Failed("Input/output error");
    const std::size_t n =
        std::min({size, fail_after_ - at_, bytes_.size() - at_});
    std::copy_n(bytes_.data() + at_, n, buffer);
    at_ += n;
    *got = n;
    return Status::Ok();
  }
  Status Rewind() override {
    at_ = 0;
    return Status::Ok();
  }

 private:
  std::string_view bytes_;
  std::size_t fail_after_;
  std::size_t at_ = 0;
};

TEST(FilesBbsTest, ReadsRecordsAsTheLineRulesSayInBlocksOfAnySize) {
  const struct {
    const char* what;
    std::string bytes;
    std::vector<std::string> records;
  } kCases[] = {
      {"empty file", "", {}},
      {"name raised, blanks collapsed",
       "foo.txt  Some   Text",
       {"FOO.TXT Some Text"}},
      {"runs of blanks wherever they begin in a long line",
       "a.txt x  y\nb.txt 0123456789  z\nc.txt 0123456789abcdef    g  h\n",
       {"A.TXT x y", "B.TXT 0123456789 z", "C.TXT 0123456789abcdef g h"}},
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
      {"joining blank kept after a trailing one", "a x \n y\n", {"A x  y"}},
      {"TABs are blanks", "a.txt\t\tx\n\tmore\n", {"A.TXT x more"}},
      {"CR LF line ends", "a x\r\n y\r\n", {"A x y"}},
      {"CR before the blank of a continuation",
       "a x\n\r y\nb z\n",
       {"A x y", "B z"}},
      {"CR LF then a line that is not a continuation",
       "a x\n\r\nb\n",
       {"A x", " ", "B"}},
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
      {"empty lines of every line end", "\n\r\n\n", {" ", " ", " "}},
      {"first, continuation, further first",
       "a x\n y\nb z\n",
       {"A x y", "B z"}},
      {"'-' takes no continuation", "-x\n y\n", {"-X", " y"}},
      {"':' takes no continuation", ":x\n y\n", {":X", " y"}},
      {"'\\' takes no continuation", "\\x\n y\n", {"\\X", " y"}},
      {"leading blanks: one kept, no continuation", "   x\n y\n", {" x", " y"}},
      {"0x80+ takes no continuation", "\xA0x\n y\n", {"\xA0X", " y"}},
      {"'\"' takes no continuation", "\"x\n y\n", {"\"X", " y"}},
      {"control bytes kept in a first line", "a\x01\x7F b\n", {"A\x01\x7F b"}},
      {"CR CR LF is one line end", "a\r\r\nb", {"A", "B"}},
      {"300-byte line kept whole",
       "a.txt " + std::string(294, 'd') + "\nb\n",
       {"A.TXT " + std::string(294, 'd'), "B"}},
      {"CR as the 4,096th byte, then LF",
       std::string(4095, 'a') + "\r\nb",
       {std::string(4095, 'A'), "B"}},
      {"4,096 bytes, then CR LF",
       std::string(4096, 'a') + "\r\nb",
       {std::string(4096, 'A'), "B"}},
      {"continuation pushed past 4,096, later ones dropped",
       "a.txt " + std::string(4000, 'd') + "\n " + std::string(200, 'e') +
           "\n more\nb\n",
       {"A.TXT " + std::string(4000, 'd') + " " + std::string(89, 'e'), "B"}},
      {"Ctrl-Z ends the file", "a x\n\x1A\nb y", {"A x"}},
      {"Ctrl-Z first",
       "\x1A"
       "a x\n",
       {}},
      {"Ctrl-Z while skipping a long line's rest",
       std::string(4097, 'a') + "\x1A\nb",
       {std::string(4096, 'A')}},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Load(c.bytes), c.records) << c.what;
    for (const std::size_t block : kBlocks) {
      EXPECT_EQ(Load(c.bytes, block), c.records)
          << c.what << ", block " << block;
    }
  }
}

TEST(FilesBbsTest, LongLinesKeepTheirFirst4096BytesWhateverTheirLineEnds) {
  const struct {
    std::size_t length;  // of the line, without its line end
    std::size_t kept;
  } kLines[] = {{255, 255},   {256, 256},   {4095, 4095},
                {4096, 4096}, {4097, 4096}, {10000, 4096}};
  const char* const kLineEnds[] = {"\n", "\r\n", "\r\r\n", "\r"};
  for (const auto& line : kLines) {
    for (const char* const end : kLineEnds) {
      const std::string bytes =
          "a.txt " + std::string(line.length - 6, 'd') + end + "b.txt x" + end;
      std::vector<std::string> records = {
          "A.TXT " + std::string(line.kept - 6, 'd'), "B.TXT x"};
      // The rest of a cut line is skipped up to its first CR, and one LF
      // right after it: the second CR of CR CR LF then ends an empty line.
      if (std::string_view(end) == "\r\r\n" && line.length >= 4096) {
        records.insert(records.begin() + 1, " ");
      }
      for (const std::size_t block :
           {std::size_t{4096}, std::size_t{4097}, std::size_t{7}, SIZE_MAX}) {
        EXPECT_EQ(Load(bytes, block), records)
            << line.length << " bytes, line end "
            << std::string_view(end).size() << " bytes, block " << block;
      }
    }
  }
}

TEST(FilesBbsTest, TheFirstLineEndDecidesHowLinesEnd) {
  const struct {
    const char* what;
    std::string bytes;
    std::vector<std::string> records;
  } kCases[] = {
      {"CR only", "a.txt one\rb.txt two\r", {"A.TXT one", "B.TXT two"}},
      {"CR only: continuation, empty line",
       "a x\r y\r\rb z",
       {"A x y", " ", "B z"}},
      {"CR only: a run of CRs first", "a\r\r\rb", {"A", " ", " ", "B"}},
      {"a run of CRs that ends the file", "a x\r\r", {"A x", " "}},
      {"a run of CRs that ends at Ctrl-Z", "a x\r\r\x1A\nb", {"A x", " "}},
      {"CR only: a long line's rest goes to the next CR",
       "-" + std::string(5000, 'x') + "\ry\r",
       {"-" + std::string(4095, 'X'), "Y"}},
      {"CR LF", "a x\r\n y\r\nb z\r\n", {"A x y", "B z"}},
      {"CR CR LF", "a x\r\r\n y\r\r\nb\r\r\n", {"A x y", "B"}},
      {"LF first: a later CR is dropped", "a\nb\rc\r", {"A", "BC"}},
      {"CR LF first: a later CR alone is dropped",
       "a x\r\nb y\rc z\r\n",
       {"A x", "B yc z"}},
      {"CR first: a later LF is dropped",
       "a x\rb y\r\n z\r\nc w\n",
       {"A x", "B y z", "C w"}},
      {"CR first: an LF alone joins", "a x\rb\ny\r", {"A x", "BY"}},
      {"no line end at all", "a.txt x", {"A.TXT x"}},
  };
  for (const auto& c : kCases) {
    for (const std::size_t block : kBlocks) {
      EXPECT_EQ(Load(c.bytes, block), c.records)
          << c.what << ", block " << block;
    }
  }
}

TEST(FilesBbsTest, CutsOfAUtf8FileDropTheCharacterTheyWouldSplit) {
  const std::string kYa = "\xD1\x8F";        // two bytes
  const std::string kEuro = "\xE2\x82\xAC";  // three bytes
  const struct {
    const char* what;
    std::string bytes;
    std::string first_record;
  } kCases[] = {
      {"a line: a character on bytes 4,096 and 4,097",
       "a.txt " + std::string(4089, 'x') + kYa + "\nb\n",
       "A.TXT " + std::string(4089, 'x')},
      {"a line: a character on bytes 4,095 to 4,097",
       "a.txt " + std::string(4088, 'x') + kEuro + "\nb\n",
       "A.TXT " + std::string(4088, 'x')},
      {"a line: a character that ends on byte 4,096",
       "a.txt " + std::string(4088, 'x') + kYa + "x\nb\n",
       "A.TXT " + std::string(4088, 'x') + kYa},
      {"a CR-only line: a character on bytes 4,096 and 4,097",
       "a.txt " + std::string(4089, 'x') + kYa + "\rb\r",
       "A.TXT " + std::string(4089, 'x')},
      {"a record: a character on bytes 4,096 and 4,097",
       "a.txt " + std::string(4080, 'x') + "\n " + std::string(8, 'y') + kYa +
           "\nb\n",
       "A.TXT " + std::string(4080, 'x') + " " + std::string(8, 'y')},
      {"a record: a character on bytes 4,096 to 4,098",
       "a.txt " + std::string(4080, 'x') + "\n " + std::string(9, 'y') + kEuro +
           "\nb\n",
       "A.TXT " + std::string(4080, 'x') + " " + std::string(9, 'y')},
  };
  for (const auto& c : kCases) {
    for (const std::size_t block : kBlocks) {
      TCode code = tAlt;
      const std::vector<std::string> records = Load(c.bytes, block, &code);
      EXPECT_EQ(code, tUtf8) << c.what;
      EXPECT_EQ(records, (std::vector<std::string>{c.first_record, "B"}))
          << c.what << ", block " << block;
    }
  }
}

TEST(FilesBbsTest, OnlyFileNameBytesTakeContinuations) {
  // Printable ASCII and DEL, less these; "-", ":" and "\" are file name
  // bytes that still take none.
  const std::string kNoContinuation = "\"*+,/;<=>?[]|-:\\";
  for (int b = 0; b < 256; ++b) {
    // These bytes end or cut lines, so they start no line of their own.
    if (b == '\n' || b == '\r' || b == 0x1A) continue;
    const char c = static_cast<char>(b);
    const bool continues =
        b > 0x20 && b < 0x80 && kNoContinuation.find(c) == kNoContinuation.npos;
    EXPECT_EQ(Load(std::string(1, c) + "x\n y\n").size(), continues ? 1u : 2u)
        << b;
  }
}

TEST(FilesBbsTest, DecidesTheCodePageFromTheLetters) {
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
      {"bytes past a line's 4,096 not counted",
       "a " + std::string(4094, 'x') + "\xA0\xA0\xA0\nb \xF0", tWin},
      {"bytes up to a line's 4,096 counted",
       "a " + std::string(4091, 'x') + "\xA0\xA0\xA0\nb \xF0", tAlt},
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
    TCode code = tUtf8;
    Load(c.bytes, SIZE_MAX, &code);
    EXPECT_EQ(code, c.code) << c.what;
  }
}

TEST(FilesBbsTest, ByteOrderMarks) {
  const struct {
    const char* what;
    std::string bytes;
    std::vector<std::string> records;
    TCode code;
  } kCases[] = {
      {"UTF-8 mark, UTF-8 text",
       "\xEF\xBB\xBF"
       "a.txt \xD1\x8F\r\n",
       {"A.TXT \xD1\x8F"},
       tUtf8},
      {"UTF-8 mark, ASCII: not part of the first name",
       "\xEF\xBB\xBF"
       "a.txt x\r\n y\r\n",
       {"A.TXT x y"},
       tUtf8},
      {"UTF-8 mark before windows-1251 letters",
       "\xEF\xBB\xBFz \xF0\xF1",
       {"Z \xF0\xF1"},
       tWin},
      {"UTF-8 mark alone", "\xEF\xBB\xBF", {}, tUtf8},
      {"UTF-16 LE",
       std::string("\xFF\xFE"
                   "a\0 \0\x4F\x04\r\0\n\0 \0b\0",
                   16),
       {"A \xD1\x8F b"},
       tUtf8},
      {"UTF-16 BE",
       std::string("\xFE\xFF\0a\0 \x04\x4F\0\n\0b", 12),
       {"A \xD1\x8F", "B"},
       tUtf8},
      {"UTF-16 pair",
       std::string("\xFF\xFEx\0 \0\x3D\xD8\x00\xDE", 10),
       {"X \xF0\x9F\x98\x80"},
       tUtf8},
      {"UTF-16 unpaired surrogates and an odd last byte",
       std::string("\xFF\xFEx\0 \0\x3D\xD8y\0\x00\xDEz", 13),
       {"X \xEF\xBF\xBDy\xEF\xBF\xBD\xEF\xBF\xBD"},
       tUtf8},
      {"UTF-8 mark, a file too long to be kept for its second reading",
       "\xEF\xBB\xBF"
       "a.txt \xD1\x8F\r\nb.txt " +
           std::string(300000, 'd') + "\r\n",
       {"A.TXT \xD1\x8F", "B.TXT " + std::string(4090, 'd')},
       tUtf8},
      {"UTF-16 first and last characters of two and three bytes and a pair",
       std::string("\xFF\xFE"
                   "a\0 \0\x80\0\xFF\x07\x00\x08\xFF\xFF\x00\xD8\x00\xDC"
                   "\xFF\xDB\xFF\xDF",
                   22),
       {"A \xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80"
        "\xF4\x8F\xBF\xBF"},
       tUtf8},
      {"UTF-16 Ctrl-Z ends the file",
       std::string("\xFF\xFE"
                   "a\0\x1A\0b\0",
                   8),
       {"A"},
       tUtf8},
      {"UTF-16 line cut before the character it would split",
       "\xFF\xFE" +
           [] {
             std::string s("a\0b\0", 4);
             for (int i = 0; i < 2048; ++i) s.append("\x4F\x04", 2);
             return s;
           }(),
       {"AB" +
        [] {
          std::string s;
          for (int i = 0; i < 2047; ++i) s += "\xD1\x8F";
          return s;
        }()},
       tUtf8},
  };
  for (const auto& c : kCases) {
    for (const std::size_t block : kBlocks) {
      TCode code = tAlt;
      EXPECT_EQ(Load(c.bytes, block, &code), c.records)
          << c.what << ", block " << block;
      EXPECT_EQ(code, c.code) << c.what << ", block " << block;
    }
  }
}

TEST(FilesBbsTest, RefusalStopsReadingAndKeepsTheCountsOfTheRefusedRecord) {
  int queries = 0;
  DescriptionList list(
      [&queries]() -> std::uint64_t { return ++queries <= 3 ? 100000 : 100; });
  // Three ASCII records, then one that tips the count to windows-1251, then
  // one that would tip it back to 866 if it were read.
  StringSource file("a 1\nb 2\nc 3\nd \xF0\xF1\ne \xA0\xA1\xA2\xA3\n");
  EXPECT_TRUE(LoadFilesBbs(file, &list).ok());
  EXPECT_EQ(RecordsOf(list), (std::vector<std::string>{"A 1", "B 2", "C 3"}));
  EXPECT_EQ(list.Code(), tWin);
}

TEST(FilesBbsTest, ReadFailureKeepsTheRecordsBeforeIt) {
  // A small file and one large enough to be read twice from its start.
  for (const std::size_t filler : {std::size_t{0}, std::size_t{400000}}) {
    std::string bytes = "a 1\nb 2\n";
    for (std::size_t i = 0; i < filler; i += 10) bytes += "c 45678 \n";
    bytes += "d \xF0\xF1\ne xyz\n";
    DescriptionList list;
    FailingSource file(bytes, bytes.size() - 3);
    const Status status = LoadFilesBbs(file, &list);
    EXPECT_EQ(status.reason(), "Input/output error") << filler;
    const std::vector<std::string> records = RecordsOf(list);
    ASSERT_EQ(records.size(), 4 + filler / 10) << filler;
    EXPECT_EQ(records[0], "A 1");
    EXPECT_EQ(records[records.size() - 2], "D \xF0\xF1");
    EXPECT_EQ(records.back(), "E x");
    EXPECT_EQ(list.Code(), tWin);
  }
}

TEST(FilesBbsTest, HolesOfATerabyteReadAsTheirZerosWithoutReadingThem) {
  constexpr std::uint64_t kTerabyte = std::uint64_t{1} << 40;
  const std::string nuls(4096, '\0');
  const struct {
    const char* what;
    std::vector<SparseSource::Piece> pieces;
    std::vector<std::string> records;
  } kCases[] = {
      {"inside a line, which the cut ends",
       {{"a.txt first\r\nb.txt sec"}, {"", kTerabyte}, {"ond\r\nc.txt x\r\n"}},
       {"A.TXT first", "B.TXT sec" + nuls.substr(9), "C.TXT x"}},
      {"up to the end", {{"a.txt x\n"}, {"", kTerabyte}}, {"A.TXT x", nuls}},
      {"at the start", {{"", kTerabyte}, {"\na.txt y\n"}}, {nuls, "A.TXT y"}},
      {"two, with a line end between",
       {{"a "}, {"", kTerabyte}, {"\nb"}, {"", kTerabyte}, {"\nc d\n"}},
       {"A " + nuls.substr(2), "B" + nuls.substr(1), "C d"}},
      // An odd run of zeros in UTF-16: its last zero pairs with the LF, so
      // that the bytes after it keep their places in their pairs.
      {"of odd length in a UTF-16 file",
       {{std::string("\xFF\xFE") + "b" + '\0'},
        {"", kTerabyte + 1},
        {std::string("\n\n\0c\0 \0y\0\n\0", 11)}},
       {"B" + nuls.substr(1), "C y"}},
  };
  for (const auto& c : kCases) {
    DescriptionList list;
    SparseSource file(c.pieces);
    const Status status = LoadFilesBbs(file, &list);
    EXPECT_TRUE(status.ok()) << c.what << ": " << status.reason();
    EXPECT_EQ(RecordsOf(list), c.records) << c.what;
  }
}

TEST(FilesBbsTest, AsksForHolesOnlyAfterAZeroByte) {
  // Some file systems must write a file out before they can tell its
  // holes: a text without a run of zeros as long as a block never asks.
  std::string text;
  while (text.size() < 300000) text += "a.txt a description\r\n";
  for (const std::size_t zeros : {0, 1, 70000}) {
    DescriptionList list;
    SparseSource file({{text + std::string(zeros, '\0') + text}});
    EXPECT_TRUE(LoadFilesBbs(file, &list).ok());
    EXPECT_EQ(file.asked() > 0, zeros > 65536) << zeros;
  }
}

// Random description files from pieces that the line rules treat apart:
// blanks, TABs, CRs, line ends, controls, file-name and other bytes, long
// runs that cross the 4,096-byte cut, and (for the UTF-8 family) two- and
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
                                                   "\r\r",
                                                   std::string(120, 'x'),
                                                   std::string(250, 'y') + "\n",
                                                   std::string(1500, 'w'),
                                                   std::string(4090, 'v'),
                                                   "\x1A"};
  static const std::vector<std::string> kUtf8 = {
      "\xD0\xB0",
      "\xD0\xAF",
      "\xE2\x82\xAC",
      std::string(60, 'u') + "\xD1\x8F\xD1\x8F\xD1\x8F",
      [] {
        std::string s;
        for (int i = 0; i < 90; ++i) s += "\xD0\xB6";
        return s;
      }(),
      [] {
        std::string s;
        for (int i = 0; i < 700; ++i) s += "\xE2\x82\xAC";
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

TEST(FilesBbsTest, ReadsTheRecordsThatLineByLineReadingGives) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 4000; ++round) {
    const bool utf8 = round % 2 == 1;
    const std::string file = RandomDescriptionFile(&random, utf8);
    const std::size_t block =
        std::uniform_int_distribution<std::size_t>(1, 300)(random);
    TCode code = tAlt;
    ASSERT_EQ(Load(file, block, &code), ReferenceRecords(file, utf8))
        << "round " << round << ", block " << block;
    ASSERT_EQ(code == tUtf8, utf8) << "round " << round;
  }
}

TEST(FilesBbsTest, HolesGiveTheRecordsOfTheZerosTheyHold) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 300; ++round) {
    const bool utf8 = round % 2 == 1;
    const std::string text = RandomDescriptionFile(&random, utf8);
    // One to three holes, each longer than the part of one that is read,
    // of either parity, never inside a character.
    std::vector<SparseSource::Piece> pieces;
    std::string whole;
    std::size_t at = 0;
    for (int hole = std::uniform_int_distribution<int>(1, 3)(random); hole > 0;
         --hole) {
      std::size_t cut =
          std::uniform_int_distribution<std::size_t>(at, text.size())(random);
      while (cut < text.size() && (text[cut] & 0xC0) == 0x80) ++cut;
      const std::uint64_t zeros =
          std::uniform_int_distribution<std::uint64_t>(65537, 300000)(random);
      if (cut > at) pieces.push_back({text.substr(at, cut - at)});
      pieces.push_back({"", zeros});
      whole += text.substr(at, cut - at) + std::string(zeros, '\0');
      at = cut;
    }
    if (at < text.size()) pieces.push_back({text.substr(at)});
    whole += text.substr(at);
    DescriptionList list;
    SparseSource file(pieces);
    ASSERT_TRUE(LoadFilesBbs(file, &list).ok()) << "round " << round;
    ASSERT_EQ(RecordsOf(list), ReferenceRecords(whole, utf8))
        << "round " << round;
  }
}

}  // namespace
}  // namespace tabulon
