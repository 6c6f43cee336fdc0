// Names an uploader may choose to turn a published page's links into
// scripts, mail links or links to other files: every link on every page must
// still lead, as a browser resolves it, to the entry its row names. The
// POSIX build, and the Windows build under Wine with the names Windows can
// hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"
#include "support/link_check.h"

namespace tabulon::testing {
namespace {

struct HostileName {
  std::string name;
  // Why a Windows file system can't hold the name; empty when it can.
  const char* not_on_windows = "";
};

constexpr char kReserved[] = "Windows reserves : ? \" < > \\ in names";
constexpr char kControl[] = "Windows holds no control character in a name";
constexpr char kTrailing[] = "Windows drops blanks and dots at a name's end";

const HostileName kNames[] = {
    {"javascript:alert(document.domain)", kReserved},
    {"c:autoexec.bat", kReserved},
    {"mailto:x", kReserved},
    {" lead"},
    {"trail ", kTrailing},
    {" both ", kTrailing},
    {"a b"},
    {"#frag"},
    {"?q=1", kReserved},
    {"%41"},
    {"%2e%2e"},
    {"&amp;"},
    {"<script>x", kReserved},
    {"\"quoted\"", kReserved},
    {"'single'"},
    {"back\\slash", kReserved},
    {"tab\tname", kControl},
    {"line\nfeed", kControl},
    {"return\rname", kControl},
    {"escape\x1B[31m", kControl},
    {"del\x7F"},
    {"\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt"},  // Отчёт.txt
    {"\xE6\x97\xA5\xE6\x9C\xAC.txt"},                  // 日本.txt
    // Shown as "box-" and " x ", which are other names: links carry them
    // as they are.
    {"box\xE2\x94\x80"},                            // box─
    {"\xE2\x96\x91x\xE2\x96\x91"},                    // ░x░
    // "Отчет raw" in code page 866: no UTF-8, which Wine reads as U+FFFD.
    {"\x8E\xE2\xE7\xA5\xE2 raw", "Windows names are UTF-16, not bytes"},
    {"..x"},  // passed over, like every name beginning with "."
    // Shown with marks for what would reorder or hide their letters.
    {"invoice\xE2\x80\xAE"
     "fdp.exe"},
    {"set\xE2\x80\x8Bup\xC2\xAD.exe"},
    {"x.", kTrailing},
    {std::string(196, 'n') + ".txt"},
};

class HostileNamesTest : public E2eTest {};

TEST_F(HostileNamesTest, EveryLinkLeadsToTheEntryItsRowNames) {
  // Each name as a directory at the top, holding a file of the same name,
  // and as a file of its own directory "f": so each name begins a link,
  // ends one, or stands inside one.
  tree_.Dir("H/f");
  int held = 0;
  for (const HostileName& n : kNames) {
    if (kUnderWine && *n.not_on_windows != '\0') continue;
    tree_.Dir("H/" + n.name);
    tree_.File("H/" + n.name + "/" + n.name, "in a directory");
    tree_.File("H/f/" + n.name, "a file");
    ++held;
  }
  ASSERT_GT(held, 10);
  for (const char* start : {"H", "H/f"}) {
    for (const bool tree_mode : {false, true}) {
      for (const std::string url : {"", "http://example.org/pub/"}) {
        SCOPED_TRACE(std::string(start) + (tree_mode ? " /t" : "") + " URL '" +
                     url + "'");
        std::vector<std::string> args = {Native(tree_.Path(start)), url};
        if (tree_mode) args.push_back("/t");
        const ProcessResult r = Run(args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(CheckLinks(tree_.Path(start), url, tree_mode), "");
      }
    }
  }
}

TEST_F(HostileNamesTest, DirectoriesNamedLikeOwnFilesAreListedAndWalked) {
  if (kUnderWine) GTEST_SKIP() << "Wine ignores case: files.json is FILES.JSON";
  tree_.Dir("D/files.json");
  tree_.Dir("D/sub/FILES.HTM");
  tree_.File("D/files.json/in.txt", "1");
  tree_.File("D/sub/FILES.HTM/deep.txt", "22");
  // No page can take the place of the directory FILES.HTM: FILES.JSON shows
  // its row there.
  EXPECT_EQ(Run({Native(tree_.Path("D")), "", "/t", "--json"}).exit_code, 2);
  EXPECT_NE(tree_.Read("D/FILES.HTM").find("\"files.json/FILES.HTM\"><b>"),
            std::string::npos);
  EXPECT_NE(tree_.Read("D/sub/FILES.JSON")
                .find("\"href\": \"FILES.HTM/FILES.HTM\", \"type\": \"dir"),
            std::string::npos);
  EXPECT_NE(tree_.Read("D/files.json/FILES.HTM").find(">in.txt<"),
            std::string::npos);
  EXPECT_NE(tree_.Read("D/sub/FILES.HTM/FILES.HTM").find(">deep.txt<"),
            std::string::npos);
}

}  // namespace
}  // namespace tabulon::testing
