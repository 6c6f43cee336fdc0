// The Windows build under Wine, where it differs from POSIX: the command
// line as one string, hidden files, and the example archive giving the same
// pages as the POSIX build.
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/e2e_fixture.h"

namespace tabulon::testing {
namespace {

const std::string kExe = std::string(TABULON_WINDOWS_BUILD) + "/src/tabulon.exe";
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
      {"tabulon.exe \"" + my + "\\\" http://u/", "My Files", "http://u/", false, ""},
      {"tabulon.exe \"" + root + "\\No Such\\\"", "", "", false,
       "tabulon: cannot read directory '" + root + "\\No Such\\': "},
      // An empty quoted pair is no parameter.
      {"tabulon.exe \"\" \"" + my + "\" http://u/", "My Files", "http://u/", false, ""},
      {"tabulon.exe \"\"\"\" \"" + my + "\"", "My Files", "", false, ""},
      {"tabulon.exe\t\"" + my + "\"\t/t", "My Files", "", true, ""},
      {"tabulon.exe /t \"" + my + "\"", "My Files", "", true, ""},
      {"tabulon.exe \"" + my + "\" \"/t\" ftp://h/", "My Files", "ftp://h/", true, ""},
      {"tabulon.exe \"" + my + "\" x /T", "My Files", "x", true, ""},
      // Only a whole "/t" switches: not one inside an address, nor "/Tree",
      // nor one in the program's own name.
      {"tabulon.exe \"" + my + "\" /pub/texts/", "My Files", "/pub/texts/", false, ""},
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
                FileRow("hidden dir/inner.txt", "inner.txt", "4", "03-03-03") + Foot("7", 2));
}

TEST_F(WindowsE2eTest, ExampleArchiveGivesThePagesOfThePosixBuild) {
  std::filesystem::copy(TABULON_EXAMPLES, tree_.Path("archive"),
                        std::filesystem::copy_options::recursive);
  std::vector<std::string> dirs = {"archive"};
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(tree_.Path("archive"))) {
    if (entry.is_directory()) {
      dirs.push_back(entry.path().string().substr(tree_.root().size() + 1));
    }
  }
  for (const bool tree_mode : {false, true}) {
    SCOPED_TRACE(tree_mode ? "/t" : "one page");
    std::map<std::string, std::string> pages[2];
    for (int build = 0; build < 2; ++build) {
      for (const std::string& dir : dirs) {
        std::filesystem::remove(tree_.Path(dir + "/FILES.HTM"));
      }
      std::vector<std::string> args = {tree_.Path("archive")};
      if (tree_mode) args.push_back("/t");
      ProcessResult r;
      if (build == 0) {
        args.insert(args.begin(), TABULON_BINARY);
        ProcessOptions options;
        options.env.push_back("TZ=UTC");
        r = RunProcess(args, options);
      } else {
        args[0] = Native(args[0]);
        r = Run(args);
      }
      ASSERT_EQ(r.exit_code, 0) << r.err;
      for (const std::string& dir : dirs) {
        if (tree_.Exists(dir + "/FILES.HTM")) {
          pages[build][dir] = tree_.Read(dir + "/FILES.HTM");
        }
      }
    }
    ASSERT_EQ(pages[0].size(), tree_mode ? dirs.size() : 1u);
    for (const auto& [dir, page] : pages[0]) {
      SCOPED_TRACE(dir);
      ASSERT_EQ(pages[1].count(dir), 1u);
      // Entries come in name order on both systems: the pages are the same
      // byte for byte.
      EXPECT_EQ(pages[1][dir], page);
      EXPECT_NE(page.find("<tr><td><a href="), std::string::npos) << page;
    }
  }
}

}  // namespace
}  // namespace tabulon::testing
