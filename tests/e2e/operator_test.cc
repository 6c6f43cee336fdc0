// What archive operators ask for: entries left out by pattern, and runs
// from cron that leave unchanged pages alone. The POSIX build, and the
// Windows build under Wine.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace tabulon::testing {
namespace {

struct Stamp {
  long long mtime_ns = 0;
  unsigned long long inode = 0;
  bool operator==(const Stamp&) const = default;
};

Stamp StampOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {};
  return {static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL +
              st.st_mtim.tv_nsec,
          static_cast<unsigned long long>(st.st_ino)};
}

TEST_F(E2eTest, ExcludedEntriesGetNoRowNoCountAndNoPage) {
  tree_.Dir("X/cache");
  tree_.Dir("X/sub/deeper");
  tree_.Dir("X/Keep");
  tree_.File("X/a.txt", "aa");
  tree_.File("X/b.TMP", "bbbb");
  tree_.File("X/\xD0\xB6\xD1\x83\xD0\xBA.txt", "ccc");  // жук.txt
  tree_.File("X/cache/c.txt", "c");
  tree_.File("X/sub/skip.txt", "sss");
  tree_.File("X/sub/keep.txt", "kk");
  tree_.File("X/sub/deeper/skip.txt", "d");
  tree_.File("X/Keep/skip.txt", "e");
  tree_.File("X/FILES.BBS", "A.TXT described\r\n");
  for (const char* f : {"X/a.txt", "X/b.TMP", "X/\xD0\xB6\xD1\x83\xD0\xBA.txt",
                        "X/cache/c.txt", "X/sub/skip.txt", "X/sub/keep.txt",
                        "X/sub/deeper/skip.txt", "X/Keep/skip.txt"}) {
    tree_.Date(f, 2020, 1, 2);
  }
  // Letter case aside, in Latin and Russian; a pattern with "/" holds for
  // the path below the start; FILES.BBS and FILES.HTM stay whatever matches.
  const std::vector<std::string> switches = {
      "--exclude=*.tmp", "--exclude=CACHE", "--exclude=Ж*",
      "--exclude=sub/skip.txt", "--exclude=FILES.*"};
  for (const bool tree_mode : {false, true}) {
    SCOPED_TRACE(tree_mode ? "/t" : "one page");
    std::vector<std::string> args = {switches[0], Native(tree_.Path("X"))};
    args.insert(args.end(), switches.begin() + 1, switches.end());
    if (tree_mode) args.push_back("/t");
    for (const std::string dir : {"Keep", "sub", "sub/deeper"}) {
      tree_.Date("X/" + dir, 2021, 3, 4);
    }
    const ProcessResult r = Run(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string a =
        FileRow("a.txt", "a.txt", "2", "01-02-20", "described");
    if (!tree_mode) {
      EXPECT_EQ(
          tree_.Read("X/FILES.HTM"),
          Head("X") + a +
              FileRow("Keep/skip.txt", "skip.txt", "1", "01-02-20") +
              FileRow("sub/keep.txt", "keep.txt", "2", "01-02-20") +
              FileRow("sub/deeper/skip.txt", "skip.txt", "1", "01-02-20") +
              Foot("6", 4));
      continue;
    }
    EXPECT_EQ(tree_.Read("X/FILES.HTM"),
              Head("X") + a + DirRow("Keep", "Keep", "03-04-21") +
                  DirRow("sub", "sub", "03-04-21") + Foot("2", 1));
    EXPECT_EQ(tree_.Read("X/sub/FILES.HTM"),
              Head("sub") + DirRow("deeper", "deeper", "03-04-21") +
                  FileRow("keep.txt", "keep.txt", "2", "01-02-20") +
                  Foot("2", 1));
    EXPECT_TRUE(tree_.Exists("X/sub/deeper/FILES.HTM"));
    EXPECT_FALSE(tree_.Exists("X/cache/FILES.HTM"));
  }
}

TEST_F(E2eTest, BadPatternJobCountOrCharsetStopsTheRunBeforeAnyPage) {
  // A control character ends a parameter of a Windows command line; POSIX
  // hands it over, and the report shows it escaped.
  const std::string unclosed = std::string("tabulon: bad pattern '[") +
                               (kUnderWine ? "" : "\\x1B") +
                               "': '[' without ']'\n";
  const struct {
    std::vector<std::string> args;  // "B" is the start directory
    std::string err;
  } cases[] = {
      {{"B", "--exclude=[abc"},
       "tabulon: bad pattern '[abc': '[' without ']'\n"},
      {{"--jobs=0", "B", "/t"}, "tabulon: bad job count '0': less than 1\n"},
      {{"B", "--jobs=x"}, "tabulon: bad job count 'x': not a whole number\n"},
      {{"B", "--charset=koi8-r", "/t"},
       "tabulon: bad charset 'koi8-r': not utf-8 or windows-1251\n"},
      {{"--charset=", "B"}, "tabulon: bad charset '': no charset named\n"},
      // Every bad one is reported, the patterns first.
      {{"--jobs=257", "B", "--exclude=*.txt", "--exclude=", "/t",
        "--exclude=[\x1B"},
       "tabulon: bad pattern '': empty pattern\n" + unclosed +
           "tabulon: bad job count '257': more than 256\n"},
  };
  tree_.Dir("B/a");
  tree_.File("B/a/file.txt", "x");
  tree_.File("B/FILES.HTM", "the page before");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
      if (arg == "B") arg = Native(tree_.Path("B"));
    }
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(tree_.Read("B/FILES.HTM"), "the page before");
    EXPECT_FALSE(tree_.Exists("B/a/FILES.HTM"));
  }
  // The same switches, well formed, let the run write its pages.
  const ProcessResult r =
      Run({"--jobs=04", Native(tree_.Path("B")), "--exclude=*.tmp", "/t",
           "--jobs=1", "--charset=utf-8"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(tree_.Exists("B/a/FILES.HTM"));
}

TEST_F(E2eTest, DescriptIonGivesDescriptionsInEachCodePage) {
  for (const char* dir : {"D/koi", "D/utf", "D/both"}) tree_.Dir(dir);
  // Code page 866: a quoted name with a blank, a name in other letter case,
  // a directory.
  tree_.Dir("D/dos/\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0");  // Папка
  tree_.File(
      "D/dos/\xD0\x9C\xD0\xBE\xD0\xB8 "
      "\xD0\xB7\xD0\xB0\xD0\xBC\xD0\xB5\xD1\x82\xD0\xBA\xD0\xB8.txt",
      "12");  // Мои заметки.txt
  tree_.File("D/dos/\xD0\x9E\xD0\xA2\xD0\xA7\xD0\x81\xD0\xA2.DOC",
             "345");  // ОТЧЁТ.DOC
  tree_.File("D/dos/DESCRIPT.ION",
             "\"\x8C\xAE\xA8 \xA7\xA0\xAC\xA5\xE2\xAA\xA8.txt\" "
             "\x87\xA0\xAC\xA5\xE2\xAA\xA8, "
             "\xA8\xAC\xEF \xA2 \xAA\xA0\xA2\xEB\xE7\xAA\xA0\xE5\r\n"
             "\xAE\xE2\xE7\xF1\xE2.doc \x83\xAE\xA4\xAE\xA2\xAE\xA9 "
             "\xAE\xE2\xE7\xF1\xE2 "
             "\xA7\xA0 \xA3\xAE\xA4\r\n"
             "\xAF\xA0\xAF\xAA\xA0 \x8A\xA0\xE2\xA0\xAB\xAE\xA3 \xE1 "
             "\xAF\xA8\xE1\xEC\xAC\xA0\xAC\xA8\r\n");
  // KOI8-R, named in lower case: a continuation line, a name in other
  // letter case, what follows 0x04 on its line not shown.
  tree_.File("D/koi/readme.txt", "r");
  tree_.File("D/koi/\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5.zip",
             "zz");  // данные.zip
  tree_.File("D/koi/x.txt", "");
  tree_.File(
      "D/koi/descript.ion",
      "readme.txt \xF0\xD2\xCF\xDE\xD4\xC9 \xCD\xC5\xCE\xD1 "
      "\xD3\xCE\xC1\xDE\xC1\xCC\xC1\r\n"
      "  \xC9 \xD0\xCF\xD4\xCF\xCD \xC5\xDD\xA3 \xD2\xC1\xDA\r\n"
      "\xE4\xE1\xEE\xEE\xF9\xE5.ZIP \xE1\xD2\xC8\xC9\xD7 "
      "\xC4\xC1\xCE\xCE\xD9\xC8\r\n"
      "x.txt "
      "\xEB\xCF\xD2\xCF\xD4\xCB\xCF\xC5\x04\xD3\xCB\xD2\xD9\xD4\xCF\xC5\r\n");
  // UTF-8 with a byte order mark, and the multi-line form.
  tree_.File("D/utf/\xD0\x81\xD0\xBB\xD0\xBA\xD0\xB0.png", "png");  // Ёлка.png
  tree_.File("D/utf/setup.exe", "exe!");
  tree_.File(
      "D/utf/DESCRIPT.ION",
      "\xEF\xBB\xBF\xD0\x81\xD0\xBB\xD0\xBA\xD0\xB0.png "
      "\xD0\x9D\xD0\xBE\xD0\xB2\xD0\xBE"
      "\xD0\xB3\xD0\xBE\xD0\xB4\xD0\xBD\xD1\x8F\xD1\x8F "
      "\xD1\x91\xD0\xBB\xD0\xBA\xD0\xB0\r\n"
      "setup.exe "
      "\xD0\xA3\xD1\x81\xD1\x82\xD0\xB0\xD0\xBD\xD0\xBE\xD0\xB2\xD1\x89\xD0\xB8"
      "\xD0\xBA\\n\xD0\x97\xD0\xB0\xD0\xBF\xD1\x83\xD1\x81\xD1\x82\xD0\xB8\xD1"
      "\x82\xD1\x8C "
      "\xD0\xBE\xD0\xB4\xD0\xB8\xD0\xBD \xD1\x80\xD0\xB0\xD0\xB7\x04\xC2\r\n");
  // Where both are, FILES.BBS describes and DESCRIPT.ION is a file like any.
  tree_.File("D/both/a.txt", "a");
  tree_.File("D/both/FILES.BBS", "A.TXT from FILES.BBS\r\n");
  tree_.File("D/both/DESCRIPT.ION", "a.txt from DESCRIPT.ION\r\n");
  for (const char* dir : {"dos", "koi", "utf", "both"}) {
    for (const std::string& name : tree_.Names(std::string("D/") + dir)) {
      tree_.Date(std::string("D/") + dir + "/" + name, 2021, 5, 6);
    }
  }
  const ProcessResult r = Run({Native(tree_.Path("D")), "/t"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string date = "05-06-21";
  EXPECT_EQ(
      tree_.Read("D/dos/FILES.HTM"),
      Head("dos") +
          FileRow("\xCC\xEE\xE8 \xE7\xE0\xEC\xE5\xF2\xEA\xE8.txt",
                  "\xCC\xEE\xE8 \xE7\xE0\xEC\xE5\xF2\xEA\xE8.txt", "2", date,
                  "\xC7\xE0\xEC\xE5\xF2\xEA\xE8, \xE8\xEC\xFF \xE2 "
                  "\xEA\xE0\xE2\xFB\xF7\xEA\xE0\xF5") +
          FileRow("\xCE\xD2\xD7\xA8\xD2.DOC", "\xCE\xD2\xD7\xA8\xD2.DOC", "3",
                  date,
                  "\xC3\xEE\xE4\xEE\xE2\xEE\xE9 \xEE\xF2\xF7\xB8\xF2 \xE7\xE0 "
                  "\xE3\xEE\xE4") +
          DirRow("\xCF\xE0\xEF\xEA\xE0", "\xCF\xE0\xEF\xEA\xE0", date,
                 "\xCA\xE0\xF2\xE0\xEB\xEE\xE3 \xF1 "
                 "\xEF\xE8\xF1\xFC\xEC\xE0\xEC\xE8") +
          Foot("5", 2));
  EXPECT_EQ(tree_.Read("D/koi/FILES.HTM"),
            Head("koi") +
                FileRow("readme.txt", "readme.txt", "1", date,
                        "\xCF\xF0\xEE\xF7\xF2\xE8 \xEC\xE5\xED\xFF "
                        "\xF1\xED\xE0\xF7\xE0\xEB\xE0 "
                        // KOI8-R's ё stays ё.
                        "\xE8 \xEF\xEE\xF2\xEE\xEC \xE5\xF9\xB8 \xF0\xE0\xE7") +
                FileRow("x.txt", "x.txt", "0", date,
                        "\xCA\xEE\xF0\xEE\xF2\xEA\xEE\xE5") +
                FileRow("\xE4\xE0\xED\xED\xFB\xE5.zip",
                        "\xE4\xE0\xED\xED\xFB\xE5.zip", "2", date,
                        "\xC0\xF0\xF5\xE8\xE2 \xE4\xE0\xED\xED\xFB\xF5") +
                Foot("3", 3));
  EXPECT_EQ(
      tree_.Read("D/utf/FILES.HTM"),
      Head("utf") +
          FileRow("setup.exe", "setup.exe", "4", date,
                  "\xD3\xF1\xF2\xE0\xED\xEE\xE2\xF9\xE8\xEA "
                  "\xC7\xE0\xEF\xF3\xF1\xF2"
                  "\xE8\xF2\xFC \xEE\xE4\xE8\xED \xF0\xE0\xE7") +
          FileRow("\xA8\xEB\xEA\xE0.png", "\xA8\xEB\xEA\xE0.png", "3", date,
                  "\xCD\xEE\xE2\xEE\xE3\xEE\xE4\xED\xFF\xFF \xB8\xEB\xEA\xE0") +
          Foot("7", 2));
  EXPECT_EQ(
      tree_.Read("D/both/FILES.HTM"),
      Head("both") + FileRow("a.txt", "a.txt", "1", date, "from FILES.BBS") +
          FileRow("DESCRIPT.ION", "DESCRIPT.ION", "25", date) + Foot("26", 2));
}

TEST_F(E2eTest, SecondRunLeavesUnchangedPagesAsTheyAre) {
  tree_.Dir("R/one/deep");
  tree_.Dir("R/two");
  tree_.File("R/top.txt", "t");
  tree_.File("R/one/a.txt", "a");
  tree_.File("R/one/deep/d.txt", "d");
  tree_.File("R/two/b.txt", "b");
  const std::vector<std::string> dirs = {"R", "R/one", "R/one/deep", "R/two"};
  for (const std::string& dir : dirs) tree_.Date(dir, 2019, 6, 7);
  // The run's own pages do not date a directory, so the pages that show its
  // date (its parent's) come out the same the next time.
  for (const bool tree_mode : {true, false}) {
    SCOPED_TRACE(tree_mode ? "/t" : "one page");
    std::vector<std::string> args = {Native(tree_.Path("R")), "--json"};
    if (tree_mode) args.push_back("/t");
    ProcessResult r = Run(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::map<std::string, Stamp> before;
    for (const std::string& dir : dirs) {
      before[dir] = StampOf(tree_.Path(dir));
      for (const char* listing : {"/FILES.HTM", "/FILES.JSON"}) {
        if (tree_mode || dir == "R") {
          before[dir + listing] = StampOf(tree_.Path(dir + listing));
          EXPECT_NE(before[dir + listing].inode, 0u) << dir << listing;
        }
      }
    }
    const std::string page = tree_.Read("R/FILES.HTM");

    r = Run(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // Nothing written: no page replaced, and no temporary file made in any
    // directory (its date would have changed).
    for (const auto& [path, stamp] : before) {
      EXPECT_EQ(StampOf(tree_.Path(path)), stamp) << path;
    }
    EXPECT_EQ(tree_.Read("R/FILES.HTM"), page);

    // A file more in "two" dates it anew: its pages, and those that show
    // its date or list the file, change; the others stay.
    tree_.File("R/two/c.txt", "c");
    r = Run(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    for (const char* listing : {"R/FILES.HTM", "R/FILES.JSON"}) {
      EXPECT_NE(StampOf(tree_.Path(listing)).inode, before[listing].inode)
          << listing;
    }
    if (tree_mode) {
      for (const char* listing : {"R/two/FILES.HTM", "R/two/FILES.JSON"}) {
        EXPECT_NE(StampOf(tree_.Path(listing)).inode, before[listing].inode)
            << listing;
      }
      for (const char* listing :
           {"R/one/FILES.HTM", "R/one/FILES.JSON", "R/one/deep/FILES.HTM",
            "R/one/deep/FILES.JSON"}) {
        EXPECT_EQ(StampOf(tree_.Path(listing)), before[listing]) << listing;
      }
      EXPECT_NE(tree_.Read("R/two/FILES.HTM").find("c.txt"), std::string::npos);
    } else {
      EXPECT_NE(tree_.Read("R/FILES.HTM").find("two/c.txt"), std::string::npos);
    }
    std::remove(tree_.Path("R/two/c.txt").c_str());
    tree_.Date("R/two", 2019, 6, 7);
  }
}

// A page of megabytes, more than is held in memory while it is compared:
// unchanged, it is left alone, its directory too (where a temporary file
// came and went, the directory's time was put back); changed at its very
// end, it is replaced by the whole new page.
TEST_F(E2eTest, SecondRunLeavesALargeUnchangedPageAsItIs) {
  const int count = 10000;
  const std::string description(180, 'd');
  std::vector<std::string> names;
  std::string bbs;
  tree_.Dir("L");
  for (int i = 0; i < count; ++i) {
    char index[8];
    std::snprintf(index, sizeof index, "%05d", i);
    names.push_back(std::string(200, 'n') + index + ".txt");
    tree_.File("L/" + names.back(), "x");
    tree_.Date("L/" + names.back(), 2020, 1, 2);
    bbs += names.back() + " " + description + "\r\n";
  }
  tree_.File("L/FILES.BBS", bbs);
  // The page when the last file is `last_size` bytes long.
  const auto page_with = [&](int last_size) {
    std::string page = Head("L");
    for (int i = 0; i < count; ++i) {
      page += FileRow(names[i], names[i],
                      std::to_string(i + 1 < count ? 1 : last_size), "01-02-20",
                      description);
    }
    return page + Foot(std::to_string(count - 1 + last_size), count);
  };
  const std::vector<std::string> args = {Native(tree_.Path("L"))};
  ProcessResult r = Run(args);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string page = tree_.Read("L/FILES.HTM");
  const std::string expected = page_with(1);
  ASSERT_TRUE(page == expected)
      << page.size() << " bytes, expected " << expected.size();
  ASSERT_GT(page.size(), 5u << 20);
  tree_.Date("L", 2019, 6, 7);
  [[maybe_unused]] const Stamp dir_before = StampOf(tree_.Path("L"));
  const Stamp page_before = StampOf(tree_.Path("L/FILES.HTM"));

  r = Run(args);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(StampOf(tree_.Path("L/FILES.HTM")), page_before);
  // No temporary file came and went, or (no unnamed files to make: Wine,
  // other systems) the directory's time was put back after one did.
  EXPECT_EQ(StampOf(tree_.Path("L")), dir_before);
  for (const std::string& name : tree_.Names("L")) {
    EXPECT_NE(name[0], '.') << "temporary file left: " << name;
  }
  EXPECT_TRUE(tree_.Read("L/FILES.HTM") == page);

  // The last row's size and the foot change.
  tree_.File("L/" + names.back(), "xy");
  tree_.Date("L/" + names.back(), 2020, 1, 2);
  r = Run(args);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string written = tree_.Read("L/FILES.HTM");
  const std::string changed = page_with(2);
  EXPECT_TRUE(written == changed)
      << written.size() << " bytes, expected " << changed.size();
  EXPECT_NE(StampOf(tree_.Path("L/FILES.HTM")).inode, page_before.inode);
  for (const std::string& name : tree_.Names("L")) {
    EXPECT_NE(name[0], '.') << "temporary file left: " << name;
  }
}

}  // namespace
}  // namespace tabulon::testing
