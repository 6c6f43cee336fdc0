#include "driver/progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/utf8.h"
#include "driver/fake_platform.h"
#include "driver/run.h"
#include "support/screen.h"

namespace tabulon {
namespace {

using testing::FakePlatform;
using testing::Screen;

// Columns a terminal gives `text`, counting the wide characters the way the
// progress line does for the ones used here.
int Columns(std::string_view text) {
  int columns = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c;
    DecodeUtf8(text, &pos, &c);
    columns += (c >= 0x4E00 && c <= 0x9FFF) || c >= 0x1F000 ? 2 : 1;
  }
  return columns;
}

TEST(ProgressLineTest, FitsTheWidthAndKeepsTheEndOfThePath) {
  const struct {
    const char* what;
    std::string path;
    int columns;
    std::string line;
  } kCases[] = {
      {"room for all", "/srv/pub/", 60, "3 directories, 42 files: /srv/pub/"},
      {"cut from the left", "/srv/ftp/pub/games/dos/", 40,
       "3 directories, 42 files: ...b/games/dos/"},
      {"no room for the path", "/srv/ftp/pub/", 27, "3 directories, 42 files"},
      {"not even the counts", "/srv/", 10, "3 director"},
      {"controls and escapes shown as ?", "/a\x1B[2J\nb\r/", 60,
       "3 directories, 42 files: /a?[2J?b?/"},
      {"DEL, C1 controls and direction marks", "/x\x7F\xC2\x9B\xE2\x80\xAEy/",
       60, "3 directories, 42 files: /x???y/"},
      {"bytes that are not UTF-8", "/\xFF\xE0/", 60,
       "3 directories, 42 files: /?"
       "?/"},
      {"Cyrillic counts one column each", "/архив/игры/", 37,
       "3 directories, 42 files: /архив/игры/"},
      {"wide characters fit", "/日本語/", 33,
       "3 directories, 42 files: /日本語/"},
      {"wide characters count two", "/日本語/", 32,
       "3 directories, 42 files: ...語/"},
  };
  for (const auto& c : kCases) {
    const std::string line = ProgressLine(3, 42, c.path, c.columns);
    EXPECT_EQ(line, c.line) << c.what;
    EXPECT_LE(Columns(line), c.columns) << c.what;
  }
}

TEST(ProgressLineTest, NeverWiderThanAskedForAnyWidth) {
  const std::string kPaths[] = {"/", "/a/b/c/", "/каталог/подкаталог/файлы/",
                                "/日本/😀😀😀/x/", std::string(300, 'p')};
  for (const std::string& path : kPaths) {
    for (int columns = 0; columns <= 90; ++columns) {
      const std::string line = ProgressLine(123456, 7890123, path, columns);
      ASSERT_LE(Columns(line), columns) << path << " " << columns;
      ASSERT_EQ(line.find_first_of("\r\n\x1B"), std::string::npos);
    }
  }
}

TEST(ProgressTest, WritesNothingWhenNotATerminal) {
  FakePlatform fake;
  {
    Progress progress(fake);
    for (int i = 0; i < 50; ++i) {
      fake.now_ms += 1000;
      progress.Reached("/x/", 10);
    }
    progress.Clear();
  }
  EXPECT_EQ(fake.err, "");
}

TEST(ProgressTest, RedrawsAtMostEveryIntervalAndClearsAtTheEnd) {
  FakePlatform fake;
  fake.terminal = true;
  fake.terminal_width = 50;
  Screen screen;
  {
    Progress progress(fake);
    const struct {
      std::uint64_t advance_ms;
      const char* path;
      std::int64_t files;
      const char* shown;  // after a redraw; nullptr: none
    } kSteps[] = {
        // The first one shows.
        {0, "/a/long/directory/name/here/", 5,
         "1 directories, 5 files: ...g/directory/name/here/"},
        {10, "/a/b/", 1, nullptr},
        {Progress::kIntervalMs - 11, "/a/c/", 2, nullptr},
        // Shorter than the line before.
        {1, "/d/", 3, "4 directories, 11 files: /d/"},
        {50, "/e/", 0, nullptr},
        {500, "/каталог/", 7, "6 directories, 18 files: /каталог/"},
    };
    for (const auto& step : kSteps) {
      SCOPED_TRACE(step.path);
      fake.now_ms += step.advance_ms;
      const bool redrawn = step.shown != nullptr;
      const std::size_t before = fake.err.size();
      int asked = 0;  // the path is put together only for a redraw
      progress.Reached(
          [&] {
            ++asked;
            return std::string(step.path);
          },
          step.files);
      EXPECT_EQ(asked, redrawn ? 1 : 0);
      const std::string written = fake.err.substr(before);
      screen.Feed(written);
      EXPECT_EQ(!written.empty(), redrawn);
      if (redrawn) {
        EXPECT_EQ(written[0], '\r');
        EXPECT_EQ(screen.Visible(), step.shown);
      }
      EXPECT_EQ(screen.LineCount(), 1u);
      // The last column stays free.
      EXPECT_LE(Columns(screen.Visible()), 49);
    }
  }
  Screen whole;
  whole.Feed(fake.err);
  EXPECT_EQ(whole.LineCount(), 1u);
  EXPECT_EQ(whole.Visible(), "");  // cleared when done
}

TEST(ProgressTest, ReportsStartOnAnEmptyLine) {
  FakePlatform fake;
  fake.terminal = true;
  fake.terminal_width = 70;
  fake.tick_ms = Progress::kIntervalMs;  // every directory redraws
  fake.AddDir("one");
  fake.AddDir("two");
  fake.AddFile("two/x.txt", "1");
  fake.failures["list:two"] = "disk full";
  fake.failures["create:one"] = "read-only";
  fake.args = {"/", "/t"};
  EXPECT_EQ(tabulon::Run(fake), 2);

  Screen screen;
  std::vector<std::string> reports;
  std::size_t pos = 0;
  while (pos < fake.err.size()) {
    const std::size_t report = fake.err.find("tabulon: ", pos);
    screen.Feed(fake.err.substr(pos, report - pos));
    if (report == std::string::npos) break;
    // What shows on the line the report is about to be written to.
    EXPECT_EQ(screen.Visible(), "") << fake.err;
    const std::size_t end = fake.err.find('\n', report) + 1;
    reports.push_back(fake.err.substr(report, end - report));
    screen.Feed(fake.err.substr(report, end - report));
    pos = end;
  }
  EXPECT_EQ(reports,
            (std::vector<std::string>{
                "tabulon: cannot create listing '/one/FILES.HTM': read-only\n",
                "tabulon: cannot read directory '/two/': disk full\n"}));
  EXPECT_EQ(screen.Visible(), "");
  EXPECT_NE(fake.err.find("directories"), std::string::npos)
      << "the line was never drawn";
}

TEST(ProgressTest, ClosingLineCountsPagesFilesBytesAndTime) {
  const struct {
    std::int64_t written, unchanged;
    Totals totals;
    std::uint64_t ms;
    const char* line;
  } kCases[] = {
      // clang-format off
      {1, 0, {1, 1}, 1449, "1 page written, 0 unchanged; 1 file, 1 byte in 1.4 s"},
      {12, 3, {10512, 2254857830}, 1450,
       "12 pages written, 3 unchanged; 10,512 files, 2.1 GiB in 1.5 s"},
      {1234567, 1000, {999, 1023}, 59'949,
       "1,234,567 pages written, 1,000 unchanged; 999 files, 1,023 bytes in 59.9 s"},
      {2, 0, {2, 1536 << 10}, 3'723'000,
       "2 pages written, 0 unchanged; 2 files, 1.5 MiB in 62 min 3 s"},
      // clang-format on
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(ClosingLine(c.written, c.unchanged, c.totals, c.ms), c.line);
  }
}

}  // namespace
}  // namespace tabulon
