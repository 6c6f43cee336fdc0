#include "html/row.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "html/text.h"

namespace tabulon {
namespace {

TEST(RowTest, RowCellsForFilesAndDirectories) {
  const struct {
    const char* what;
    TMode mode;
    std::uint32_t attr;
    std::int64_t size;
    std::string name;
    std::optional<std::string_view> description;
    TCode code;
    std::string row;  // empty: no row
  } kCases[] = {
      {"file with a description", mList, 0, 4294967301, "a&b.txt", "Notes <1>",
       tAlt,
       "<tr><td><a href=\"pub/a&amp;b.txt\">a&amp;b.txt</a></td>"
       "<td align=right>4294967301 </td><td>03-07-24</td>"
       "<td> Notes &lt;1&gt;</td></tr>\r\n"},
      {"file without one", mList, 0, 0, "b #1.txt", std::nullopt, tAlt,
       "<tr><td><a href=\"pub/b %231.txt\">b #1.txt</a></td>"
       "<td align=right>0 </td><td>03-07-24</td><td></td></tr>\r\n"},
      {"file with an empty description", mTree, 0, 1, "e", "", tAlt,
       "<tr><td><a href=\"pub/e\">e</a></td>"
       "<td align=right>1 </td><td>03-07-24</td><td> </td></tr>\r\n"},
      {"description in its own code page", mTree, 0, 1, "k",
       "\xF4\xC1\xCA\xCC \xA3", tKoi,
       "<tr><td><a href=\"pub/k\">k</a></td><td align=right>1 </td>"
       "<td>03-07-24</td><td> \xD2\xE0\xE9\xEB \xB8</td></tr>\r\n"},
      {"directory in one page per directory", mTree, kAttrDirectory, 0, "d%",
       "dir", tWin,
       "<tr><td><a href=\"d%25/FILES.HTM\"><b>d%</b></a></td>"
       "<td align=center><b>DIR</b></td><td>03-07-24</td>"
       "<td> dir</td></tr>\r\n"},
      {"directory in one page for the tree", mList, kAttrDirectory, 0, "d",
       std::nullopt, tAlt, ""},
  };
  for (const auto& c : kCases) {
    SearchEntry entry;
    entry.Name = c.name;
    entry.Attr = c.attr;
    entry.Size = c.size;
    entry.Time = LocalDate{2024, 3, 7};
    RowContext context;
    context.RunMode = c.mode;
    context.file_link_prefix = "pub/";
    Totals totals;
    std::string row;
    EXPECT_EQ(WriteRow(entry, context, c.description, c.code, &totals, &row),
              !c.row.empty())
        << c.what;
    EXPECT_EQ(row, c.row) << c.what;
    const bool counted = !c.row.empty() && c.attr == 0;
    EXPECT_EQ(totals.TotalFiles, counted ? 1 : 0) << c.what;
    EXPECT_EQ(totals.TotalBytes, counted ? c.size : 0) << c.what;
  }
}

TEST(RowTest, NamesAtTheEdgesOfTheirLinks) {
  // A file's name ends its link and begins it when there is no prefix; a
  // directory's name begins its link. Blanks there are encoded, and no name
  // gives the link a scheme.
  const struct {
    std::uint32_t attr;
    std::string_view prefix;
    std::string name;
    std::string href;
  } kCases[] = {
      {0, "", " lead", "%20lead"},
      {0, "", "trail ", "trail%20"},
      {0, "", " both ", "%20both%20"},
      {0, "", "a b", "a b"},
      {0, "", "javascript:alert(1)", "javascript%3Aalert(1)"},
      {0, "sub/", " lead", "sub/ lead"},
      {0, "sub/", "trail ", "sub/trail%20"},
      {0, "http://h/a b/", " both ", "http://h/a b/ both%20"},
      {0, "%20x/", "mailto:x", "%20x/mailto%3Ax"},
      {kAttrDirectory, "sub/", " lead", "%20lead/FILES.HTM"},
      {kAttrDirectory, "sub/", "trail ", "trail /FILES.HTM"},
      {kAttrDirectory, "", " both ", "%20both /FILES.HTM"},
      {kAttrDirectory, "", "c:autoexec.bat", "c%3Aautoexec.bat/FILES.HTM"},
  };
  for (const auto& c : kCases) {
    SearchEntry entry;
    entry.Name = c.name;
    entry.Attr = c.attr;
    RowContext context;
    context.RunMode = mTree;
    context.file_link_prefix = c.prefix;
    Totals totals;
    std::string row;
    ASSERT_TRUE(WriteRow(entry, context, std::nullopt, tAlt, &totals, &row));
    const std::string shown = c.attr != 0 ? "<b>" + c.name + "</b>" : c.name;
    EXPECT_TRUE(row.starts_with("<tr><td><a href=\"" + c.href + "\">" + shown +
                                "</a></td>"))
        << "'" << c.name << "' after '" << c.prefix << "': " << row;
  }
}

// The name as the row shows it, between the link and the size or DIR cell.
std::string ShownName(const std::string& row, bool directory) {
  const std::string open = directory ? "\"><b>" : "\">";
  const std::string close = directory ? "</b></a></td>" : "</a></td>";
  const std::size_t begin = row.find(open);
  const std::size_t end = row.rfind(close);
  if (begin == row.npos || end == row.npos || end < begin + open.size()) {
    return "<no name cell in " + row + ">";
  }
  return row.substr(begin + open.size(), end - begin - open.size());
}

TEST(RowTest, NamesAreShownAsThePageTextOfTheName) {
  // Every character below U+0800 and every lone byte that is not UTF-8,
  // alone and after a plain letter, then random mixtures of the bytes that
  // links escape, Cyrillic, other scripts and broken sequences.
  std::vector<std::string> names;
  for (char32_t c = 1; c < 0x800; ++c) {
    std::string name;
    AppendUtf8(c, &name);
    names.push_back(name);
    names.push_back("a" + name + "b");
  }
  for (int b = 0x80; b <= 0xFF; ++b) {
    names.push_back(std::string(1, static_cast<char>(b)));
    names.push_back("x" + std::string(1, static_cast<char>(b)) + ".txt");
  }
  const std::vector<std::string> kPieces = {"a",
                                            "Z",
                                            " ",
                                            ".",
                                            "%",
                                            "#",
                                            "?",
                                            "\\",
                                            "&",
                                            "<",
                                            "\"",
                                            "\x7F",
                                            "\t",
                                            "\xD0\x9E",
                                            "\xD1\x91",
                                            "\xE2\x82\xAC",
                                            "\xE6\x97\xA5",
                                            "\xE2\x80\xAE",
                                            "\xC2\xAD",
                                            "\xF0\x9F\x98\x80",
                                            "\xF0",
                                            "\xD0",
                                            "\xAE",
                                            "\xFF"};
  std::mt19937 random(61);
  for (int i = 0; i < 3000; ++i) {
    std::string name;
    for (std::size_t n = 1 + random() % 8; n > 0; --n) {
      name += kPieces[random() % kPieces.size()];
    }
    names.push_back(name);
  }
  int escaped = 0;
  for (const std::string& name : names) {
    for (const int row_kind : {0, 1, 2}) {
      // A file and a directory on a windows-1251 page, a file on a UTF-8 one.
      const bool directory = row_kind == 1;
      const TCharset charset = row_kind == 2 ? cUtf8 : cWindows1251;
      SearchEntry entry;
      entry.Name = name;
      entry.Attr = directory ? kAttrDirectory : 0;
      RowContext context;
      context.RunMode = mTree;
      context.file_link_prefix = "pub/";
      context.charset = charset;
      Totals totals;
      std::string row;
      ASSERT_TRUE(WriteRow(entry, context, std::nullopt, tAlt, &totals, &row))
          << name;
      // Where the link escaped nothing, the row copies the link's bytes as
      // the name's text: that must still be the page text of the name.
      const std::size_t href = row.find("href=\"");
      escaped += row.find('%', href) < row.find("\">", href);
      std::string text;
      AppendPageText(name, charset, &text);
      ASSERT_EQ(ShownName(row, directory), text) << name << " in " << row;
    }
  }
  // Both ways of writing the text must be taken often.
  EXPECT_GT(escaped, 1000);
  EXPECT_LT(escaped, static_cast<int>(names.size()) * 3 - 1000);
}

}  // namespace
}  // namespace tabulon
