#include "html/row.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

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

// A row writes the name's text once for its link and, where the link
// escaped nothing, copies those bytes as the name's text: both ways must
// show the name as the page's text, in a file's row and a directory's.
TEST(RowTest, NamesAreShownAsThePageTextOfTheName) {
  const struct {
    const char* name;
    const char* windows_1251;  // the name cell of a windows-1251 page
    const char* utf8;          // of a UTF-8 page
  } kCases[] = {
      // The link escapes nothing: its bytes are copied.
      {"a.txt", "a.txt", "a.txt"},
      {"a&b<c>\"d", "a&amp;b&lt;c&gt;&quot;d", "a&amp;b&lt;c&gt;&quot;d"},
      {"\xD0\x96.txt", "\xC6.txt", "\xD0\x96.txt"},  // Ж
      {"\xD1\x91", "\xB8", "\xD1\x91"},              // ё
      {"\xE2\x82\xAC", "\x88", "\xE2\x82\xAC"},      // €
      {"\xE6\x97\xA5", "&#26085;", "\xE6\x97\xA5"},  // 日
      // The link escapes a byte: the text is written on its own.
      {"100% #1?:\\x", "100% #1?:\\x", "100% #1?:\\x"},
      {" lead trail ", " lead trail ", " lead trail "},
      {"x\xFF.txt", "x_.txt", "x\xC2\xA0.txt"},  // 866's no-break space
      {"\xE2\x95\x94", "+", "\xE2\x95\x94"},     // ╔, a look-alike in 1251
      {"a\tb", "a\tb", "a\tb"},
      // A character that reorders text shows as a mark.
      {"a\xE2\x80\xAE"
       "b",
       "a&lt;U+202E&gt;b", "a&lt;U+202E&gt;b"},
  };
  for (const auto& c : kCases) {
    for (const int row_kind : {0, 1, 2}) {
      // A file and a directory on a windows-1251 page, a file on a UTF-8 one.
      const bool directory = row_kind == 1;
      const TCharset charset = row_kind == 2 ? cUtf8 : cWindows1251;
      SearchEntry entry;
      entry.Name = c.name;
      entry.Attr = directory ? kAttrDirectory : 0;
      RowContext context;
      context.RunMode = mTree;
      context.file_link_prefix = "pub/";
      context.charset = charset;
      Totals totals;
      std::string row;
      ASSERT_TRUE(WriteRow(entry, context, std::nullopt, tAlt, &totals, &row));
      EXPECT_EQ(ShownName(row, directory),
                charset == cUtf8 ? c.utf8 : c.windows_1251)
          << c.name << " in " << row;
    }
  }
}

}  // namespace
}  // namespace tabulon
