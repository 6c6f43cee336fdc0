#include "html/page.h"

#include <gtest/gtest.h>

namespace tabulon {
namespace {

const char kColumns[] =
    "/files</th><tr><td><b>name</b></td><td align=right><b>size</b></td>"
    "<td align=center><b>&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;date&nbsp;&nbsp;&nbsp;"
    "&nbsp;&nbsp;&nbsp;&nbsp;</b></td><td align=center><b>description</b></td>"
    "</tr>";

TEST(PageTest, HeadEndsInTheMiddleOfItsFourthLine) {
  const struct {
    const char* title;
    const char* written;
  } cases[] = {
      {"Rock", "Rock"},
      {"", ""},
      {"A&B <C>", "A&amp;B &lt;C&gt;"},
      {"\xD0\x9C\xD1\x83\xD0\xB7\xD1\x8B\xD0\xBA\xD0\xB0",
       "\xCC\xF3\xE7\xFB\xEA\xE0"},
  };
  for (const auto& c : cases) {
    std::string out;
    WriteHeader(c.title, cWindows1251, &out);
    EXPECT_EQ(
        out,
        std::string("<html><head><meta http-equiv=\"Content-Language\" "
                    "content=\"ru\">\r\n<meta http-equiv=\"Content-Type\" "
                    "content=\"text/html; charset=windows-1251\">\r\n<title>") +
            c.written + "</title></head><body>\r\n<table><th>" + c.written +
            kColumns);
  }
}

TEST(PageTest, Utf8HeadDeclaresUtf8AndKeepsTheTitlesCharacters) {
  std::string out;
  WriteHeader("\xD0\x9C\xD1\x83\xD0\xB7 & \xE2\x96\x91\xFF", cUtf8, &out);
  const std::string title =
      "\xD0\x9C\xD1\x83\xD0\xB7 &amp; \xE2\x96\x91\xC2\xA0";
  EXPECT_EQ(out,
            "<html><head><meta http-equiv=\"Content-Language\" "
            "content=\"ru\">\r\n<meta http-equiv=\"Content-Type\" "
            "content=\"text/html; charset=utf-8\">\r\n<title>" +
                title + "</title></head><body>\r\n<table><th>" + title +
                kColumns);
}

TEST(PageTest, FootRightAlignsBytesInTenColumnsAndGrows) {
  const struct {
    std::int64_t bytes;
    std::int64_t files;
    const char* line;
  } cases[] = {
      {0, 0, "<b>         0 bytes in 0 files.</b><br>"},
      {123456, 42, "<b>    123456 bytes in 42 files.</b><br>"},
      {1, 1, "<b>         1 bytes in 1 files.</b><br>"},
      {9999999999, 3, "<b>9999999999 bytes in 3 files.</b><br>"},
      {12345678901, 3, "<b>12345678901 bytes in 3 files.</b><br>"},
      {5368709120LL * 1000, 1000,
       "<b>5368709120000 bytes in 1000 files.</b><br>"},
  };
  for (const auto& c : cases) {
    std::string out;
    WriteFooter(Totals{c.files, c.bytes}, LocalDate{2005, 12, 6}, &out);
    EXPECT_EQ(out, std::string("</table>\r\n") + c.line +
                       "\r\n<i>Created 12-06-05.</i>\r\n</body></html>\r\n");
  }
}

TEST(PageTest, DatesShowMonthDayAndTwoYearDigits) {
  const struct {
    LocalDate date;
    const char* stamp;
    const char* cell;
  } cases[] = {
      {{2026, 1, 1}, "Created 01-01-26", "01-01-26"},
      {{2026, 10, 31}, "Created 10-31-26", " 10-31-26"},
      {{2005, 7, 4}, "Created 07-04-05", "07-04-05"},
      {{2005, 12, 25}, "Created 12-25-05", " 12-25-05"},
      {{1970, 1, 1}, "Created 01-01-70", "01-01-70"},
      {{1601, 11, 9}, "Created 11-09-01", " 11-09-01"},
      {{9999, 9, 10}, "Created 09-10-99", "09-10-99"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CreatedStamp(c.date), c.stamp);
    std::string cell;
    AppendDateText(c.date, &cell);
    EXPECT_EQ(cell, c.cell);
  }
}

TEST(PageTest, TitleIsTheDirectorysLastComponent) {
  const struct {
    const char* path;
    char separator;
    const char* title;
  } cases[] = {
      {"C:\\Music\\Rock\\", '\\', "Rock"},
      {"C:\\", '\\', "C:"},
      {"Rock", '\\', "Rock"},
      {"\\", '\\', ""},
      {"", '\\', ""},
      {"C:\\a\\\\", '\\', ""},
      {"C:/Temp\\", '\\', "C:/Temp"},
      {"/srv/ftp/pub/", '/', "pub"},
      {"/", '/', ""},
      {"rel/dir/", '/', "dir"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DirectoryTitle(c.path, c.separator), c.title) << c.path;
  }
}

// Years of fewer or more than four digits (file systems of 64-bit times
// hold them) keep the column: always the year's last two digits.
TEST(PageTest, YearsOutsideFourDigitsShowTheirLastTwoDigits) {
  const struct {
    LocalDate date;
    const char* cell;
  } cases[] = {
      {{10000, 1, 1}, "01-01-00"},
      {{11968, 12, 31}, " 12-31-68"},
      {{999, 12, 31}, " 12-31-99"},
      {{1, 1, 1}, "01-01-01"},
      {{705, 3, 9}, "03-09-05"},
      {{-44, 3, 15}, "03-15-44"},
  };
  for (const auto& c : cases) {
    std::string cell;
    AppendDateText(c.date, &cell);
    EXPECT_EQ(cell, c.cell) << c.date.year;
  }
}

}  // namespace
}  // namespace tabulon
