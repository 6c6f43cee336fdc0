#include "driver/walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <new>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <numeric>
#include <random>
#include <set>
#include <thread>

#include "common/entry_rules.h"
#include "driver/directory_job.h"
#include "driver/fake_platform.h"
#include "driver/page_sink.h"
#include "driver/progress.h"
#include "driver/run.h"
#include "driver/work_pool.h"

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
    return it != fake_.pages.end() &&
           it->second.find(text) != std::string::npos;
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
      {"create:one",
       "tabulon: cannot create listing '/one/FILES.HTM': disk full\n", false,
       true},
      {"write:one",
       "tabulon: cannot write listing '/one/FILES.HTM': disk full\n", false,
       true},
      {"list:one", "tabulon: cannot read directory '/one/': disk full\n", true,
       false},
      {"open:one", "tabulon: cannot read directory '/one/': disk full\n", false,
       false},
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
    EXPECT_NE(fake.pages["two"].find("<td> described in two</td>"),
              std::string::npos);
    EXPECT_NE(fake.pages[""].find("<td> root description</td>"),
              std::string::npos);
    EXPECT_NE(fake.pages["two/deeper"].find("         3 bytes in 1 files."),
              std::string::npos);
  }
}

// A directory that can't be listed may still hold its page: one that
// comes out the same is left as it is.
TEST_F(WalkTest, UnchangedPageOfADirectoryThatCannotBeListedIsLeft) {
  Populate(&fake_);
  fake_.failures["list:one"] = "denied";
  EXPECT_EQ(RunWith({"/", "/t"}), 2);
  ASSERT_EQ(fake_.pages.count("one"), 1u);
  FakePlatform again;
  Populate(&again);
  again.AddFile("one/FILES.HTM", fake_.pages["one"]);
  again.failures["list:one"] = "denied";
  again.args = {"/", "/t"};
  EXPECT_EQ(tabulon::Run(again), 2);
  EXPECT_EQ(again.err, fake_.err);
  EXPECT_EQ(again.pages.count("one"), 0u);
  EXPECT_EQ(again.pages.count("two"), 1u);
}

TEST_F(WalkTest, ListModeWalksPreOrderAndCountsTheWholeTree) {
  Populate(&fake_);
  // Listed by the system after the others, walked first.
  fake_.AddDir("alpha");
  fake_.AddFile("alpha/z.txt", "4444");
  EXPECT_EQ(RunWith({"/"}), 0);
  ASSERT_EQ(fake_.pages.size(), 1u);
  const std::string& page = fake_.pages[""];
  const std::vector<std::string> order = {"a.txt\"",     "alpha/z.txt\"",
                                          "one/x.txt\"", "one/deeper/y.txt\"",
                                          "two/x.txt\"", "two/deeper/y.txt\""};
  std::size_t at = 0;
  for (const std::string& link : order) {
    const std::size_t found = page.find(link, at);
    ASSERT_NE(found, std::string::npos) << link;
    at = found;
  }
  EXPECT_NE(page.find("        15 bytes in 6 files."), std::string::npos);
}

TEST_F(WalkTest, ListPageThatCannotBeMadeIsToldAndFailsTheRun) {
  const struct {
    const char* json;
    const char* failure;
    const char* err;
  } cases[] = {
      {"",
       "create:", "tabulon: cannot create listing '/FILES.HTM': disk full\n"},
      // Without a page, FILES.JSON is not even tried.
      {"--json",
       "create:", "tabulon: cannot create listing '/FILES.HTM': disk full\n"},
      {"--json", "write:",
       "tabulon: cannot write listing '/FILES.HTM': disk full\n"
       "tabulon: cannot write listing '/FILES.JSON': disk full\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.failure) + " " + c.json);
    FakePlatform fake;
    Populate(&fake);
    fake.failures[c.failure] = "disk full";
    fake.args = {"/"};
    if (*c.json != '\0') fake.args.push_back(c.json);
    EXPECT_EQ(tabulon::Run(fake), 2);
    EXPECT_EQ(fake.err, c.err);
    EXPECT_TRUE(fake.pages.empty());
    EXPECT_TRUE(fake.json_pages.empty());
  }
}

TEST_F(WalkTest, ProgressCountsTheDirectoriesAndTheFilesInThem) {
  Populate(&fake_);
  fake_.terminal = true;
  fake_.terminal_width = 80;
  fake_.tick_ms = Progress::kIntervalMs;  // each directory redraws the line
  EXPECT_EQ(RunWith({"/", "/t", "--jobs=1"}), 0);
  // FILES.BBS among the files, the subdirectories not.
  EXPECT_NE(fake_.err.find("\r1 directories, 2 files: /\r"), std::string::npos)
      << fake_.err;
  EXPECT_NE(fake_.err.find("\r5 directories, 8 files: /two/deeper/"),
            std::string::npos)
      << fake_.err;
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
  for (const char* jobs : {"--jobs=1", "--jobs=16"}) {
    SCOPED_TRACE(jobs);
    fake_.pages.clear();
    fake_.most_open_directories = 0;
    EXPECT_EQ(RunWith({"/", "/t", jobs}), 0) << fake_.err;
    EXPECT_EQ(fake_.pages.size(), static_cast<std::size_t>(2 * depth + 1));
    // Far below the usual limit of 1,024, whatever the depth.
    EXPECT_LE(fake_.most_open_directories, 160);
    EXPECT_TRUE(HasRow(path, "<a href=\"bottom.txt\">"));
    EXPECT_EQ(fake_.open_directories, 0);
  }
}

// A chain a/a/a/... `depth` deep with a sibling "b" beside every "a" and a
// file at the bottom: after the bottom the walk comes back to every level.
// Returns the path of the bottom.
std::string PopulateChainWithSiblings(FakePlatform* fake, int depth) {
  std::string path;
  FakePlatform::Node* node = nullptr;
  for (int i = 0; i < depth; ++i) {
    FakePlatform::Node* chain = fake->AddChild(node, "a", true);
    fake->AddChild(node, "b", true);
    node = chain;
    path += path.empty() ? "a" : "/a";
  }
  fake->AddChild(node, "bottom.txt", false);
  return path;
}

TEST_F(WalkTest, ChainWithSiblingsCostsOpensInProportionToItsDirectories) {
  for (const int depth : {500, 4000}) {
    std::map<std::string, std::string> one_thread_pages;
    for (const char* jobs : {"--jobs=1", "--jobs=8", ""}) {
      SCOPED_TRACE(std::to_string(depth) + " " + jobs);
      FakePlatform fake;
      const std::string bottom = PopulateChainWithSiblings(&fake, depth);
      fake.args = {"/", "/t"};
      if (*jobs != '\0') fake.args.push_back(jobs);
      EXPECT_EQ(tabulon::Run(fake), 0);
      EXPECT_EQ(fake.err, "");
      const int directories = 2 * depth + 1;
      ASSERT_EQ(fake.pages.size(), static_cast<std::size_t>(directories));
      // Each directory is opened once and reached with a few opens more; a
      // walk that goes down from the start again costs depth squared.
      EXPECT_LE(fake.directories_opened, 3 * directories);
      EXPECT_LE(fake.most_open_directories, 160);
      EXPECT_EQ(fake.open_directories, 0);
      EXPECT_NE(fake.pages[bottom].find("<a href=\"bottom.txt\">"),
                std::string::npos);
      const std::string deepest_b = bottom.substr(0, bottom.size() - 1) + "b";
      EXPECT_NE(fake.pages[deepest_b].find("<title>b</title>"),
                std::string::npos);
      EXPECT_NE(fake.pages[""].find("<a href=\"b/FILES.HTM\">"),
                std::string::npos);
      if (one_thread_pages.empty()) {
        one_thread_pages = std::move(fake.pages);
      } else {
        EXPECT_TRUE(fake.pages == one_thread_pages);
      }
    }
  }
}

TEST_F(WalkTest, DirectoryMovedMeanwhileIsReachedFromTheStart) {
  const int depth = 300;
  FakePlatform reference;
  const std::string bottom = PopulateChainWithSiblings(&reference, depth);
  reference.args = {"/", "/t", "--jobs=1"};
  ASSERT_EQ(tabulon::Run(reference), 0);
  // The way up from these is another than the way down.
  const std::string middle = bottom.substr(0, 2 * (depth / 2) - 1);
  const std::vector<std::string> cases[] = {
      {"up:" + bottom},
      {"up:" + middle, "up:a/b", "up:a"},
      {"up:" + middle + "/b", "up:" + bottom.substr(0, 2 * depth - 3)},
  };
  for (const auto& moved : cases) {
    for (const char* jobs : {"--jobs=1", "--jobs=4"}) {
      SCOPED_TRACE(moved.front() + " " + jobs);
      FakePlatform fake;
      PopulateChainWithSiblings(&fake, depth);
      for (const std::string& failure : moved) {
        fake.failures[failure] = "moved";
      }
      fake.args = {"/", "/t", jobs};
      EXPECT_EQ(tabulon::Run(fake), 0);
      EXPECT_EQ(fake.err, "");
      EXPECT_TRUE(fake.pages == reference.pages);
      EXPECT_EQ(fake.open_directories, 0);
      // The refused way up was gone round, at the cost of more opens. With
      // several threads the opens depend on the schedule; one thread's are
      // fixed.
      if (std::string_view(jobs) == "--jobs=1") {
        EXPECT_GT(fake.directories_opened, reference.directories_opened);
      }
    }
  }
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

// Populate's tree, a directory "big" large enough to be read in pieces on
// several threads, and enough directories that several are read at once.
// Paths in `left_out` are not made.
void PopulateWide(FakePlatform* fake, const std::set<std::string>& left_out) {
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
  fake->AddDir("many");
  for (int i = 0; i < 40; ++i) {
    const std::string dir = "many/m" + std::to_string(i);
    fake->AddDir(dir);
    fake->AddFile(dir + "/f.txt", std::string(i, 'y'));
    if (i % 4 == 0)
      fake->AddFile(dir + "/FILES.BBS", "F.TXT number " + std::to_string(i));
    if (i % 5 == 0) fake->AddDir(dir + "/inner");
  }
}

TEST_F(WalkTest, EveryJobCountGivesThePagesReportsAndExitCodeOfOne) {
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
      {"list:many/m7", &none},
      {"open:many/m12", &none},
      {"create:many/m30/inner", &none},
  };
  // From "big" too: a large start directory's rows go to the one page as
  // they are made, by whichever thread finishes them.
  for (const char* start : {"/", "/big"}) {
    for (const bool tree : {false, true}) {
      for (const auto& c : cases) {
        SCOPED_TRACE(std::string(start) + " " + c.failure +
                     (tree ? " /t" : "") +
                     (c.vanishing->empty() ? "" : " with entries gone"));
        // Entries that vanish between names and details are never there for
        // the reference, which reads on one thread.
        FakePlatform reference;
        PopulateWide(&reference, *c.vanishing);
        reference.args = {start, "--jobs=1"};
        if (tree) reference.args.push_back("/t");
        if (*c.failure != '\0') reference.failures[c.failure] = "disk full";
        const int expected_exit = tabulon::Run(reference);
        // "": the default count, on a platform whose threads wait: grown
        // as far as the threads happen to find work all the while.
        for (const char* jobs : {"--jobs=2", "--jobs=3", "--jobs=16", ""}) {
          for (const bool later : {false, true}) {
            SCOPED_TRACE(std::string(jobs) + (later ? " details later" : ""));
            FakePlatform fake;
            fake.tick_ms = 50;
            PopulateWide(&fake, later ? none : *c.vanishing);
            fake.details_later = later;
            if (later) fake.vanishing = *c.vanishing;
            fake.args = {jobs, start};
            if (tree) fake.args.push_back("/t");
            fake.failures = reference.failures;
            EXPECT_EQ(tabulon::Run(fake), expected_exit);
            EXPECT_EQ(fake.err, reference.err);
            EXPECT_TRUE(fake.pages == reference.pages);
          }
        }
        if (*c.failure == '\0') {
          EXPECT_TRUE(std::any_of(reference.pages.begin(),
                                  reference.pages.end(), [](const auto& page) {
                                    return page.second.find(
                                               "<td> about 1498</td>") !=
                                           std::string::npos;
                                  }));
        }
      }
    }
  }
}

TEST_F(WalkTest, OutOfMemoryOnAnyThreadEndsInTheOneReport) {
  for (const char* where : {"", "big", "many/m20", "many/m20/inner"}) {
    for (const char* jobs : {"--jobs=1", "--jobs=4"}) {
      for (const bool tree : {false, true}) {
        SCOPED_TRACE(std::string(where) + " " + jobs + (tree ? " /t" : ""));
        FakePlatform fake;
        PopulateWide(&fake, {});
        fake.details_later = true;
        fake.failures[std::string("exhaust:") + where] = "";
        fake.args = {"/", jobs};
        if (tree) fake.args.push_back("/t");
        EXPECT_EQ(tabulon::Run(fake), 1);
        const std::string report =
            "Exception EOutOfMemory in module tabulon at 00000000.\r\n"
            "Out of memory.";
        ASSERT_GE(fake.std_out.size(), report.size());
        EXPECT_EQ(fake.std_out.substr(fake.std_out.size() - report.size()),
                  report);
        EXPECT_EQ(fake.std_out.find("Exception"),
                  fake.std_out.size() - report.size());
        // The one page of the run is never committed half made.
        if (!tree) {
          EXPECT_EQ(fake.pages.count(""), 0u);
        }
      }
    }
  }
}

// Runs every piece on the calling thread in the order `order` picks (0
// forward, 1 backward, more: shuffled by it), hands pieces on as soon as
// those before them are made, and runs the tasks of WhileProducing as
// `tasks` says: each when added, each when the next is added (so that one
// runs while the producer goes on reading), or none.
class ScheduledRunner final : public PieceRunner {
 public:
  enum class Tasks { kAtOnce, kOneBehind, kNone };
  ScheduledRunner(unsigned order, Tasks tasks, int allowed = 4)
      : order_(order), tasks_(tasks), allowed_(allowed) {}
  int threads() const override { return 4; }
  int allowed_threads() const override { return allowed_; }
  void ForEach(std::size_t count,
               const std::function<void(std::size_t)>& piece) override {
    for (const std::size_t i : Order(count)) piece(i);
  }
  void ForEachInOrder(
      std::size_t count, const std::function<void(std::size_t)>& make,
      const std::function<void(std::size_t)>& hand_on) override {
    std::vector<char> made(count);
    std::size_t next = 0;
    for (const std::size_t i : Order(count)) {
      make(i);
      made[i] = 1;
      while (next < count && made[next]) hand_on(next++);
    }
  }
  std::size_t WhileProducing(
      std::size_t, const std::function<void(WorkFeed&)>& produce) override {
    struct Feed final : WorkFeed {
      Tasks tasks;
      std::function<void()> held;
      std::size_t begun = 0;
      void Add(std::function<void()> task) override {
        if (tasks == Tasks::kAtOnce) {
          ++begun;
          task();
        } else if (tasks == Tasks::kOneBehind) {
          if (held) {
            ++begun;
            held();
          }
          held = std::move(task);
        }
      }
    } feed;
    feed.tasks = tasks_;
    produce(feed);
    return feed.begun;
  }

 private:
  std::vector<std::size_t> Order(std::size_t count) const {
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (order_ == 1) std::reverse(order.begin(), order.end());
    if (order_ > 1)
      std::shuffle(order.begin(), order.end(), std::mt19937(order_));
    return order;
  }
  unsigned order_;
  Tasks tasks_;
  int allowed_;
};

// Keeps what a job hands it.
class RecordingSink final : public PageSink {
 public:
  explicit RecordingSink(bool as_made) : as_made_(as_made) {}
  void Finish(Directory&, const Place&, DirectoryResult*) override {}
  void Take(DirectoryResult*) override {}
  bool TakesRowsAsMade(const Place&) const override { return as_made_; }
  void TakeRows(std::string_view rows, std::string_view) override {
    rows_.append(rows);
  }
  std::string rows_;

 private:
  bool as_made_;
};

std::string FileName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "f%04d.txt", i);
  return name;
}

// What the job tests run a directory with: a page per directory, plain
// links, memory to spare, small batches of names.
JobSettings SettingsFor(PageSink* sink) {
  JobSettings settings;
  settings.RunMode = mTree;
  settings.prefixed_links = false;
  settings.free_memory = [] { return std::uint64_t{1} << 40; };
  settings.sink = sink;
  settings.first_names_batch = 100;
  settings.names_batch = 300;
  return settings;
}

TEST(DirectoryJobTest, EveryScheduleGivesTheSameRows) {
  // More than four batches of names, read in an order other than the name
  // order, two of them gone between their names and their details.
  constexpr int kFiles = 1300;
  const std::set<int> gone = {5, 1207};
  FakePlatform fake;
  fake.details_later = true;
  fake.AddDir("big");
  std::vector<int> added(kFiles);
  std::iota(added.begin(), added.end(), 0);
  std::shuffle(added.begin(), added.end(), std::mt19937(42));
  std::string bbs;
  for (const int i : added) {
    fake.AddFile("big/" + FileName(i), std::string(i % 10, 'x'));
    if (i % 3 == 0) bbs += FileName(i) + " about " + std::to_string(i) + "\r\n";
    if (gone.count(i) != 0) fake.vanishing.insert("big/" + FileName(i));
  }
  fake.AddFile("big/FILES.BBS", bbs);
  fake.AddFile("big/.hidden", "h");
  fake.AddDir("big/sub");
  const auto place = Place::Start("/big/", '/', "", cWindows1251);

  std::string first_rows;
  for (const bool as_made : {false, true}) {
    for (const unsigned order : {0u, 1u, 2u, 3u}) {
      for (const auto tasks :
           {ScheduledRunner::Tasks::kAtOnce, ScheduledRunner::Tasks::kOneBehind,
            ScheduledRunner::Tasks::kNone}) {
        SCOPED_TRACE(std::to_string(as_made) + " order " +
                     std::to_string(order) + " tasks " +
                     std::to_string(static_cast<int>(tasks)));
        RecordingSink sink(as_made);
        const JobSettings settings = SettingsFor(&sink);
        std::unique_ptr<Directory> dir;
        ASSERT_TRUE(fake.OpenDirectory("/big", &dir).ok());
        ScheduledRunner runner(order, tasks);
        DirectoryResult result =
            DirectoryJob(*dir, *place, settings, runner).Complete();
        std::string rows = sink.rows_;
        for (const std::string& piece : result.rows) rows += piece;
        EXPECT_EQ(as_made ? result.rows.empty() : sink.rows_.empty(), true);
        // Every file but those gone, once, in name order, described where
        // FILES.BBS says.
        std::size_t at = 0;
        std::int64_t bytes = 0;
        int files = 0, described = 0;
        for (int i = 0; i < kFiles; ++i) {
          if (gone.count(i) != 0) continue;
          const std::string link = "<a href=\"" + FileName(i) + "\">";
          const std::size_t found = rows.find(link, at);
          ASSERT_NE(found, std::string::npos) << i;
          at = found;
          ++files;
          bytes += i % 10;
          if (i % 3 == 0) {
            ++described;
            // In its own row.
            EXPECT_LT(
                rows.find("<td> about " + std::to_string(i) + "</td>", found),
                rows.find("<tr>", found))
                << i;
          }
        }
        const auto count = [&rows](const std::string& text) {
          int n = 0;
          for (std::size_t p = rows.find(text); p != std::string::npos;
               p = rows.find(text, p + 1)) {
            ++n;
          }
          return n;
        };
        // Those gone have no row, and nothing comes twice.
        EXPECT_EQ(count("<a href=\"f"), files);
        EXPECT_EQ(count("<td> about "), described);
        EXPECT_EQ(rows.find(".hidden"), std::string::npos);
        EXPECT_EQ(result.totals.TotalFiles, files);
        EXPECT_EQ(result.totals.TotalBytes, bytes);
        EXPECT_EQ(result.subdirectories, std::vector<std::string>{"sub"});
        EXPECT_TRUE(result.reports.empty());
        if (first_rows.empty()) first_rows = rows;
        EXPECT_TRUE(rows == first_rows);
      }
    }
  }
}

// A directory read again with one thread allowed, after it was short of
// room with more, reads its names as one thread alone does: straight into
// place, not in batches joined at the end (which holds both at once).
TEST(DirectoryJobTest, NamesAreReadInBatchesOnlyWhereHelpersMayTakeThem) {
  class CountingDirectory final : public testing::ForwardingDirectory {
   public:
    using ForwardingDirectory::ForwardingDirectory;
    Status ReadNamesInBatches(
        std::size_t first_batch, std::size_t batch,
        const std::function<void(std::vector<SearchEntry>&&)>& take) override {
      ++batched;
      return ForwardingDirectory::ReadNamesInBatches(first_batch, batch, take);
    }
    int batched = 0;
  };
  FakePlatform fake;
  fake.details_later = true;
  fake.AddDir("big");
  for (int i = 0; i < 1000; ++i) fake.AddFile("big/" + FileName(i), "x");
  fake.AddFile("big/FILES.BBS", FileName(7) + " seven\r\n");
  const auto place = Place::Start("/big/", '/', "", cWindows1251);
  std::string rows_of_one;
  for (const int allowed : {1, 2, 4}) {
    SCOPED_TRACE(allowed);
    RecordingSink sink(/*as_made=*/true);
    const JobSettings settings = SettingsFor(&sink);
    std::unique_ptr<Directory> opened;
    ASSERT_TRUE(fake.OpenDirectory("/big", &opened).ok());
    CountingDirectory dir(std::move(opened));
    ScheduledRunner runner(0, ScheduledRunner::Tasks::kAtOnce, allowed);
    DirectoryJob(dir, *place, settings, runner).Complete();
    EXPECT_EQ(dir.batched, allowed > 1 ? 1 : 0);
    if (allowed == 1) rows_of_one = sink.rows_;
    EXPECT_EQ(sink.rows_, rows_of_one);
  }
  EXPECT_NE(rows_of_one.find("seven"), std::string::npos);
}

// The rows of a large directory go to a page as they are made; were each
// piece kept until the job ends, a directory of a million files would hold
// its whole page in memory.
TEST(DirectoryJobTest, RowsHandedOnAreFreedOnceTaken) {
#if !defined(__GLIBC__) || defined(__SANITIZE_ADDRESS__) || \
    defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the heap in use is read from glibc's own malloc";
#else
  constexpr int kFiles = 6000;
  FakePlatform fake;
  fake.AddDir("big");
  std::string bbs;
  for (int i = 0; i < kFiles; ++i) {
    fake.AddFile("big/" + FileName(i), "x");
    bbs += FileName(i) + " " +
           std::string(300, static_cast<char>('a' + i % 26)) + "\r\n";
  }
  fake.AddFile("big/FILES.BBS", bbs);
  const auto place = Place::Start("/big/", '/', "", cWindows1251);

  // Takes the rows without keeping them; notes how much more of the heap
  // is in use than at the first piece.
  class MeasuringSink final : public PageSink {
   public:
    void Finish(Directory&, const Place&, DirectoryResult*) override {}
    void Take(DirectoryResult*) override {}
    bool TakesRowsAsMade(const Place&) const override { return true; }
    void TakeRows(std::string_view rows, std::string_view) override {
      const std::size_t in_use = mallinfo2().uordblks;
      if (taken == 0) first_in_use = in_use;
      taken += rows.size();
      if (in_use > first_in_use) grown = std::max(grown, in_use - first_in_use);
    }
    std::size_t taken = 0, first_in_use = 0, grown = 0;
  } sink;
  const JobSettings settings = SettingsFor(&sink);
  std::unique_ptr<Directory> dir;
  ASSERT_TRUE(fake.OpenDirectory("/big", &dir).ok());
  ScheduledRunner runner(0, ScheduledRunner::Tasks::kNone);
  DirectoryJob(*dir, *place, settings, runner).Complete();
  ASSERT_GT(sink.taken, std::size_t{kFiles} * 300);
  // At most a few pieces in memory at once, never the page.
  EXPECT_LT(sink.grown, sink.taken / 4);
#endif
}

// Rows that went to the page can't be taken back: a start directory read
// by several threads that runs out of memory once its first rows went is
// not read again (which would put them on the page twice) but ends the
// walk out of memory.
TEST(WalkOutOfMemoryTest, StartDirectoryIsNotReadAgainOnceItsRowsWent) {
  // Fills in no details until two threads fill in some at once, waiting
  // once (a bound, not a timing: threads may be slow to start): it is
  // surely read by several.
  class SharedDirectory final : public testing::ForwardingDirectory {
   public:
    using ForwardingDirectory::ForwardingDirectory;
    void FillDetails(SearchEntry* first, SearchEntry* last) override {
      if (++filling_ > 1) met_ = true;
      const auto give_up =
          std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (!met_ && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      met_ = true;
      ForwardingDirectory::FillDetails(first, last);
      --filling_;
    }

   private:
    std::atomic<int> filling_{0};
    std::atomic<bool> met_{false};
  };
  // Takes the start directory's rows as made; out of memory on the first.
  class FailingOnceSink final : public PageSink {
   public:
    void Finish(Directory&, const Place&, DirectoryResult*) override {}
    void Take(DirectoryResult*) override {}
    bool TakesRowsAsMade(const Place& place) const override {
      return place.IsStart();
    }
    void TakeRows(std::string_view rows, std::string_view) override {
      if (pieces_++ == 0) throw std::bad_alloc();
      rows_.append(rows);
    }
    std::string rows_;

   private:
    int pieces_ = 0;
  };
  FakePlatform fake;
  fake.details_later = true;
  fake.AddDir("big");
  for (int i = 0; i < 3000; ++i) fake.AddFile("big/" + FileName(i), "x");
  std::unique_ptr<Directory> opened;
  ASSERT_TRUE(fake.OpenDirectory("/big", &opened).ok());
  FailingOnceSink sink;
  JobSettings settings = SettingsFor(&sink);
  settings.processors = 4;
  Reporter reporter(fake);
  WalkOptions options;
  options.job = &settings;
  options.threads = 4;
  options.reporter = &reporter;
  options.platform = &fake;
  EXPECT_THROW(
      WalkDirectory(std::make_shared<SharedDirectory>(std::move(opened)),
                    Place::Start("/big/", '/', "", cWindows1251), options),
      std::bad_alloc);
  // Nothing after the failure, nor the rows once more.
  EXPECT_EQ(sink.rows_, "");
}

TEST(DescriptionFileOfTest, ExactNameFirstThenAnyCaseThenDescriptIon) {
  const struct {
    std::vector<std::string> names;
    const char* found;
  } cases[] = {
      {{"a", "FILES.BBS"}, "FILES.BBS"},
      {{"files.bbs", "FILES.BBS"}, "FILES.BBS"},
      {{"files.bbs", "Files.Bbs"}, "Files.Bbs"},  // first in name order
      {{"DESCRIPT.ION", "files.bbs"}, "files.bbs"},
      {{"descript.ion", "a"}, "descript.ion"},
      {{"descript.ion", "Descript.Ion"}, "Descript.Ion"},
      {{"FILES.BBS.bak", "xFILES.BBS", "DESCRIPT.IONx"}, nullptr},
      {{}, nullptr},
  };
  for (const auto& c : cases) {
    std::vector<SearchEntry> entries;
    for (const std::string& name : c.names) entries.emplace_back().Name = name;
    const int found = DescriptionFileOf(entries);
    if (c.found == nullptr) {
      EXPECT_EQ(found, -1);
    } else {
      ASSERT_GE(found, 0);
      EXPECT_EQ(entries[found].Name, c.found);
    }
  }
}

}  // namespace
}  // namespace tabulon
