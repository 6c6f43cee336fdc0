// Runs the real binary on real trees and compares the pages byte for byte:
// the POSIX build, and the Windows build under Wine.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace tabulon::testing {
namespace {

TEST_F(E2eTest, EmptyDirectoryGivesBannerAndEmptyTable) {
  tree_.Dir("Archive");
  const ProcessResult r = Run({Native(tree_.Path("Archive"))});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, kBanner);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(tree_.Read("Archive/FILES.HTM"), Head("Archive") + Foot("0", 0));
}

TEST_F(E2eTest, FileInSubdirectoryOfListPage) {
  tree_.Dir("Archive/DOCS");
  tree_.File("Archive/DOCS/README.TXT", std::string(1234, 'x'));
  tree_.File("Archive/DOCS/FILES.BBS", "readme.txt   Read me first\r\n");
  tree_.Date("Archive/DOCS/README.TXT", 2005, 7, 4);
  const ProcessResult r = Run({Native(tree_.Path("Archive"))});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(tree_.Read("Archive/FILES.HTM"),
            Head("Archive") +
                FileRow("DOCS/README.TXT", "README.TXT", "1234", "07-04-05",
                        "Read me first") +
                Foot("1234", 1));
}

TEST_F(E2eTest, SubdirectoryRowOfTreePage) {
  tree_.Dir("Archive/SUB");
  tree_.Date("Archive/SUB", 2005, 12, 25);
  const ProcessResult r = Run({Native(tree_.Path("Archive")), "/t"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  // The date is read before the walk writes SUB's own page into it.
  EXPECT_EQ(tree_.Read("Archive/FILES.HTM"),
            Head("Archive") + DirRow("SUB", "SUB", " 12-25-05") + Foot("0", 0));
  EXPECT_EQ(tree_.Read("Archive/SUB/FILES.HTM"), Head("SUB") + Foot("0", 0));
}

TEST_F(E2eTest, ListPageCoversTheWholeTreeInPreOrder) {
  tree_.Dir("A/one/deep");
  tree_.Dir("A/two");
  tree_.Dir("A/.git");
  tree_.File("A/top.txt", "12345");
  tree_.File("A/.hidden", "x");
  tree_.File("A/.git/config", "x");
  tree_.File("A/one/b.txt", "1");
  tree_.File("A/one/deep/c.txt", "22");
  tree_.File("A/two/d.txt", "333");
  tree_.File("A/two/e.txt", "4444");
  for (const char* f : {"A/top.txt", "A/one/b.txt", "A/one/deep/c.txt",
                        "A/two/d.txt", "A/two/e.txt"}) {
    tree_.Date(f, 2024, 3, 9);
  }
  const ProcessResult r = Run({Native(tree_.Path("A")), "http://x.org/pub/"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string url = "http://x.org/pub/";
  const std::string date = "03-09-24";
  std::map<std::string, std::string> subtrees = {
      {"one", FileRow(url + "one/b.txt", "b.txt", "1", date) +
                  FileRow(url + "one/deep/c.txt", "c.txt", "2", date)},
      {"two",
       InNameOrder(
           {{"d.txt", FileRow(url + "two/d.txt", "d.txt", "3", date)},
            {"e.txt", FileRow(url + "two/e.txt", "e.txt", "4", date)}})}};
  EXPECT_EQ(tree_.Read("A/FILES.HTM"),
            Head("A") + FileRow(url + "top.txt", "top.txt", "5", date) +
                InNameOrder(subtrees) + Foot("15", 5));
}

TEST_F(E2eTest, TreePagesCountOnlyTheirOwnFiles) {
  tree_.Dir("T/sub");
  tree_.File("T/a.txt", "aaaa");
  tree_.File("T/sub/b.txt", "bb");
  tree_.File("T/sub/FILES.BBS", "B.TXT second level\r\n");
  tree_.Date("T/a.txt", 2001, 10, 5);
  tree_.Date("T/sub/b.txt", 1999, 1, 31);
  tree_.Date("T/sub", 2010, 11, 1);
  for (const std::string& url : {std::string(), std::string("ftp://h/p")}) {
    SCOPED_TRACE("URL '" + url + "'");
    std::vector<std::string> args = {"/T", Native(tree_.Path("T"))};
    if (!url.empty()) args.push_back(url);
    const ProcessResult r = Run(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(tree_.Read("T/FILES.HTM"),
              Head("T") +
                  InNameOrder({{"a.txt", FileRow(url + "a.txt", "a.txt", "4",
                                                 " 10-05-01")},
                               {"sub", DirRow("sub", "sub", " 11-01-10")}}) +
                  Foot("4", 1));
    EXPECT_EQ(tree_.Read("T/sub/FILES.HTM"),
              Head("sub") +
                  FileRow(url.empty() ? "b.txt" : url + "sub/b.txt", "b.txt",
                          "2", "01-31-99", "second level") +
                  Foot("2", 1));
    tree_.Date("T/sub", 2010, 11, 1);
  }
}

TEST_F(E2eTest, LargeDirectoryIsListedWholeInBothModes) {
  // Enough entries for the rows to be written while the details of the
  // entries are still being read: ASCII, Cyrillic and escaped names, most
  // of them described in a FILES.BBS of code page 866.
  tree_.Dir("Big/sub");
  tree_.File("Big/sub/z.txt", "z");
  tree_.Date("Big/sub/z.txt", 2001, 2, 3);
  std::string bbs;
  std::map<std::string, std::string> list_rows, tree_rows;  // by name
  long long bytes = 0;
  const int count = 3000;
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    std::string name, shown, record;
    switch (i % 3) {
      case 0:  // described in capitals
        name = shown = "file" + n + ".txt";
        record = "FILE" + n + ".TXT";
        break;
      case 1:  // ОТЧЁТ<n>.doc, described as отчёт<n>.doc
        name = "\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x81\xD0\xA2" + n + ".doc";
        shown = "\xCE\xD2\xD7\xA8\xD2" + n + ".doc";
        record = "\xAE\xE2\xE7\xF1\xE2" + n + ".doc";
        break;
      default:  // a&b<n>.txt, every fifth one undescribed
        name = "a&b" + n + ".txt";
        shown = "a&amp;b" + n + ".txt";
        if (i % 5 != 0) record = name;
        break;
    }
    const std::string path = "Big/" + name;
    tree_.File(path, std::string(static_cast<std::size_t>(i % 997), 'x'));
    const int month = 1 + i % 9, day = 1 + i % 28, year = 1980 + i % 45;
    tree_.Date(path, year, month, day);
    bytes += i % 997;
    char date[16];
    std::snprintf(date, sizeof date, "%02d-%02d-%02d", month, day, year % 100);
    std::optional<std::string> description;
    if (!record.empty()) {
      bbs += record + "  about " + n + "\r\n";
      description = "about " + n;
    }
    const std::string size = std::to_string(i % 997);
    list_rows[name] = FileRow(shown, shown, size, date, description);
    tree_rows[name] = list_rows[name];
  }
  tree_.File("Big/FILES.BBS", bbs);
  ProcessResult r = Run({Native(tree_.Path("Big"))});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(tree_.Read("Big/FILES.HTM"),
            Head("Big") + InNameOrder(list_rows) +
                FileRow("sub/z.txt", "z.txt", "1", "02-03-01") +
                Foot(std::to_string(bytes + 1), count + 1));

  tree_.Date("Big/sub", 2002, 3, 4);
  tree_rows["sub"] = DirRow("sub", "sub", "03-04-02");
  r = Run({Native(tree_.Path("Big")), "/t"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(tree_.Read("Big/FILES.HTM"),
            Head("Big") + InNameOrder(tree_rows) +
                Foot(std::to_string(bytes), count));
}

TEST_F(E2eTest, AddressWithoutTrailingSlashIsJoinedAsTyped) {
  tree_.Dir("U/d");
  tree_.File("U/d/f", "");
  tree_.Date("U/d/f", 2020, 2, 29);
  const ProcessResult r = Run({Native(tree_.Path("U")), "/pub"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(
      tree_.Read("U/FILES.HTM"),
      Head("U") + FileRow("/pubd/f", "f", "0", "02-29-20") + Foot("0", 1));
}

TEST_F(E2eTest, ExampleArchiveInUtf8) {
  std::filesystem::copy(TABULON_EXAMPLES, tree_.Path("archive"),
                        std::filesystem::copy_options::recursive);
  const std::vector<std::string> dirs = {"dos", "utf8", "koi"};
  for (const std::string& dir : dirs) {
    for (const auto& entry :
         std::filesystem::directory_iterator(tree_.Path("archive/" + dir))) {
      tree_.Date("archive/" + dir + "/" + entry.path().filename().string(),
                 2006, 6, 6);
    }
  }
  const std::string url = "http://h/\xC3\xBC/";  // http://h/ü/
  const std::vector<std::string> args = {Native(tree_.Path("archive")), url,
                                         "--charset=utf-8", "/t"};
  const ProcessResult r = Run(args);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto head = [](const std::string& title) {
    std::string page_head = Head(title);
    page_head.replace(page_head.find("windows-1251"), 12, "utf-8");
    return page_head;
  };
  const std::string date = "06-06-06";
  // Утилиты.zip; its description holds 866 shading, ░▒▓.
  const std::string utilities =
      "\xD0\xA3\xD1\x82\xD0\xB8\xD0\xBB\xD0\xB8\xD1\x82\xD1\x8B.zip";
  EXPECT_EQ(
      tree_.Read("archive/dos/FILES.HTM"),
      head("dos") +
          FileRow(url + "dos/NORTON.ARJ", "NORTON.ARJ", "102", date,
                  "Norton Commander 5.0 - \xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB"
                  "\xD0\xBE\xD0\xB2\xD1\x8B\xD0\xB9 \xD0\xBC\xD0\xB5\xD0\xBD"
                  "\xD0\xB5\xD0\xB4\xD0\xB6\xD0\xB5\xD1\x80 \xD0\xB4\xD0\xBB"
                  "\xD1\x8F DOS, \xD1\x81 \xD1\x80\xD1\x83\xD1\x81\xD1\x81\xD0"
                  "\xBA\xD0\xBE\xD0\xB9 \xD0\xB4\xD0\xBE\xD0\xBA\xD1\x83\xD0"
                  "\xBC\xD0\xB5\xD0\xBD\xD1\x82\xD0\xB0\xD1\x86\xD0\xB8\xD0"
                  "\xB5\xD0\xB9.") +
          FileRow(url + "dos/" + utilities, utilities, "22", date,
                  "\xD0\xA1\xD0\xB1\xD0\xBE\xD1\x80\xD0\xBD\xD0\xB8\xD0\xBA "
                  "\xD1\x83\xD1\x82\xD0\xB8\xD0\xBB\xD0\xB8\xD1\x82 \xD0\xB4"
                  "\xD0\xBB\xD1\x8F DOS: \xE2\x96\x91\xE2\x96\x92\xE2\x96\x93 "
                  "\xD0\xB0\xD1\x80\xD1\x85\xD0\xB8\xD0\xB2\xD0\xB0\xD1\x82\xD0"
                  "\xBE\xD1\x80\xD1\x8B \xD0\xB8 \xD1\x80\xD0\xB5\xD0\xB4\xD0"
                  "\xB0\xD0\xBA\xD1\x82\xD0\xBE\xD1\x80\xD1\x8B") +
          Foot("124", 2));
  // Αλφάβητο.txt and Отчёт 2025.pdf: Greek needs no references here.
  const std::string greek =
      "\xCE\x91\xCE\xBB\xCF\x86\xCE\xAC\xCE\xB2\xCE\xB7"
      "\xCF\x84\xCE\xBF.txt";
  const std::string report =
      "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 2025.pdf";
  EXPECT_EQ(
      tree_.Read("archive/utf8/FILES.HTM"),
      head("utf8") +
          FileRow(url + "utf8/notes.md", "notes.md", "8", date,
                  "\xD0\x97\xD0\xB0\xD0\xBC\xD0\xB5\xD1\x82\xD0\xBA\xD0\xB8: "
                  "\xD1\x91\xD0\xBB\xD0\xBA\xD0\xB8, \xD0\xB5\xD0\xBB\xD0\xB8 "
                  "&amp; \xD0\xBF\xD0\xB8\xD1\x85\xD1\x82\xD1\x8B; a "
                  "continuation line joins the description.") +
          FileRow(url + "utf8/" + greek, greek, "20", date,
                  "\xD0\x93\xD1\x80\xD0\xB5\xD1\x87\xD0\xB5\xD1\x81\xD0\xBA"
                  "\xD0\xB8\xD0\xB9 \xD0\xB0\xD0\xBB\xD1\x84\xD0\xB0\xD0\xB2"
                  "\xD0\xB8\xD1\x82: \xCE\xB1, \xCE\xB2, \xCE\xB3 "
                  "(windows-1251 lacks them).") +
          FileRow(url + "utf8/" + report, report, "21", date,
                  "\xD0\x93\xD0\xBE\xD0\xB4\xD0\xBE\xD0\xB2\xD0\xBE\xD0\xB9 "
                  "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82 \xE2\x80\x94 "
                  "\xC2\xAB\xD0\xB8\xD1\x82\xD0\xBE\xD0\xB3\xD0\xB8 \xD0\xB3"
                  "\xD0\xBE\xD0\xB4\xD0\xB0\xC2\xBB, written in UTF-8.") +
          Foot("49", 3));
  // ёлка.gif and Стихи.txt, described in KOI8-R: ё stays ё.
  const std::string tree = "\xD1\x91\xD0\xBB\xD0\xBA\xD0\xB0.gif";
  const std::string poems = "\xD0\xA1\xD1\x82\xD0\xB8\xD1\x85\xD0\xB8.txt";
  EXPECT_EQ(
      tree_.Read("archive/koi/FILES.HTM"),
      head("koi") +
          FileRow(url + "koi/" + tree, tree, "26", date,
                  "\xD0\x9D\xD0\xBE\xD0\xB2\xD0\xBE\xD0\xB3\xD0\xBE\xD0\xB4"
                  "\xD0\xBD\xD1\x8F\xD1\x8F \xD1\x91\xD0\xBB\xD0\xBA\xD0\xB0 "
                  "(\xD0\xBA\xD0\xB0\xD1\x80\xD1\x82\xD0\xB8\xD0\xBD\xD0\xBA"
                  "\xD0\xB0)") +
          FileRow(url + "koi/" + poems, poems, "12", date,
                  "\xD0\xA1\xD1\x82\xD0\xB8\xD1\x85\xD0\xB8 \xD1\x80\xD1\x83"
                  "\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD1\x85 \xD0\xBF\xD0\xBE"
                  "\xD1\x8D\xD1\x82\xD0\xBE\xD0\xB2, \xD0\xBF\xD0\xBE\xD0\xB4"
                  "\xD0\xB1\xD0\xBE\xD1\x80\xD0\xBA\xD0\xB0.") +
          Foot("38", 2));
  // The same run again finds the page unchanged and leaves it alone; a run
  // in windows-1251 finds it different and replaces it.
  struct stat before {};
  ASSERT_EQ(stat(tree_.Path("archive/koi/FILES.HTM").c_str(), &before), 0);
  ASSERT_EQ(Run(args).exit_code, 0);
  struct stat after {};
  ASSERT_EQ(stat(tree_.Path("archive/koi/FILES.HTM").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(Run({Native(tree_.Path("archive")), url, "/t"}).exit_code, 0);
  EXPECT_NE(tree_.Read("archive/koi/FILES.HTM").find("charset=windows-1251"),
            std::string::npos);
}

TEST_F(E2eTest, DescriptionsInEachCodePageWithCyrillicNames) {
  struct Case {
    const char* dir;
    std::string bbs;  // "отчёт.doc Годовой отчёт" in the code page
    std::string expected;  // the description as the page shows it
  };
  const Case cases[] = {
      // Code page 866.
      {"dos",
       "\xAE\xE2\xE7\xF1\xE2.doc \x83\xAE\xA4\xAE\xA2\xAE\xA9 "
       "\xAE\xE2\xE7\xF1\xE2\r\n",
       "\xC3\xEE\xE4\xEE\xE2\xEE\xE9 \xEE\xF2\xF7\xB8\xF2"},
      // windows-1251.
      {"win",
       "\xEE\xF2\xF7\xB8\xF2.doc \xC3\xEE\xE4\xEE\xE2\xEE\xE9 "
       "\xEE\xF2\xF7\xB8\xF2\n",
       "\xC3\xEE\xE4\xEE\xE2\xEE\xE9 \xEE\xF2\xF7\xB8\xF2"},
      // KOI8-R.
      {"koi",
       "\xCF\xD4\xDE\xA3\xD4.doc \xE7\xCF\xC4\xCF\xD7\xCF\xCA "
       "\xCF\xD4\xDE\xA3\xD4\n",
       "\xC3\xEE\xE4\xEE\xE2\xEE\xE9 \xEE\xF2\xF7\xB8\xF2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    tree_.Dir(c.dir);
    tree_.File(std::string(c.dir) + "/FILES.BBS", c.bbs);
    const std::string file =
        std::string(c.dir) + "/\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x81\xD0\xA2.doc";
    tree_.File(file, "abc");
    tree_.Date(file, 2006, 6, 6);
    const ProcessResult r = Run({Native(tree_.Path(c.dir)), "", "/t"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // ОТЧЁТ.doc in windows-1251, in the link and in the name cell.
    const std::string name = "\xCE\xD2\xD7\xA8\xD2.doc";
    EXPECT_EQ(tree_.Read(std::string(c.dir) + "/FILES.HTM"),
              Head(c.dir) + FileRow(name, name, "3", "06-06-06", c.expected) +
                  Foot("3", 1));
  }
}

TEST_F(E2eTest, LongDescriptionsAndOldMacLineEndsReachThePageWhole) {
  // 1,000 bytes of words, and "отчёт " 166 times in code page 866 and as
  // the page shows it in windows-1251.
  std::string words;
  for (int i = 0; i < 111; ++i)
    words += "word" + std::to_string(1000 + i) + " ";
  words.back() = '.';
  words += ".";
  std::string dos, shown;
  for (int i = 0; i < 166; ++i) {
    dos += "\xAE\xE2\xE7\xF1\xE2 ";
    shown += "\xEE\xF2\xF7\xB8\xF2 ";
  }
  shown.pop_back();
  const std::string half = words.substr(0, 500);
  const struct {
    const char* dir;
    std::string bbs;
    std::string a, b, c;  // the descriptions of a.txt, b.txt and c.txt
  } kCases[] = {
      {"long",
       "a.txt " + words + "\r\nb.txt " + half + "\r\n    " + half +
           "\r\nc.txt " + dos + "\r\n",
       words, half + " " + half, shown},
      {"mac",
       "a.txt " + words + "\rb.txt first line\r    second line\r\r" + "c.txt " +
           dos + "\r",
       words, "first line second line", shown},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.dir);
    const std::string dir = c.dir;
    tree_.Dir(dir);
    tree_.File(dir + "/FILES.BBS", c.bbs);
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
      tree_.File(dir + "/" + name, "12");
      tree_.Date(dir + "/" + name, 2011, 11, 11);
    }
    const ProcessResult r = Run({Native(tree_.Path(dir)), "", "/t"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // A two-digit month is written after a blank.
    const std::string date = " 11-11-11";
    EXPECT_EQ(tree_.Read(dir + "/FILES.HTM"),
              Head(dir) + FileRow("a.txt", "a.txt", "2", date, c.a) +
                  FileRow("b.txt", "b.txt", "2", date, c.b) +
                  FileRow("c.txt", "c.txt", "2", date, c.c) + Foot("6", 3));
  }
}

TEST_F(E2eTest, KoiDescriptionsKeepTheirOwnLettersAndFrames) {
  // KOI8-R: a frame drawn in box-drawing bytes around ОБЪЁМ and small
  // letters (ёлки, рамка из линий в кодировке), and its page in
  // windows-1251: the frame as the look-alikes it has in code page 866
  // text, Ё, ё and Ъ as themselves.
  const std::string bbs =
      "k.txt \xA5\xA0\xA0\xA8 \xEF\xE2\xFF\xB3\xED \xA3\xCC\xCB\xC9 \xA1 "
      "\xD2\xC1\xCD\xCB\xC1 \xC9\xDA \xCC\xC9\xCE\xC9\xCA \xD7 "
      "\xCB\xCF\xC4\xC9\xD2\xCF\xD7\xCB\xC5 \xAB\xA0\xA0\xAE\r\n";
  const std::string shown =
      "+--+ \xCE\xC1\xDA\xA8\xCC \xB8\xEB\xEA\xE8 \xA6 "
      "\xF0\xE0\xEC\xEA\xE0 \xE8\xE7 \xEB\xE8\xED\xE8\xE9 \xE2 "
      "\xEA\xEE\xE4\xE8\xF0\xEE\xE2\xEA\xE5 +--+";
  tree_.Dir("K");
  tree_.File("K/FILES.BBS", bbs);
  tree_.File("K/k.txt", "1234");
  tree_.Date("K/k.txt", 2012, 12, 12);
  const ProcessResult r = Run({Native(tree_.Path("K")), "", "/t"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(tree_.Read("K/FILES.HTM"),
            Head("K") + FileRow("k.txt", "k.txt", "4", " 12-12-12", shown) +
                Foot("4", 1));
}

TEST_F(E2eTest, NamesAndDescriptionsCannotAddMarkupAndLinksReachTheirFiles) {
  tree_.Dir("H");
  // name, link, name cell; in the order of the page: letters as capitals,
  // signs and digits before them.
  const struct {
    std::string name, link, shown;
  } names[] = {
      {"#1.txt", "%231.txt", "#1.txt"},
      {"50%.txt", "50%25.txt", "50%.txt"},
      {"<x>.txt", "&lt;x&gt;.txt", "&lt;x&gt;.txt"},
      {"a&b.txt", "a&amp;b.txt", "a&amp;b.txt"},
      {"back\\slash", "back%5Cslash", "back\\slash"},
      {"box\xE2\x94\x80", "box%E2%94%80", "box-"},
      {"caf\xC3\xA9.txt", "caf&#233;.txt", "caf&#233;.txt"},
      {"No\xE2\x84\x96 1", "No\xB9 1", "No\xB9 1"},
      {"q\"uote.txt", "q&quot;uote.txt", "q&quot;uote.txt"},
      // Wine reads a byte that is not UTF-8 as U+FFFD.
      {"raw\xFF", kUnderWine ? "raw&#65533;" : "raw%FF",
       kUnderWine ? "raw&#65533;" : "raw_"},
      {"smile\xF0\x9F\x98\x80.txt", "smile&#128512;.txt", "smile&#128512;.txt"},
      {"what?.txt", "what%3F.txt", "what?.txt"},
  };
  std::string rows;
  for (const auto& c : names) {
    tree_.File("H/" + c.name, "");
    tree_.Date("H/" + c.name, 2015, 5, 15);
    std::optional<std::string> description;
    if (c.name == "a&b.txt")
      description = "&lt;script&gt;x&lt;/script&gt; &amp; &quot;more&quot;";
    rows += FileRow(c.link, c.shown, "0", "05-15-15", description);
  }
  tree_.File("H/FILES.BBS", "A&B.TXT <script>x</script> & \"more\"\r\n");
  const ProcessResult r = Run({Native(tree_.Path("H"))});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(tree_.Read("H/FILES.HTM"),
            Head("H") + rows + Foot("0", static_cast<int>(std::size(names))));
}

TEST_F(E2eTest, LargeSizesAndOldDatesAreShownAsTheyAre) {
  tree_.Dir("S");
  tree_.Sparse("S/big.iso", (5LL << 30));
  tree_.File("S/old.txt", "1");
  tree_.Date("S/big.iso", 2030, 12, 25);
  tree_.Date("S/old.txt", 1970, 1, 1);
  const ProcessResult r = Run({Native(tree_.Path("S"))});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(
      tree_.Read("S/FILES.HTM"),
      Head("S") +
          InNameOrder(
              {{"big.iso",
                FileRow("big.iso", "big.iso", "5368709120", " 12-25-30")},
               {"old.txt", FileRow("old.txt", "old.txt", "1", "01-01-70")}}) +
          Foot("5368709121", 2));
}

#ifndef TABULON_WINDOWS_BUILD
// Each file's date is its local date in the zone TZ names, on either side of
// that zone's midnight: half and quarter hours, saving time of half an hour,
// a date before 1970. Worked out apart from the program (Python's zoneinfo).
TEST_F(E2eTest, DatesAreTheLocalDatesOfTheZoneTzNames) {
  const std::int64_t kTimes[] = {999973799,  999973800,  1688178599,
                                 1688178600, 1704027599, 1704027600,
                                 -122401,    -122400};
  const struct {
    const char* zone;
    const char* dates[8];
  } kZones[] = {
      {"Asia/Kolkata",
       {"09-08-01", "09-09-01", "07-01-23", "07-01-23", " 12-31-23",
        " 12-31-23", " 12-30-69", " 12-30-69"}},
      {"America/St_Johns",
       {"09-08-01", "09-08-01", "06-30-23", "07-01-23", " 12-31-23",
        " 12-31-23", " 12-30-69", " 12-30-69"}},
      {"Australia/Lord_Howe",
       {"09-09-01", "09-09-01", "07-01-23", "07-01-23", " 12-31-23",
        "01-01-24", " 12-30-69", " 12-31-69"}},
  };
  tree_.Dir("Z");
  for (std::size_t i = 0; i < std::size(kTimes); ++i) {
    const std::string name = "t" + std::to_string(i) + ".txt";
    tree_.File("Z/" + name, "");
    tree_.Time("Z/" + name, kTimes[i]);
  }
  for (const auto& z : kZones) {
    if (!std::filesystem::exists(std::string("/usr/share/zoneinfo/") +
                                 z.zone)) {
      continue;
    }
    SCOPED_TRACE(z.zone);
    ProcessOptions options;
    options.env.push_back(std::string("TZ=") + z.zone);
    const ProcessResult r = Run({Native(tree_.Path("Z"))}, options);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string page = tree_.Read("Z/FILES.HTM");
    for (std::size_t i = 0; i < std::size(kTimes); ++i) {
      const std::string name = "t" + std::to_string(i) + ".txt";
      EXPECT_NE(page.find(FileRow(name, name, "0", z.dates[i])),
                std::string::npos)
          << name << " " << z.dates[i] << "\n" << page;
    }
  }
}
#endif

TEST_F(E2eTest, DescriptionFileInAnyLetterCase) {
  tree_.Dir("L");
  tree_.File("L/files.bbs", "a.txt lower-case description file\n");
  tree_.File("L/a.txt", "");
  tree_.File("L/files.htm", "");
  tree_.Date("L/a.txt", 2012, 1, 2);
  tree_.Date("L/files.htm", 2012, 1, 2);
  const ProcessResult r = Run({Native(tree_.Path("L"))});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // Windows names ignore case: there the page replaces files.htm, and Wine
  // keeps that name.
  EXPECT_EQ(
      tree_.Read(kUnderWine ? "L/files.htm" : "L/FILES.HTM"),
      Head("L") +
          InNameOrder({{"a.txt", FileRow("a.txt", "a.txt", "0", "01-02-12",
                                         "lower-case description file")},
                       {"files.htm",
                        FileRow("files.htm", "files.htm", "0", "01-02-12")}}) +
          Foot("0", 2));
}

// Where letter case tells names apart, only FILES.HTM so named is the page
// and only one description file is read: a files.htm (a page from
// elsewhere) and a second files.bbs are a visitor's, listed, counted,
// excluded like any entry and left as they are.
TEST_F(E2eTest, OwnNamesInAnotherLetterCaseAreOrdinaryEntries) {
  if (kUnderWine) {
    GTEST_SKIP() << "Windows names ignore letter case: files.htm is the page";
  }
  const struct {
    std::vector<std::string> switches;
    bool listed;
  } cases[] = {{{}, true},
               {{"--exclude=FILES.HTM", "--exclude=files.bbs"}, false}};
  for (const auto& c : cases) {
    tree_.Dir("C");
    tree_.File("C/FILES.BBS", "a.txt described\r\n");
    tree_.File("C/files.bbs", "a.txt not this one\r\n");
    tree_.File("C/files.htm", "<p>old</p>");
    tree_.File("C/a.txt", "");
    for (const char* f : {"C/files.bbs", "C/files.htm", "C/a.txt"}) {
      tree_.Date(f, 2012, 1, 2);
    }
    std::vector<std::string> args = {Native(tree_.Path("C"))};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    const ProcessResult r = Run(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::map<std::string, std::string> rows = {
        {"a.txt", FileRow("a.txt", "a.txt", "0", "01-02-12", "described")}};
    if (c.listed) {
      rows["files.bbs"] = FileRow("files.bbs", "files.bbs", "20", "01-02-12");
      rows["files.htm"] = FileRow("files.htm", "files.htm", "10", "01-02-12");
    }
    EXPECT_EQ(tree_.Read("C/FILES.HTM"),
              Head("C") + InNameOrder(rows) +
                  (c.listed ? Foot("30", 3) : Foot("0", 1)));
    EXPECT_EQ(tree_.Read("C/files.htm"), "<p>old</p>");
  }
}

TEST_F(E2eTest, LinksToDirectoriesAreListedButNotFollowed) {
  if (kUnderWine) {
    GTEST_SKIP() << "Wine shows a Unix symbolic link as the file or directory "
                    "it leads to, "
                    "never as a reparse point, and cannot make a junction";
  }
  tree_.Dir("outside");
  tree_.Dir("K/real");
  tree_.File("outside/target.txt", "123456");
  tree_.Date("outside/target.txt", 2003, 3, 3);
  tree_.Date("outside", 2004, 4, 4);
  tree_.Link("K/out", "../outside");
  tree_.Link("K/file.lnk", "../outside/target.txt");
  tree_.Link("K/loop", ".");
  tree_.Date("K/real", 2005, 5, 5);
  const ProcessResult r = Run({"/t", Native(tree_.Path("K"))});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(tree_.Exists("outside/FILES.HTM"));
  EXPECT_TRUE(tree_.Exists("K/real/FILES.HTM"));
  const std::string page = tree_.Read("K/FILES.HTM");
  EXPECT_NE(page.find(DirRow("out", "out", "04-04-04")), std::string::npos)
      << page;
  EXPECT_NE(page.find(FileRow("file.lnk", "file.lnk", "6", "03-03-03")),
            std::string::npos);
  EXPECT_NE(page.find(">loop</b>"), std::string::npos);
  EXPECT_NE(page.find(Foot("6", 1)), std::string::npos);
}

TEST_F(E2eTest, PathsLongerThanTheOldLimitAreListedInBothModes) {
  // Five levels of 60 characters: well past 255 and Windows' MAX_PATH.
  std::string deep;
  std::vector<std::string> levels;
  for (char c = 'a'; c < 'f'; ++c) {
    deep += (deep.empty() ? "" : "/") + std::string(60, c);
    levels.push_back("R/" + deep);
    tree_.Dir(levels.back());
  }
  ASSERT_GT(Native(tree_.Path(levels.back())).size(), 300u);
  tree_.File(levels.back() + "/deep.txt", "12");
  tree_.Date(levels.back() + "/deep.txt", 2011, 8, 9);

  ProcessResult r = Run({Native(tree_.Path("R"))});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(tree_.Read("R/FILES.HTM"),
            Head("R") +
                FileRow(deep + "/deep.txt", "deep.txt", "2", "08-09-11") +
                Foot("2", 1));

  r = Run({Native(tree_.Path("R")), "/t"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(tree_.Read(levels.back() + "/FILES.HTM"),
            Head(std::string(60, 'e')) +
                FileRow("deep.txt", "deep.txt", "2", "08-09-11") +
                Foot("2", 1));
  for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
    EXPECT_TRUE(tree_.Exists(levels[i] + "/FILES.HTM")) << levels[i];
  }
}

TEST_F(E2eTest, CommandLineVariants) {
  tree_.Dir("C/sub");
  tree_.Dir("C/pub/texts");
  struct Case {
    std::vector<std::string> args;
    bool in_tree;  // run from inside C
    bool expect_tree_mode;
  };
  const Case cases[] = {
      {{}, true, false},                              // current directory
      {{"/t"}, true, true},                           // switch alone
      {{"", Native(tree_.Path("C"))}, false, false},  // empty argument skipped
      {{Native(tree_.Path("C")) + kSeparator, "/pub/texts/"},
       false,
       false},  // "/t" inside an address
      {{Native(tree_.Path("C")), "/tree"},
       false,
       false},  // only a whole "/t" switches
      {{Native(tree_.Path("C")), "x", "/T"}, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::remove(tree_.Path("C/FILES.HTM").c_str());
    std::remove(tree_.Path("C/sub/FILES.HTM").c_str());
    ProcessOptions options;
    if (c.in_tree) options.cwd = tree_.Path("C");
    const ProcessResult r = Run(c.args, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, kBanner);
    const std::string page = tree_.Read("C/FILES.HTM");
    EXPECT_EQ(page.substr(0, Head("C").size()), Head("C"));
    EXPECT_EQ(tree_.Exists("C/sub/FILES.HTM"), c.expect_tree_mode);
  }
}

TEST_F(E2eTest, FailuresAreReportedAndSetTheExitCode) {
  tree_.File("plain", "not a directory");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{Native(tree_.Path("missing"))},
        std::vector<std::string>{Native(tree_.Path("missing")), "", "/t"},
        std::vector<std::string>{Native(tree_.Path("plain"))}}) {
    SCOPED_TRACE(args[0]);
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.err.rfind("tabulon: cannot read directory '" + args[0] +
                              kSeparator + "': ",
                          0),
              0u)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  }
}

TEST_F(E2eTest, NewPageGetsDefaultPermissionsAndReplacedPageKeepsItsOwn) {
  if (kUnderWine) {
    GTEST_SKIP() << "a Windows program has no file modes or umask: Wine "
                    "creates every file "
                    "with the Linux defaults";
  }
  tree_.Dir("P/sub");
  tree_.File("P/sub/FILES.HTM", "old page");
  chmod(tree_.Path("P/sub/FILES.HTM").c_str(), 0600);
  ProcessOptions options;
  options.in_child = [] { umask(022); };
  const ProcessResult r = Run({Native(tree_.Path("P")), "/t"}, options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  struct stat st;
  ASSERT_EQ(stat(tree_.Path("P/FILES.HTM").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(stat(tree_.Path("P/sub/FILES.HTM").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(tree_.Read("P/sub/FILES.HTM"), Head("sub") + Foot("0", 0));
  for (const std::string dir : {"P", "P/sub"}) {
    for (const std::string& name : tree_.Names(dir)) {
      EXPECT_NE(name[0], '.') << "temporary file left: " << dir << "/" << name;
    }
  }
}

// Whether `text` is the report of memory run out in `module`: "Exception
// EOutOfMemory in module <module> at <address>." and "Out of memory.", the
// address eight or more hexadecimal digits in capitals. Matched by hand:
// <regex> would double the time this file takes to compile.
bool IsOutOfMemoryReport(std::string_view text, std::string_view module) {
  const std::string head =
      "Exception EOutOfMemory in module " + std::string(module) + " at ";
  constexpr std::string_view kTail = ".\r\nOut of memory.";
  if (text.size() < head.size() + kTail.size() || !text.starts_with(head) ||
      !text.ends_with(kTail)) {
    return false;
  }
  const std::string_view address =
      text.substr(head.size(), text.size() - head.size() - kTail.size());
  return address.size() >= 8 &&
         std::all_of(address.begin(), address.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
         });
}

TEST_F(E2eTest, OutOfMemoryIsReportedAndKeepsThePreviousPage) {
  // Wine itself needs about 2 GiB of address space to start. A limit the
  // memory guard of the description files doesn't watch, so that memory
  // really runs out: Windows tells nothing of the host's limit of address
  // space, and the guard on Linux watches that limit but not this one, of
  // the data.
  static constexpr rlim_t kLimit =
      kUnderWine ? rlim_t{3} << 30 : rlim_t{256} << 20;
  ProcessOptions options;
  options.in_child = [] {
    rlimit limit{kLimit, kLimit};
    setrlimit(kUnderWine ? RLIMIT_AS : RLIMIT_DATA, &limit);
  };
  // A description file larger than that address space is read a block at
  // a time: it costs what its one record needs.
  tree_.Dir("S");
  tree_.File("S/a.txt", "a");
  tree_.Sparse("S/FILES.BBS", static_cast<std::int64_t>(kLimit + kLimit / 4));
  const ProcessResult sparse = Run({Native(tree_.Path("S"))}, options);
  EXPECT_EQ(sparse.exit_code, 0) << sparse.err;
  EXPECT_NE(tree_.Read("S/FILES.HTM").find(">a.txt</a>"), std::string::npos);

  // Records that need more memory than there is: a file of empty lines,
  // each a record of its own, which with its place in the lookup takes
  // more than 16 bytes. In a large directory the description file is read
  // on the rows' own thread; running out of memory there is reported all
  // the same.
  const std::string empty_lines(kLimit / 16, '\n');
  for (const std::size_t files : {std::size_t{0}, std::size_t{1100}}) {
    SCOPED_TRACE(std::to_string(files) + " files");
    const std::string dir = "M" + std::to_string(files);
    tree_.Dir(dir);
    tree_.File(dir + "/FILES.HTM", "previous page");
    tree_.File(dir + "/FILES.BBS", empty_lines);
    for (std::size_t i = 0; i < files; ++i) {
      tree_.File(dir + "/f" + std::to_string(i), "");
    }
    const ProcessResult r = Run({Native(tree_.Path(dir))}, options);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    ASSERT_EQ(r.out.substr(0, sizeof kBanner - 1), kBanner);
    EXPECT_TRUE(IsOutOfMemoryReport(r.out.substr(sizeof kBanner - 1),
                                    kUnderWine ? "tabulon.exe" : "tabulon"))
        << r.out;
    EXPECT_EQ(tree_.Read(dir + "/FILES.HTM"), "previous page");
    EXPECT_EQ(tree_.Names(dir).size(), files + 2);  // no temporary page left
  }
}

}  // namespace
}  // namespace tabulon::testing
