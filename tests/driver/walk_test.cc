#include "driver/walk.h"

#include <set>

#include <gtest/gtest.h>

#include "driver/fake_platform.h"
#include "driver/run.h"

namespace tabulon {
namespace {

using testing::FakePlatform;

class WalkTest : public ::testing::Test {
 protected:
  int RunWith(std::vector<std::string> args) {
    fake_.args = std::move(args);
    return tabulon::Run(fake_);
  }
  bool HasRow(const std::string& dir, const std::string& text) {
    const auto it = fake_.pages.find(dir);
    return it != fake_.pages.end() && it->second.find(text) != std::string::npos;
  }
  FakePlatform fake_;
};

// Three directories with a description each, in a tree of pages.
void Populate(FakePlatform* fake) {
  fake->AddFile("a.txt", "1");
  fake->AddFile("FILES.BBS", "A.TXT root description\r\n");
  for (const std::string dir : {"one", "two"}) {
    fake->AddDir(dir);
    fake->AddFile(dir + "/x.txt", "22");
    fake->AddFile(dir + "/FILES.BBS", "X.TXT described in " + dir + "\r\n");
    fake->AddDir(dir + "/deeper");
    fake->AddFile(dir + "/deeper/y.txt", "333");
  }
}

TEST_F(WalkTest, EachPageStandsAloneWhenAnotherFails) {
  const struct {
    const char* failure;
    const char* report;
    bool one_has_page;
    bool one_deeper_walked;
  } cases[] = {
      {"create:one", "tabulon: cannot create listing '/one/FILES.HTM': disk full\n", false, true},
      {"write:one", "tabulon: cannot write listing '/one/FILES.HTM': disk full\n", false, true},
      {"list:one", "tabulon: cannot read directory '/one/': disk full\n", true, false},
      {"open:one", "tabulon: cannot read directory '/one/': disk full\n", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failure);
    FakePlatform fake;
    Populate(&fake);
    fake.failures[c.failure] = "disk full";
    fake.args = {"/", "/t"};
    EXPECT_EQ(tabulon::Run(fake), 2);
    EXPECT_EQ(fake.err, c.report);
    EXPECT_EQ(fake.pages.count("one"), c.one_has_page ? 1u : 0u);
    EXPECT_EQ(fake.pages.count("one/deeper"), c.one_deeper_walked ? 1u : 0u);
    // Pages written after the failure keep their heads and descriptions.
    ASSERT_EQ(fake.pages.count("two"), 1u);
    EXPECT_EQ(fake.pages["two"].rfind("<html>", 0), 0u);
    EXPECT_NE(fake.pages["two"].find("<td> described in two</td>"), std::string::npos);
    EXPECT_NE(fake.pages[""].find("<td> root description</td>"), std::string::npos);
    EXPECT_NE(fake.pages["two/deeper"].find("         3 bytes in 1 files."),
              std::string::npos);
  }
}

TEST_F(WalkTest, ListModeWalksPreOrderAndCountsTheWholeTree) {
  Populate(&fake_);
  EXPECT_EQ(RunWith({"/"}), 0);
  ASSERT_EQ(fake_.pages.size(), 1u);
  const std::string& page = fake_.pages[""];
  const std::vector<std::string> order = {"a.txt\"", "one/x.txt\"", "one/deeper/y.txt\"",
                                          "two/x.txt\"", "two/deeper/y.txt\""};
  std::size_t at = 0;
  for (const std::string& link : order) {
    const std::size_t found = page.find(link, at);
    ASSERT_NE(found, std::string::npos) << link;
    at = found;
  }
  EXPECT_NE(page.find("        11 bytes in 5 files."), std::string::npos);
}

TEST_F(WalkTest, DeepTreesStayWithinTheOpenFileLimit) {
  // A chain of directories where every level also has a sibling after the
  // chain, so the walk must come back to each level to open it.
  std::string path;
  const int depth = 600;
  for (int i = 0; i < depth; ++i) {
    path += (path.empty() ? "" : "/") + std::string("d");
    fake_.AddDir(path);
  }
  fake_.AddFile(path + "/bottom.txt", "x");
  std::string level;
  for (int i = 0; i < depth; ++i) {
    fake_.AddDir(level + (level.empty() ? "" : "/") + "z");
    level += (level.empty() ? "" : "/") + std::string("d");
  }
  EXPECT_EQ(RunWith({"/", "/t"}), 0) << fake_.err;
  EXPECT_EQ(fake_.pages.size(), static_cast<std::size_t>(2 * depth + 1));
  EXPECT_LE(fake_.most_open_directories, 130);
  EXPECT_TRUE(HasRow(path, "<a href=\"bottom.txt\">"));
  EXPECT_EQ(fake_.open_directories, 0);
}

TEST_F(WalkTest, VeryDeepChainNeedsNoStack) {
  fake_.track_paths = false;
  std::string link;
  FakePlatform::Node* node = nullptr;
  for (int i = 0; i < 100000; ++i) {
    node = fake_.AddChild(node, "d", true);
    link += "d/";
  }
  fake_.AddChild(node, "f", false);
  EXPECT_EQ(RunWith({"/"}), 0);
  EXPECT_TRUE(HasRow("", "<a href=\"" + link + "f\">f</a>"));
}

// Populate's tree and a directory "big" large enough to have its rows
// written beside the describing of its entries. Paths in `left_out` are not
// made.
void PopulateWithLarge(FakePlatform* fake, const std::set<std::string>& left_out) {
  Populate(fake);
  fake->AddDir("big");
  std::string bbs;
  for (int i = 0; i < 1500; ++i) {
    const std::string name = "file" + std::to_string(i) + ".txt";
    if (i % 3 != 0) bbs += name + " about " + std::to_string(i) + "\r\n";
    if (left_out.count("big/" + name) != 0) continue;
    fake->AddFile("big/" + name, std::string(i % 7, 'x'),
                  LocalDate{1980 + i % 40, 1 + i % 12, 1 + i % 28});
  }
  fake->AddFile("big/FILES.BBS", bbs);
  if (left_out.count("big/sub") == 0) {
    fake->AddDir("big/sub");
    fake->AddFile("big/sub/z.txt", "z");
  }
}

TEST_F(WalkTest, DetailsGivenLaterMakeTheSamePagesAndReports) {
  const std::set<std::string> none;
  const std::set<std::string> gone = {"big/file0.txt", "big/file1001.txt",
                                      "big/file1499.txt", "big/sub"};
  const struct {
    const char* failure;
    const std::set<std::string>* vanishing;
  } cases[] = {
      {"", &none},
      {"", &gone},
      {"write:big", &none},
      {"create:big", &gone},
      {"read:big/FILES.BBS", &none},
      {"read:one/FILES.BBS", &gone},
  };
  for (const bool tree : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.failure) + (tree ? " /t" : "") +
                   (c.vanishing->empty() ? "" : " with entries gone"));
      const std::vector<std::string> args =
          tree ? std::vector<std::string>{"/", "/t"} : std::vector<std::string>{"/"};
      // The entries that vanish are never there for the reference run.
      FakePlatform reference;
      PopulateWithLarge(&reference, *c.vanishing);
      FakePlatform later;
      PopulateWithLarge(&later, none);
      later.describe_later = true;
      later.vanishing = *c.vanishing;
      for (FakePlatform* fake : {&reference, &later}) {
        if (*c.failure != '\0') fake->failures[c.failure] = "disk full";
        fake->args = args;
      }
      const int expected_exit = tabulon::Run(reference);
      EXPECT_EQ(tabulon::Run(later), expected_exit);
      EXPECT_EQ(later.err, reference.err);
      EXPECT_EQ(later.pages, reference.pages);
      // With a page to write, "big" was described a block at a time beside
      // its rows; every other directory at once.
      const bool big_has_page = !(tree && std::string(c.failure) == "create:big");
      const int others = c.vanishing->count("big/sub") != 0 ? 5 : 6;
      if (big_has_page) {
        EXPECT_GT(later.describe_calls, others + 1);
      } else {
        EXPECT_EQ(later.describe_calls, others + 1);
      }
      const std::string big = tree ? "big" : "";
      if (std::string(c.failure) == "") {
        EXPECT_NE(later.pages[big].find("<td> about 1498</td>"), std::string::npos);
      }
    }
  }
}

TEST(DirectoryTitleTest, LastComponent) {
  const struct {
    const char* path;
    char separator;
    const char* title;
  } cases[] = {
      {"C:\\Music\\Rock\\", '\\', "Rock"}, {"C:\\", '\\', "C:"},
      {"Rock", '\\', "Rock"},             {"\\", '\\', ""},
      {"", '\\', ""},                     {"C:\\a\\\\", '\\', ""},
      {"C:/Temp\\", '\\', "C:/Temp"},     {"/srv/ftp/pub/", '/', "pub"},
      {"/", '/', ""},                     {"rel/dir/", '/', "dir"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DirectoryTitle(c.path, c.separator), c.title) << c.path;
  }
}

TEST(FindDescriptionFileTest, ExactNameFirstThenAnyCase) {
  const auto names = [](std::vector<std::string> list) {
    std::vector<SearchEntry> entries;
    for (auto& name : list) entries.push_back(SearchEntry{name, 0, 0, {}});
    return entries;
  };
  const struct {
    std::vector<std::string> names;
    const char* found;
  } cases[] = {
      {{"a", "FILES.BBS"}, "FILES.BBS"},
      {{"files.bbs", "FILES.BBS"}, "FILES.BBS"},
      {{"Files.Bbs", "files.bbs"}, "Files.Bbs"},
      {{"FILES.BBS.bak", "xFILES.BBS"}, nullptr},
      {{}, nullptr},
  };
  for (const auto& c : cases) {
    const std::vector<SearchEntry> entries = names(c.names);
    const SearchEntry* found = FindDescriptionFile(entries);
    if (c.found == nullptr) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(found->Name, c.found);
    }
  }
}

}  // namespace
}  // namespace tabulon
