// Description files written in UTF-8: recognition, reading, lookup, and that
// files in the three Russian code pages are decided as they always were.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "descriptions/code_pages.h"
#include "descriptions/description_file.h"
#include "descriptions/loader.h"
#include "descriptions/lookup.h"

namespace tabulon {
namespace {

bool IsValidUtf8(std::string_view s) {
  std::size_t pos = 0;
  char32_t c;
  while (pos < s.size()) {
    if (!DecodeUtf8(s, &pos, &c)) return false;
  }
  return true;
}

// UTF-8 text in a code page; every character must be in it.
std::string Encode(std::string_view utf8, TCode code) {
  std::string out;
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    char32_t c;
    EXPECT_TRUE(DecodeUtf8(utf8, &pos, &c));
    const int b = ByteOf(c, code);
    EXPECT_GE(b, 0) << "U+" << static_cast<unsigned>(c);
    out.push_back(static_cast<char>(b));
  }
  return out;
}

TEST(Utf8DescriptionsTest, RecognisesOnlyStrictUtf8WithACharacterBeyondAscii) {
  const struct {
    const char* what;
    std::string bytes;
    bool utf8;
  } kCases[] = {
      {"empty", "", false},
      {"ASCII only", "a.txt plain text\r\n", false},
      {"Cyrillic", "a.txt \xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
       true},
      {"three and four bytes", "a \xE2\x82\xAC \xF0\x9F\x98\x80", true},
      {"overlong slash", "a \xC0\xAF", false},
      {"overlong three-byte", "a \xE0\x80\xAF", false},
      {"surrogate", "a \xED\xA0\x80", false},
      {"beyond U+10FFFF", "a \xF4\x90\x80\x80", false},
      {"lone continuation", "a \x80", false},
      {"cut short at the end", "a \xD0", false},
      {"cut short before ASCII", "a \xE2\x82x", false},
      {"windows-1251 P with small io", "\xCF\xB8\xF2\xF0", false},
      {"only the part before Ctrl-Z counts", "a \xD0\xB0\x1A\xFF\xFE", true},
      {"beyond ASCII only after Ctrl-Z", "a x\x1A\xD0\xB0", false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(IsUtf8Text(c.bytes), c.utf8) << c.what;
    DescriptionList list;
    LoadDescriptions(c.bytes, &list);
    EXPECT_EQ(list.Code() == tUtf8, c.utf8) << c.what;
  }
}

TEST(Utf8DescriptionsTest, LineCutNeverSplitsACharacter) {
  // Characters of every length, placed so that byte 255 falls on each of
  // their bytes in turn.
  const std::string kChars[] = {"\xD0\xAF", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  for (const std::string& ch : kChars) {
    for (std::size_t lead = 250; lead <= 256; ++lead) {
      std::string line = "a.txt ";
      line.append(lead - line.size(), 'x');
      while (line.size() < 300) line += ch;
      const std::string bytes = line + "\nb.txt next\n";
      SCOPED_TRACE("char of " + std::to_string(ch.size()) + " bytes after " +
                   std::to_string(lead));

      DescriptionFile utf8(bytes, /*utf8=*/true);
      std::string got;
      utf8.ReadLine(&got);
      EXPECT_TRUE(IsValidUtf8(got));
      EXPECT_TRUE(line.starts_with(got));
      EXPECT_LE(got.size(), DescriptionFile::kMaxLine);
      EXPECT_GT(got.size() + ch.size(), DescriptionFile::kMaxLine);
      std::string next;
      utf8.ReadLine(&next);
      EXPECT_EQ(next, "b.txt next");

      // Other code pages keep all 255 bytes.
      DescriptionFile bytewise(bytes);
      bytewise.ReadLine(&got);
      EXPECT_EQ(got, line.substr(0, DescriptionFile::kMaxLine));

      DescriptionList list;
      LoadDescriptions(bytes, &list);
      ASSERT_EQ(list.Count(), 2);
      EXPECT_EQ(list.Code(), tUtf8);
      EXPECT_TRUE(IsValidUtf8(list.At(0)));
      EXPECT_EQ(list.At(1), "B.TXT next");
    }
  }
}

TEST(Utf8DescriptionsTest, RecordCutNeverSplitsACharacter) {
  const std::string kChars[] = {"\xD1\x91", "\xE2\x84\x96", "\xF0\x90\x8D\x88"};
  for (const std::string& ch : kChars) {
    for (std::size_t first = 240; first <= 247; ++first) {
      std::string first_line = "a.txt ";
      first_line.append(first - first_line.size(), 'd');
      std::string more;
      while (more.size() < 40) more += ch;
      const std::string bytes = first_line + "\n " + more + "\nb x\n";
      SCOPED_TRACE("char of " + std::to_string(ch.size()) + " bytes after " +
                   std::to_string(first));
      DescriptionList list;
      LoadDescriptions(bytes, &list);
      ASSERT_EQ(list.Count(), 2);
      const std::string joined = "A.TXT" + first_line.substr(5) + " " + more;
      const std::string record(list.At(0));
      EXPECT_TRUE(IsValidUtf8(record));
      EXPECT_TRUE(joined.starts_with(record));
      EXPECT_LE(record.size(), 255u);
      EXPECT_GT(record.size() + ch.size(), 255u);
    }
  }
}

std::optional<std::string> Describe(const std::string& file,
                                    const std::string& name) {
  DescriptionList list;
  LoadDescriptions(file, &list);
  EXPECT_EQ(list.Code(), tUtf8);
  const DescriptionLookup lookup(list);
  const std::optional<std::string_view> text = lookup.DescriptionOf(name);
  if (!text) return std::nullopt;
  return std::string(*text);
}

TEST(Utf8DescriptionsTest, LooksNamesUpWithLatinAndRussianCaseFolded) {
  const struct {
    const char* what;
    std::string file;
    std::string name;
    std::optional<std::string> text;
  } kCases[] = {
      {"small io in the file, capitals in the name", "отчёт.doc Годовой отчёт",
       "ОТЧЁТ.doc", "Годовой отчёт"},
      {"capitals in the file, small letters in the name",
       "ЁЛКА-ЯЩИК.GIF Ёлка и ящик", "ёлка-ящик.gif", "Ёлка и ящик"},
      {"every Russian letter both ways",
       "абвгдеёжзийклмнопрстуфхцчшщъыьэюя.txt азбука",
       "АБВГДЕЁЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯ.TXT", "азбука"},
      {"e is not io", "елка.gif x", "ёлка.gif", std::nullopt},
      {"Latin case, Cyrillic name", "Readme.TXT ы", "README.txt", "ы"},
      {"Greek is not folded", "αβγ.txt ы", "ΑΒΓ.txt", std::nullopt},
      {"Greek as it is", "αβγ.txt ы", "αβγ.txt", "ы"},
      {"Ukrainian i is not folded", "і.txt ы", "І.txt", std::nullopt},
      {"ideographs", "日本.txt Японский", "日本.txt", "Японский"},
      {"four-byte character", "😀.png смайлик", "😀.png", "смайлик"},
      {"cut at the name's bytes, no blank needed", "файл.txtописание",
       "файл.txt", "описание"},
      {"prefix rule in bytes", "ЯЯ.txt первый\nя.txt второй", "я",
       "Я.TXT первый"},
      {"first record wins", "я.txt один\nЯ.TXT два", "Я.txt", "один"},
      {"a name byte that is not UTF-8 stands for its 866 letter", "р.txt эр",
       "\xE0.txt", "эр"},
      {"blank inside the name", "мои записи.txt x", "Мои Записи.txt", "x"},
      {"no record", "а.txt x", "б.txt", std::nullopt},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Describe(c.file, c.name), c.text) << c.what;
  }
}

TEST(Utf8DescriptionsTest, IndexAgreesWithTheLinearScan) {
  // Letters whose upper-casing is tied to the byte before, and their
  // neighbours in the byte order, so prefixes and order mix.
  const std::vector<std::string> kPieces = {
      "a", "A", "z", ".", " ", "а", "А", "п", "П", "р", "Р", "я",
      "Я", "ё", "Ё", "е", "Е", "ђ", "Ѐ", "ѐ", "ѓ", "ā", "€"};
  std::mt19937 random(20261207);
  std::uniform_int_distribution<std::size_t> piece(0, kPieces.size() - 1);
  std::uniform_int_distribution<int> length(1, 5);
  const auto word = [&] {
    std::string w;
    for (int n = length(random); n > 0; --n) w += kPieces[piece(random)];
    return w;
  };
  int hits = 0;
  for (int round = 0; round < 200; ++round) {
    std::string file;
    for (int r = length(random) * 3; r > 0; --r) {
      file += word() + "\xD0\xB0" + word() + "\n";
    }
    DescriptionList list;
    LoadDescriptions(file, &list);
    ASSERT_EQ(list.Code(), tUtf8) << file;
    const DescriptionLookup lookup(list);
    // Keys of up to 6 bytes from the index of records cut there (some in the
    // middle of a letter), longer ones by the scan.
    const DescriptionLookup cut(list, 2);
    for (int q = 0; q < 30; ++q) {
      const std::string name = word();
      const std::optional<std::string> key = DescriptionKey(name, tUtf8);
      ASSERT_TRUE(key.has_value()) << name;
      int index = -1;
      const bool found = FindDescription(list, *key, &index);
      const std::optional<int> fast = lookup.Find(*key);
      ASSERT_EQ(fast.has_value(), found) << file << "|" << name;
      EXPECT_EQ(cut.Find(*key), fast) << file << "|" << name;
      if (found) {
        EXPECT_EQ(*fast, index) << file << "|" << name;
        ++hits;
      }
    }
  }
  EXPECT_GT(hits, 200);  // the names must find records, not only miss
}

// The code page the three letter counters choose for `bytes`, counted as
// the description file's rules describe them.
TCode ThreeCounterChoice(std::string_view bytes) {
  long alt = 0, koi = 0, win = 0;
  for (const char ch : bytes) {
    const int b = static_cast<std::uint8_t>(ch);
    if ((b >= 0xA0 && b <= 0xAF) || (b >= 0xE0 && b <= 0xEF)) ++alt;
    if (b >= 0xC0 && b <= 0xDF && b != 0xD6 && b != 0xD7 && b != 0xDA) ++koi;
    if (b >= 0xE0) ++win;
  }
  if (koi > alt && koi > win) return tKoi;
  if (win > alt && win > koi) return tWin;
  return tAlt;
}

TEST(Utf8DescriptionsTest, RussianCodePagesAreDecidedAsBefore) {
  const std::vector<std::string> kWords = {
      "архив",  "файл",   "программа", "описание", "новая",  "версия", "для",
      "работы", "с",      "текстом",   "игра",     "книга",  "музыка", "сеть",
      "данные", "ёлка",   "съёмка",    "объём",    "ЧТЕНИЕ", "Запись", "диска",
      "образ",  "шрифты", "драйвер",   "модема",   "и",      "в",      "Щука",
      "эхо",    "юг",     "Ёж"};
  const std::vector<std::string> kLetters = {
      "а", "б", "в", "г", "д", "е", "ё", "ж", "з", "и", "й", "к", "л", "м",
      "н", "о", "п", "р", "с", "т", "у", "ф", "х", "ц", "ч", "ш", "щ", "ъ",
      "ы", "ь", "э", "ю", "я", "А", "Б", "Ё", "Ж", "П", "Р", "Я", "Ю", "Ш"};
  std::mt19937 random(866125120);
  const auto pick = [&](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<std::size_t>(
        0, from.size() - 1)(random)];
  };
  const auto count = [&](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(random);
  };
  for (const TCode code : {tAlt, tWin, tKoi}) {
    int sentences_taken = 0;
    int letters_taken = 0;
    for (int round = 0; round < 3000; ++round) {
      // Real-looking files: a few entries of Russian sentences.
      std::string sentences;
      for (int r = count(1, 4); r > 0; --r) {
        sentences += "file" + std::to_string(r) + ".zip";
        for (int w = count(2, 8); w > 0; --w) sentences += " " + pick(kWords);
        sentences += "\r\n";
      }
      // And runs of random letters, which come near to UTF-8 far more often.
      std::string letters = "x.zip ";
      for (int w = count(1, 4); w > 0; --w) letters += pick(kLetters);
      const std::string* texts[] = {&sentences, &letters};
      for (const std::string* text : texts) {
        const std::string bytes = Encode(*text, code);
        DescriptionList list;
        LoadDescriptions(bytes, &list);
        if (!IsUtf8Text(bytes)) {
          ASSERT_EQ(list.Code(), ThreeCounterChoice(bytes)) << *text;
          continue;
        }
        EXPECT_EQ(list.Code(), tUtf8);
        if (text == &sentences) ++sentences_taken;
        if (text == &letters) ++letters_taken;
      }
    }
    // Whole sentences in a Russian code page are never valid UTF-8.
    EXPECT_EQ(sentences_taken, 0) << "code page " << int{code};
    // A word or two of random letters may be; fewer than one in twenty.
    EXPECT_LT(letters_taken, 150) << "code page " << int{code};
    std::printf("code page %d: %d of 3000 letter runs are UTF-8\n", int{code},
                letters_taken);
  }
}

}  // namespace
}  // namespace tabulon
