// What archive operators ask for: entries left out by pattern, and runs
// from cron that leave unchanged pages alone. The POSIX build, and the
// Windows build under Wine.
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
    const std::string a = FileRow("a.txt", "a.txt", "2", "01-02-20", "described");
    if (!tree_mode) {
      EXPECT_EQ(tree_.Read("X/FILES.HTM"),
                Head("X") + a + FileRow("Keep/skip.txt", "skip.txt", "1", "01-02-20") +
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
                  FileRow("keep.txt", "keep.txt", "2", "01-02-20") + Foot("2", 1));
    EXPECT_TRUE(tree_.Exists("X/sub/deeper/FILES.HTM"));
    EXPECT_FALSE(tree_.Exists("X/cache/FILES.HTM"));
  }
}

TEST_F(E2eTest, BadPatternOrJobCountStopsTheRunBeforeAnyPage) {
  tree_.Dir("B");
  const struct {
    const char* arg;
    const char* report;
  } cases[] = {
      {"--exclude=[abc", "tabulon: bad pattern '[abc': '[' without ']'\n"},
      {"--exclude=", "tabulon: bad pattern '': empty pattern\n"},
      {"--jobs=0", "tabulon: bad job count '0': less than 1\n"},
      {"--jobs=257", "tabulon: bad job count '257': more than 256\n"},
  };
  for (const auto& c : cases) {
    const ProcessResult r = Run({Native(tree_.Path("B")), c.arg, "/t"});
    EXPECT_EQ(r.exit_code, 2) << c.arg;
    EXPECT_EQ(r.err, c.report);
    EXPECT_FALSE(tree_.Exists("B/FILES.HTM")) << c.arg;
  }
}

TEST_F(E2eTest, SecondRunLeavesUnchangedPagesAsTheyAre) {
  tree_.Dir("R/one");
  tree_.Dir("R/two");
  tree_.File("R/top.txt", "t");
  tree_.File("R/one/a.txt", "a");
  tree_.File("R/two/b.txt", "b");
  const std::vector<std::string> dirs = {"R", "R/one", "R/two"};
  // Writing a page changes its directory's date, which the parent's page
  // shows: the dates are set again after each run, as an unchanged tree
  // would keep them.
  const auto set_dates = [&] {
    for (const std::string& dir : dirs) tree_.Date(dir, 2019, 6, 7);
  };
  for (const bool tree_mode : {true, false}) {
    SCOPED_TRACE(tree_mode ? "/t" : "one page");
    std::vector<std::string> args = {Native(tree_.Path("R"))};
    if (tree_mode) args.push_back("/t");
    set_dates();
    ProcessResult r = Run(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    set_dates();
    std::map<std::string, Stamp> before;
    for (const std::string& dir : dirs) {
      before[dir] = StampOf(tree_.Path(dir));
      before[dir + "/FILES.HTM"] = StampOf(tree_.Path(dir + "/FILES.HTM"));
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

    // A file more in "two": its page, and the one page, change; the others
    // stay.
    tree_.File("R/two/c.txt", "c");
    set_dates();
    r = Run(args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(StampOf(tree_.Path(tree_mode ? "R/two/FILES.HTM" : "R/FILES.HTM")).inode,
              before[tree_mode ? "R/two/FILES.HTM" : "R/FILES.HTM"].inode);
    if (tree_mode) {
      EXPECT_EQ(StampOf(tree_.Path("R/FILES.HTM")), before["R/FILES.HTM"]);
      EXPECT_EQ(StampOf(tree_.Path("R/one/FILES.HTM")), before["R/one/FILES.HTM"]);
      EXPECT_NE(tree_.Read("R/two/FILES.HTM").find("c.txt"), std::string::npos);
    } else {
      EXPECT_NE(tree_.Read("R/FILES.HTM").find("two/c.txt"), std::string::npos);
    }
    std::remove(tree_.Path("R/two/c.txt").c_str());
  }
}

}  // namespace
}  // namespace tabulon::testing
