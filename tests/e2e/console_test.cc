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
      {{"--version"},
       std::string("Tabulon ") + TABULON_VERSION + "\r\n",
       false},
      {{"--version", ".", "/t"},
       std::string("Tabulon ") + TABULON_VERSION + "\r\n",
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
                               "UTF-8", "Exit code", "--json"}) {
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
      }
    } else {
      EXPECT_EQ(r.out, c.out);
    }
    EXPECT_FALSE(tree_.Exists("FILES.HTM"));
    EXPECT_FALSE(tree_.Exists("sub/FILES.HTM"));
  }
}

TEST_F(ConsoleTest, HelpWordsElsewhereOnTheLineAreOrdinaryParameters) {
  const struct {
    std::vector<std::string> args;
    int exit_code;
    const char* page;  // where a page must appear, or nullptr
  } kCases[] = {
      // The second parameter is the address, whatever it says.
      {{"A", "--help"}, 0, "A/FILES.HTM"},
      {{"B", "--version", "/t"}, 0, "B/FILES.HTM"},
      // Only those exact words: this is a start directory that is not there.
      {{"--HELP"}, 2, nullptr},
      {{"-help"}, 2, nullptr},
  };
  tree_.Dir("A");
  tree_.Dir("B");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.args[0]);
    const ProcessResult r = Run(c.args);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_EQ(r.out, kBanner);
    if (c.page != nullptr) {
      EXPECT_TRUE(tree_.Exists(c.page));
    }
  }
  EXPECT_NE(tree_.Read("A/FILES.HTM").find("<th>A/files</th>"),
            std::string::npos);
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

TEST_F(ConsoleTest, ProgressOnATerminalIsOneLineClearedAtTheEnd) {
  FillTree(&tree_);
  const struct {
    unsigned short columns;
    std::vector<std::string> args;
  } kCases[] = {{40, {"T", "/t"}}, {80, {"T"}}, {12, {"T", "/t"}}};
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
    const ProcessResult r = Run(c.args, options);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_NE(r.err.find('\r'), std::string::npos) << "no progress drawn";

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
