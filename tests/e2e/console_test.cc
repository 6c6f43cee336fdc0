// The real binary as its users meet it: help and version, progress on a
// terminal and none when standard error is redirected, and description
// files written in UTF-8.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/process.h"
#include "support/screen.h"
#include "support/tree.h"

namespace tabulon::testing {
namespace {

const std::string kBanner =
    "Tabulon [FromDir] [URL] [/t]\r\n"
    "Lists a directory tree with the descriptions of its FILES.BBS into "
    "FILES.HTM.\r\n";

class ConsoleTest : public ::testing::Test {
 protected:
  ProcessResult Run(std::vector<std::string> args,
                    ProcessOptions options = {}) {
    AddJobCount(&args);
    args.insert(args.begin(), ProgramUnderTest(TABULON_BINARY));
    options.env.push_back("TZ=UTC");
    if (options.cwd.empty()) options.cwd = tree_.root();
    return RunProcess(args, options);
  }
  TempTree tree_;
};

TEST_F(ConsoleTest, HelpAndVersionWriteNoPage) {
  const struct {
    std::vector<std::string> args;
    std::string out;  // what standard output begins with
    bool help;
  } kCases[] = {
      {{"--help"}, kBanner, true},
      {{"-h"}, kBanner, true},
      {{"/?"}, kBanner, true},
      {{"--help", "."}, kBanner, true},
      {{"-h", ".", "/t"}, kBanner, true},
      // Wherever they stand; the first of them acts.
      {{".", "--help", "--version"}, kBanner, true},
      {{"-q", "-h"}, kBanner, true},
      // A plain LF, so that $(tabulon --version) holds no CR.
      {{"--version"}, std::string("Tabulon ") + TABULON_VERSION + "\n", false},
      {{".", "--version", "/t"},
       std::string("Tabulon ") + TABULON_VERSION + "\n",
       false},
  };
  tree_.Dir("sub");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args[0] + " with " + std::to_string(c.args.size()) +
                 " args");
    const ProcessResult r = Run(c.args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(r.out.starts_with(c.out)) << r.out;
    if (c.help) {
      for (const char* word : {"FromDir", "URL", "/t", "--version", "FILES.BBS",
                               "UTF-8", "Exit code", "--json", "--quiet, -q"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
      }
    } else {
      EXPECT_EQ(r.out, c.out);
    }
    EXPECT_FALSE(tree_.Exists("FILES.HTM"));
    EXPECT_FALSE(tree_.Exists("sub/FILES.HTM"));
  }
}

TEST_F(ConsoleTest, MistypedOptionsEndTheRunBeforeAnyPage) {
  const struct {
    std::vector<std::string> args;
    const char* meant;
  } kCases[] = {
      {{"D", "--json=yes"}, "'--json'"},
      {{"D", "-t"}, "'/t'"},
      {{"D", "--exclude", "x"}, "'--exclude=PATTERN'"},
      {{"D", "--exlude=x"}, "'--exclude=PATTERN'"},
      {{"--jobs", "D"}, "'--jobs=N'"},
      {{"D", "-json"}, "'--json'"},
  };
  tree_.Dir("D/sub");
  for (const auto& c : kCases) {
    const std::string& mistyped = c.args[c.args[0] == "D" ? 1 : 0];
    SCOPED_TRACE(mistyped);
    const ProcessResult r = Run(c.args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_TRUE(r.err.starts_with("tabulon: unknown option '" + mistyped +
                                  "': did you mean " + c.meant))
        << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_FALSE(tree_.Exists("D/FILES.HTM"));
    EXPECT_FALSE(tree_.Exists("FILES.HTM"));
  }
}

TEST_F(ConsoleTest, DashedNamesAndQuietRuns) {
  const struct {
    std::vector<std::string> args;
    std::string out;
    const char* page;
  } kCases[] = {
      // After "--" a name that begins with a dash is the start directory.
      {{"--", "-x"}, kBanner, "-x/FILES.HTM"},
      {{"/t", "--", "-x", "--json"}, kBanner, "-x/sub/FILES.HTM"},
      // A longer word after one dash is a name too.
      {{"-old-archive"}, kBanner, "-old-archive/FILES.HTM"},
      {{"-q", "D"}, "", "D/FILES.HTM"},
      {{"D", "/t", "--quiet"}, "", "D/sub/FILES.HTM"},
  };
  for (const char* dir : {"-x/sub", "-old-archive", "D/sub"}) tree_.Dir(dir);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.page);
    const ProcessResult r = Run(c.args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(tree_.Exists(c.page));
  }
  EXPECT_EQ(tree_.Read("-x/sub/FILES.HTM").find("--json"), std::string::npos);
}

// A tree of some directories, one of which can't get its page: FILES.HTM
// there is a directory.
void FillTree(TempTree* tree) {
  for (const std::string dir : {"T/a", "T/a/b", "T/c", "T/d/e/f"}) {
    tree->Dir(dir);
    tree->File(dir + "/file.txt", "x");
  }
  tree->Dir("T/c/FILES.HTM");
}

TEST_F(ConsoleTest, NoProgressWhenStandardErrorIsRedirected) {
  FillTree(&tree_);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"T"}, std::vector<std::string>{"T", "/t"}}) {
    SCOPED_TRACE(args.size());
    const ProcessResult r = Run(args);
    // Only whole report lines: no carriage return, no progress words.
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("directories"), std::string::npos) << r.err;
    std::size_t pos = 0;
    while (pos < r.err.size()) {
      EXPECT_EQ(r.err.compare(pos, 9, "tabulon: "), 0) << r.err;
      pos = r.err.find('\n', pos) + 1;
      ASSERT_NE(pos, 0u) << "a report without its line end: " << r.err;
    }
  }
}

TEST_F(ConsoleTest, ProgressOnATerminalGivesWayToTheClosingLine) {
  FillTree(&tree_);
  const struct {
    unsigned short columns;
    std::vector<std::string> args;
    std::string closing;  // what the run ends with, but for the time
  } kCases[] = {
      // T/c/FILES.HTM, a directory, gets a page; T/c gets none.
      {40, {"T", "/t"}, "7 pages written, 0 unchanged; 4 files, 4 bytes in "},
      {80, {"T"}, "1 page written, 0 unchanged; 4 files, 4 bytes in "},
      // Only the page of T differs from the first run's.
      {12, {"T", "/t"}, "1 page written, 6 unchanged; 4 files, 4 bytes in "}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.columns);
    ProcessOptions options;
    options.stderr_to_pty = true;
    const unsigned short columns = c.columns;
    options.in_child = [columns] {
      struct winsize size = {};
      size.ws_row = 24;
      size.ws_col = columns;
      ioctl(STDERR_FILENO, TIOCSWINSZ, &size);
    };
    ProcessResult r = Run(c.args, options);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_NE(r.err.find('\r'), std::string::npos) << "no progress drawn";
    // The closing line replaces the progress line, or follows a report.
    ASSERT_TRUE(r.err.ends_with(" s\r\n")) << r.err;
    const std::size_t closing =
        r.err.find_last_of("\r\n", r.err.size() - 3) + 1;
    EXPECT_TRUE(r.err.substr(closing).starts_with(c.closing)) << r.err;
    r.err.resize(closing);

    // A terminal turns "\n" into CR LF on the way out.
    Screen screen;
    Screen progress;  // the same without the reports
    std::vector<std::string> reports;
    std::size_t pos = 0;
    while (pos < r.err.size()) {
      const std::size_t report = r.err.find("tabulon: ", pos);
      screen.Feed(std::string_view(r.err).substr(pos, report - pos));
      progress.Feed(std::string_view(r.err).substr(pos, report - pos));
      if (report == std::string::npos) break;
      EXPECT_EQ(screen.Visible(), "") << "a report written over the progress";
      const std::size_t end = r.err.find('\n', report) + 1;
      ASSERT_NE(end, 0u) << r.err;
      reports.push_back(r.err.substr(report, end - report));
      screen.Feed(std::string_view(r.err).substr(report, end - report));
      pos = end;
    }
    EXPECT_EQ(screen.Visible(), "") << "the progress line is left behind";
    EXPECT_LT(progress.Widest(), columns) << r.err;
    EXPECT_EQ(progress.LineCount(), 1u) << r.err;
    const bool tree_mode = c.args.size() == 2;
    EXPECT_EQ(reports.size(), tree_mode ? 1u : 0u) << r.err;
    EXPECT_EQ(r.exit_code, tree_mode ? 2 : 0);
  }
}

TEST_F(ConsoleTest, Utf8DescriptionsReachThePageInWindows1251) {
  tree_.Dir("U");
  for (const char* name : {"Отчёт.doc", "日本.txt", "readme.txt", "ёж.gif"}) {
    tree_.File(std::string("U/") + name, "x");
  }
  tree_.File("U/FILES.BBS",
             "отчёт.doc Годовой отчёт — итоги\r\n"
             "日本.TXT «Японский» 😀\r\n"
             "README.TXT <b>Прочти</b> & Ёжик\r\n"
             "ЁЖ.GIF Ёж\r\n");
  const ProcessResult r = Run({"U"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string page = tree_.Read("U/FILES.HTM");
  const struct {
    const char* what;
    std::string cell;
  } kCells[] = {
      {"Russian with io and a dash",
       "\xC3\xEE\xE4\xEE\xE2\xEE\xE9 \xEE\xF2\xF7\xB8\xF2 \x97 "
       "\xE8\xF2\xEE\xE3\xE8"},
      {"guillemets and a character windows-1251 lacks",
       "\xAB\xDF\xEF\xEE\xED\xF1\xEA\xE8\xE9\xBB &#128512;"},
      {"escaped",
       "&lt;b&gt;\xCF\xF0\xEE\xF7\xF2\xE8&lt;/b&gt; &amp; "
       "\xA8\xE6\xE8\xEA"},
      {"capital io name", "\xA8\xE6"},
  };
  for (const auto& c : kCells) {
    EXPECT_NE(page.find("<td> " + c.cell + "</td></tr>\r\n"), std::string::npos)
        << c.what << "\n"
        << page;
  }
  // The page holds no UTF-8 of its own: the names went to windows-1251 too.
  EXPECT_NE(page.find(">\xCE\xF2\xF7\xB8\xF2.doc</a>"), std::string::npos);
  EXPECT_NE(page.find(">&#26085;&#26412;.txt</a>"), std::string::npos);
}

}  // namespace
}  // namespace tabulon::testing
