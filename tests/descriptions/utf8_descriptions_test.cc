// Description files written in UTF-8: recognition, reading, lookup, and that
// files in the three Russian code pages are not taken for UTF-8.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/code_pages.h"
#include "common/utf8.h"
#include "descriptions/files_bbs.h"
#include "descriptions/lookup.h"
#include "support/string_source.h"

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

TCode CodeOf(const std::string& bytes) {
  DescriptionList list;
  StringSource file(bytes);
  EXPECT_TRUE(LoadFilesBbs(file, &list).ok());
  return list.Code();
}

std::vector<std::string> RecordsOf(const std::string& bytes) {
  DescriptionList list;
  StringSource file(bytes);
  EXPECT_TRUE(LoadFilesBbs(file, &list).ok());
  std::vector<std::string> records;
  for (int i = 0; i < list.Count(); ++i) records.emplace_back(list.At(i));
  return records;
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
    EXPECT_EQ(CodeOf(c.bytes) == tUtf8, c.utf8) << c.what;
  }
}

TEST(Utf8DescriptionsTest, LineCutNeverSplitsACharacter) {
  // Characters of every length, placed so that byte 4,096 falls on each of
  // their bytes in turn.
  const std::string kChars[] = {"\xD0\xAF", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  for (const std::string& ch : kChars) {
    for (std::size_t lead = 4091; lead <= 4097; ++lead) {
      std::string line = "a.txt ";
      line.append(lead - line.size(), 'x');
      while (line.size() < 4150) line += ch;
      const std::string bytes = line + "\nb.txt next\n";
      SCOPED_TRACE("char of " + std::to_string(ch.size()) + " bytes after " +
                   std::to_string(lead));

      const std::vector<std::string> records = RecordsOf(bytes);
      ASSERT_EQ(records.size(), 2u);
      EXPECT_TRUE(IsValidUtf8(records[0]));
      EXPECT_TRUE(("A.TXT" + line.substr(5)).starts_with(records[0]));
      EXPECT_LE(records[0].size(), 4096u);
      EXPECT_GT(records[0].size() + ch.size(), 4096u);
      EXPECT_EQ(records[1], "B.TXT next");

      // Other code pages keep all 4,096 bytes (a letter of 866 first).
      const std::vector<std::string> bytewise =
          RecordsOf(std::string("\xA0").append(bytes));
      ASSERT_EQ(bytewise.size(), 2u);
      EXPECT_EQ(bytewise[0], "\xA0" + ("A.TXT" + line.substr(5, 4090)));
    }
  }
}

TEST(Utf8DescriptionsTest, RecordCutNeverSplitsACharacter) {
  const std::string kChars[] = {"\xD1\x91", "\xE2\x84\x96", "\xF0\x90\x8D\x88"};
  for (const std::string& ch : kChars) {
    for (std::size_t first = 4081; first <= 4088; ++first) {
      std::string first_line = "a.txt ";
      first_line.append(first - first_line.size(), 'd');
      std::string more;
      while (more.size() < 40) more += ch;
      const std::string bytes = first_line + "\n " + more + "\nb x\n";
      SCOPED_TRACE("char of " + std::to_string(ch.size()) + " bytes after " +
                   std::to_string(first));
      const std::vector<std::string> records = RecordsOf(bytes);
      ASSERT_EQ(records.size(), 2u);
      const std::string joined = "A.TXT" + first_line.substr(5) + " " + more;
      const std::string& record = records[0];
      EXPECT_TRUE(IsValidUtf8(record));
      EXPECT_TRUE(joined.starts_with(record));
      EXPECT_LE(record.size(), 4096u);
      EXPECT_GT(record.size() + ch.size(), 4096u);
    }
  }
}

std::optional<std::string> Describe(const std::string& file,
                                    const std::string& name) {
  DescriptionList list;
  StringSource source(file);
  EXPECT_TRUE(LoadFilesBbs(source, &list).ok());
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

TEST(Utf8DescriptionsTest, RussianCodePagesAreNotTakenForUtf8) {
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
        sentences.append("file").append(std::to_string(r)).append(".zip");
        for (int w = count(2, 8); w > 0; --w) {
          sentences.append(" ").append(pick(kWords));
        }
        sentences += "\r\n";
      }
      // And runs of random letters, which come near to UTF-8 far more often.
      std::string letters = "x.zip ";
      for (int w = count(1, 4); w > 0; --w) letters += pick(kLetters);
      const std::string* texts[] = {&sentences, &letters};
      for (const std::string* text : texts) {
        if (CodeOf(Encode(*text, code)) == tUtf8) {
          if (text == &sentences) ++sentences_taken;
          if (text == &letters) ++letters_taken;
        }
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
