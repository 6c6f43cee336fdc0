// The Windows build under Wine, where it differs from POSIX: the command
// line as one string, hidden files, and the example archive giving the same
// pages and FILES.JSON as the POSIX build, in both charsets.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace tabulon::testing {
namespace {

const std::string kExe =
    std::string(TABULON_WINDOWS_BUILD) + "/src/tabulon.exe";
const std::string kHelper =
    std::string(TABULON_WINDOWS_BUILD) + "/tests/platform/e2e_helper.exe";

class WindowsE2eTest : public E2eTest {
 protected:
  // Runs tabulon.exe with exactly this command line, program name included.
  ProcessResult RunLine(const std::string& line) {
    ProcessOptions options;
    options.env.push_back("TABULON_E2E_COMMAND_LINE=" + line);
    return RunUnderWine(kHelper, {"run", Native(kExe)}, options);
  }
};

TEST_F(WindowsE2eTest, CommandLineIsSplitByTheProgramsOwnRules) {
  for (const std::string dir : {"My Files", "ab cd"}) {
    tree_.Dir(dir + "/sub");
    tree_.File(dir + "/a.txt", "1");
    tree_.Date(dir + "/a.txt", 2009, 9, 9);
  }
  const std::string my = Native(tree_.Path("My Files"));
  const std::string root = Native(tree_.root());
  struct Case {
    std::string line;
    std::string page_dir;  // where the page goes; empty: nowhere
    std::string url;
    bool tree_mode;
    std::string report;  // how standard error begins; empty: nothing on it
  };
  const Case cases[] = {
      {"tabulon.exe \"" + my + "\"", "My Files", "", false, ""},
      // No escape character: the backslash stays and no second one is added.
      {"tabulon.exe \"" + my + "\\\" http://u/", "My Files", "http://u/", false,
       ""},
      {"tabulon.exe \"" + root + "\\No Such\\\"", "", "", false,
       "tabulon: cannot read directory '" + root + "\\No Such\\': "},
      // An empty quoted pair is no parameter.
      {"tabulon.exe \"\" \"" + my + "\" http://u/", "My Files", "http://u/",
       false, ""},
      {"tabulon.exe \"\"\"\" \"" + my + "\"", "My Files", "", false, ""},
      {"tabulon.exe\t\"" + my + "\"\t/t", "My Files", "", true, ""},
      {"tabulon.exe /t \"" + my + "\"", "My Files", "", true, ""},
      {"tabulon.exe \"" + my + "\" \"/t\" ftp://h/", "My Files", "ftp://h/",
       true, ""},
      {"tabulon.exe \"" + my + "\" x /T", "My Files", "x", true, ""},
      // Only a whole "/t" switches: not one inside an address, nor "/Tree",
      // nor one in the program's own name.
      {"tabulon.exe \"" + my + "\" /pub/texts/", "My Files", "/pub/texts/",
       false, ""},
      {"tabulon.exe \"" + my + "\" /Tree", "My Files", "/Tree", false, ""},
      {"c:/tools/tabulon.exe \"" + my + "\"", "My Files", "", false, ""},
      // Quotes in the middle of a parameter, and one never closed.
      {"tabulon.exe " + root + "\\a\"b c\"d", "ab cd", "", false, ""},
      {"tabulon.exe \"" + my, "My Files", "", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    for (const std::string dir : {"My Files", "ab cd"}) {
      std::filesystem::remove(tree_.Path(dir + "/FILES.HTM"));
      std::filesystem::remove(tree_.Path(dir + "/sub/FILES.HTM"));
      tree_.Date(dir + "/sub", 2008, 8, 8);
    }
    const ProcessResult r = RunLine(c.line);
    EXPECT_EQ(r.out, kBanner);
    if (c.report.empty()) {
      EXPECT_EQ(r.exit_code, 0) << r.err;
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.exit_code, 2);
      EXPECT_EQ(r.err.rfind(c.report, 0), 0u) << r.err;
    }
    for (const std::string dir : {"My Files", "ab cd"}) {
      if (dir != c.page_dir) {
        EXPECT_FALSE(tree_.Exists(dir + "/FILES.HTM")) << dir;
        continue;
      }
      std::map<std::string, std::string> rows = {
          {"a.txt", FileRow(c.url + "a.txt", "a.txt", "1", "09-09-09")}};
      if (c.tree_mode) rows["sub"] = DirRow("sub", "sub", "08-08-08");
      EXPECT_EQ(tree_.Read(dir + "/FILES.HTM"),
                Head(dir) + InNameOrder(rows) + Foot("1", 1));
      EXPECT_EQ(tree_.Exists(dir + "/sub/FILES.HTM"), c.tree_mode);
    }
  }
}

TEST_F(WindowsE2eTest, HiddenFilesAndDirectoriesAreListed) {
  tree_.Dir("V/hidden dir");
  tree_.File("V/secret.txt", "123");
  tree_.File("V/hidden dir/inner.txt", "4567");
  tree_.Date("V/secret.txt", 2002, 2, 2);
  tree_.Date("V/hidden dir/inner.txt", 2003, 3, 3);
  for (const std::string name : {"V/secret.txt", "V/hidden dir"}) {
    const ProcessResult hidden =
        RunUnderWine(kHelper, {"hide", Native(tree_.Path(name))});
    if (hidden.exit_code == 3) {
      GTEST_SKIP() << "Wine keeps DOS attributes in extended attributes, which "
                      "this file system does not store";
    }
    ASSERT_EQ(hidden.exit_code, 0) << name;
  }
  const ProcessResult r = Run({Native(tree_.Path("V"))});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(tree_.Read("V/FILES.HTM"),
            Head("V") + FileRow("secret.txt", "secret.txt", "3", "02-02-02") +
                FileRow("hidden dir/inner.txt", "inner.txt", "4", "03-03-03") +
                Foot("7", 2));
}

// Where a page lies on disk and when it was written: a page rewritten gets
// another inode, or at least another time.
std::pair<std::uint64_t, std::int64_t> StampOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  return {static_cast<std::uint64_t>(st.st_ino),
          static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 +
              st.st_mtim.tv_nsec};
}

// Lists the tree at `top` with the POSIX build and with the Windows build
// under Wine, in both modes and with `options`: every page and FILES.JSON
// must be the same byte for byte, rows in place, since both take entries in
// name order; and a second run of each build writes nothing.
void ExpectPagesOfBothBuildsAlike(
    TempTree& tree, const std::string& top,
    const std::vector<std::string>& options = {}) {
  std::vector<std::string> dirs = {top};
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(tree.Path(top))) {
    if (entry.is_directory()) {
      dirs.push_back(entry.path().string().substr(tree.root().size() + 1));
    }
  }
  // Removing the other build's pages changes a directory's date, which the
  // parent's page shows: each build starts from the dates the tree was made
  // with.
  std::map<std::string, std::filesystem::file_time_type> dates;
  for (const std::string& dir : dirs) {
    dates[dir] = std::filesystem::last_write_time(tree.Path(dir));
  }
  const bool json =
      std::find(options.begin(), options.end(), "--json") != options.end();
  std::vector<std::string> listings = {"/FILES.HTM"};
  if (json) listings.push_back("/FILES.JSON");
  for (const bool tree_mode : {false, true}) {
    SCOPED_TRACE(tree_mode ? "/t" : "one page");
    std::map<std::string, std::string> pages[2];
    for (int build = 0; build < 2; ++build) {
      SCOPED_TRACE(build == 0 ? "POSIX" : "Windows");
      for (const std::string& dir : dirs) {
        for (const std::string& listing : listings) {
          std::filesystem::remove(tree.Path(dir + listing));
        }
        std::filesystem::last_write_time(tree.Path(dir), dates[dir]);
      }
      std::vector<std::string> args = {tree.Path(top)};
      if (tree_mode) args.push_back("/t");
      args.insert(args.end(), options.begin(), options.end());
      AddJobCount(&args);
      const auto run = [&] {
        if (build == 0) {
          std::vector<std::string> posix = args;
          posix.insert(posix.begin(), TABULON_BINARY);
          ProcessOptions environment;
          environment.env.push_back("TZ=UTC");
          return RunProcess(posix, environment);
        }
        std::vector<std::string> windows = args;
        windows[0] = Native(windows[0]);
        return RunUnderWine(kExe, windows);
      };
      ProcessResult r = run();
      ASSERT_EQ(r.exit_code, 0) << r.err;
      std::map<std::string, std::pair<std::uint64_t, std::int64_t>> stamps;
      for (const std::string& dir : dirs) {
        for (const std::string& listing : listings) {
          if (tree.Exists(dir + listing)) {
            pages[build][dir + listing] = tree.Read(dir + listing);
            stamps[dir + listing] = StampOf(tree.Path(dir + listing));
          }
        }
      }
      r = run();
      ASSERT_EQ(r.exit_code, 0) << r.err;
      for (const auto& [path, stamp] : stamps) {
        EXPECT_EQ(StampOf(tree.Path(path)), stamp) << "rewritten: " << path;
      }
    }
    ASSERT_EQ(pages[0].size(),
              (tree_mode ? dirs.size() : 1u) * listings.size());
    for (const auto& [path, page] : pages[0]) {
      SCOPED_TRACE(path);
      ASSERT_EQ(pages[1].count(path), 1u);
      EXPECT_TRUE(pages[1][path] == page) << pages[1][path] << "\n" << page;
      EXPECT_TRUE(page.find("<tr><td><a href=") != std::string::npos ||
                  page.find("\"href\": ") != std::string::npos)
          << page;
    }
  }
}

TEST_F(WindowsE2eTest, ExampleArchiveGivesThePagesOfThePosixBuild) {
  std::filesystem::copy(TABULON_EXAMPLES, tree_.Path("archive"),
                        std::filesystem::copy_options::recursive);
  ExpectPagesOfBothBuildsAlike(tree_, "archive");
}

TEST_F(WindowsE2eTest, ExampleArchiveInUtf8AndJsonIsThatOfThePosixBuild) {
  std::filesystem::copy(TABULON_EXAMPLES, tree_.Path("archive"),
                        std::filesystem::copy_options::recursive);
  ExpectPagesOfBothBuildsAlike(tree_, "archive", {"--charset=utf-8", "--json"});
}

TEST_F(WindowsE2eTest, NamesInEveryScriptComeInTheOrderOfThePosixBuild) {
  // Words of many scripts, letter case variants among them, with signs that
  // sort around the letters; every name one Windows can hold.
  const std::vector<std::string> words = {
      "alpha",
      "Alpha",
      "ALPHA",
      "zeta",
      "_under",
      "[bracket]",
      "~tilde",
      "!bang",
      "9nine",
      "10ten",
      "\xC3\xA4rger",
      "\xC3\x84rger",
      "\xC3\xA9t\xC3\xA9",  // ärger Ärger été
      "\xD0\xB5\xD0\xBB\xD1\x8C",
      "\xD1\x91\xD0\xBB\xD0\xBA\xD0\xB0",  // ель ёлка
      "\xD0\x81\xD0\x96",
      "\xD0\xAF\xD0\xBC\xD0\xB0",  // ЁЖ Яма
      "\xCE\xB1\xCE\xB2",
      "\xCE\x91\xCE\x92",
      "\xCF\x89",  // αβ ΑΒ ω
      "\xD5\xA1\xD5\xA2",
      "\xD4\xB1\xD4\xB2",  // աբ ԱԲ
      "\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D",
      "\xD8\xB3\xD9\x84\xD8\xA7\xD9\x85",  // שלום سلام
      "\xE0\xA4\xA8\xE0\xA4\xAE",
      "\xE0\xB8\xAA\xE0\xB8\xA7",  // नम สว
      "\xE1\x83\x90\xE1\x83\x91",
      "\xE1\xB2\x90",  // აბ Ა
      "\xE6\x97\xA5\xE6\x9C\xAC",
      "\xED\x95\x9C",  // 日本 한
      "\xEF\xBD\x81\xEF\xBD\x82",
      "\xEF\xBC\xA1",  // ａｂ Ａ
      "\xF0\x9F\x98\x80smile",
      "\xEE\x80\x80private",  // 😀 U+E000
      "\xE2\x94\x80"
      "box",
      "e\xCC\x81",  // ─box é (combining)
  };
  const std::vector<std::string> extensions = {"", ".txt", ".TXT", ".doc"};
  tree_.Dir("S");
  int files = 0;
  for (std::size_t d = 0; d < 8; ++d) {
    const std::string dir =
        "S/" + words[(d * 7) % words.size()] + std::to_string(d);
    tree_.Dir(dir);
    for (std::size_t i = 0; i < words.size(); ++i) {
      const std::string name = words[(i * 5 + d) % words.size()] +
                               extensions[(i + d) % extensions.size()];
      if (tree_.Exists(dir + "/" + name)) continue;
      tree_.File(dir + "/" + name, std::string(i % 5, 'x'));
      tree_.Date(dir + "/" + name, 2000 + static_cast<int>(i % 20),
                 1 + static_cast<int>(d), 3);
      ++files;
    }
    tree_.Date(dir, 2010, 10, 10);
  }
  ASSERT_GT(files, 250);
  ExpectPagesOfBothBuildsAlike(tree_, "S");
}

}  // namespace
}  // namespace tabulon::testing
