// Runs the real binary under limits of open files, of address space and of
// processor time, with one job and with sixteen: the pages, the reports and the
// exit code must be the same for both, whatever the limit.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace tabulon::testing {
namespace {

// What a run leaves: its exit code, its output and every page of the tree
// by path (relative to the tree's root).
struct Outcome {
  int exit_code = -1;
  std::string out;
  std::string err;
  std::map<std::string, std::string> pages;
};

// Removes the pages (and anything hidden) below `path` into *pages by
// their path below the root, `relative`, and gives every directory the
// same time again: a page removed changes it, and FILES.JSON shows it.
// Through descriptors, a level at a time: the comb is deep.
void Settle(const std::string& path, const std::string& relative,
            std::map<std::string, std::string>* pages) {
  std::vector<std::pair<int, std::string>> stack;
  const int root = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root >= 0) stack.emplace_back(root, relative);
  while (!stack.empty()) {
    const auto [fd, at] = stack.back();
    stack.pop_back();
    DIR* dir = fdopendir(dup(fd));
    std::vector<std::string> removed;
    while (const dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string below = at.empty() ? name : at + "/" + name;
      if (entry->d_type == DT_DIR) {
        const int sub = openat(fd, name.c_str(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) stack.emplace_back(sub, below);
      } else if (name == "FILES.HTM" || name == "FILES.JSON" ||
                 name[0] == '.') {
        removed.push_back(name);
        if (pages != nullptr) {
          std::string bytes;
          const int file = openat(fd, name.c_str(), O_RDONLY | O_CLOEXEC);
          char block[65536];
          for (ssize_t n;
               file >= 0 && (n = read(file, block, sizeof block)) > 0;) {
            bytes.append(block, static_cast<std::size_t>(n));
          }
          if (file >= 0) close(file);
          (*pages)[below] = std::move(bytes);
        }
      }
    }
    if (dir != nullptr) closedir(dir);
    for (const std::string& name : removed) unlinkat(fd, name.c_str(), 0);
    const timespec noon_2005_12_25[2] = {{1135512000, 0}, {1135512000, 0}};
    futimens(fd, noon_2005_12_25);
    close(fd);
  }
}

class LimitsTest : public E2eTest {
 protected:
  // Runs the program with `limit` set on `resource` and the pages of the
  // tree collected and then removed, so that the next run starts from the
  // same tree.
  Outcome RunUnder(int resource, rlim_t limit, std::vector<std::string> args,
                   int jobs) {
    for (const auto& [path, bytes] : previous_) Put(path, bytes);
    args.insert(args.begin(), ProgramUnderTest(TABULON_BINARY));
    if (jobs > 0) args.push_back("--jobs=" + std::to_string(jobs));
    ProcessOptions options;
    options.in_child = [resource, limit] {
      const rlimit set{limit, limit};
      setrlimit(resource, &set);
    };
    options.kill_after_ms = 120000;
    Settle(tree_.root(), "", nullptr);
    const ProcessResult r = RunProcess(args, options);
    Outcome outcome{r.exit_code, r.out, r.err, {}};
    Settle(tree_.root(), "", &outcome.pages);
    return outcome;
  }

  // Runs with one job and with sixteen under the same limit; returns the
  // outcome of one job.
  Outcome ExpectSameForOneAndSixteenJobs(int resource, rlim_t limit,
                                         const std::vector<std::string>& args) {
    const Outcome one = RunUnder(resource, limit, args, 1);
    const Outcome many = RunUnder(resource, limit, args, 16);
    EXPECT_EQ(many.exit_code, one.exit_code) << many.err.substr(0, 1000);
    EXPECT_EQ(many.out, one.out);
    EXPECT_EQ(many.err, one.err);
    // The paths of the pages that differ, a few of them.
    std::vector<std::string> differ;
    for (const auto& [path, bytes] : one.pages) {
      const auto it = many.pages.find(path);
      if (it == many.pages.end() || it->second != bytes) differ.push_back(path);
    }
    // A run that ran out of memory ends at once; sixteen jobs may have
    // written, whole, the pages of directories read ahead of it.
    for (const auto& [path, bytes] : many.pages) {
      if (one.pages.count(path) == 0 && one.exit_code != 1) {
        differ.push_back(path);
      }
    }
    EXPECT_TRUE(differ.empty())
        << differ.size() << " pages differ, among them "
        << ::testing::PrintToString(std::vector<std::string>(
               differ.begin(),
               differ.begin() +
                   std::min<std::ptrdiff_t>(
                       5, static_cast<std::ptrdiff_t>(differ.size()))));
    return one;
  }

  // A file and the directories it lies in.
  void Put(const std::string& relative, const std::string& bytes) {
    tree_.Dir(relative.substr(0, relative.rfind('/')));
    tree_.File(relative, bytes);
  }

  // Directories d1 ... d40, each with a file, a FILES.BBS and five small
  // subdirectories.
  void Forty() {
    for (int i = 1; i <= 40; ++i) {
      const std::string dir = "t/d" + std::to_string(i);
      tree_.Dir(dir);
      Put(dir + "/f.txt", "x");
      Put(dir + "/FILES.BBS", "f.txt described\r\n");
      for (int k = 1; k <= 5; ++k) {
        Put(dir + "/s" + std::to_string(k) + "/g", "y");
      }
    }
  }

  // Of every kind a little: description files of both names, a directory
  // large enough to be read in pieces, links, empty and nested directories,
  // a page from before.
  void Mixed() {
    Put("t/FILES.BBS", "a.txt top\r\n");
    Put("t/a.txt", "a");
    previous_["t/FILES.HTM"] = "previous page";
    for (int i = 0; i < 1500; ++i) {
      Put("t/large/f" + std::to_string(i), std::string(i % 7, 'z'));
    }
    Put("t/large/FILES.BBS", "f1 one\r\nf22 twenty-two\r\n");
    Put("t/ion/DESCRIPT.ION", "b.txt from DESCRIPT.ION\r\n");
    Put("t/ion/b.txt", "b");
    tree_.Link("t/ion/to-a", "../a.txt");
    tree_.Link("t/ion/to-large", "../large");
    for (int i = 0; i < 6; ++i) {
      const std::string top = "t/top" + std::to_string(i);
      Put(top + "/FILES.BBS", "c.txt in a top directory\r\n");
      Put(top + "/c.txt", "c");
      for (int k = 0; k < 5; ++k) {
        Put(top + "/s" + std::to_string(k) + "/inner/d.txt", "d");
      }
    }
    tree_.Dir("t/empty");
  }

  // Files written anew before every run: pages from before.
  std::map<std::string, std::string> previous_;

  // A chain t/a/a/... `depth` deep, a directory b beside every a: while the
  // walk goes down, every b waits to be read. Made through descriptors: a
  // path for each level would cost the square of the depth.
  void Comb(int depth) {
    tree_.Dir("t");
    int dir = open(tree_.Path("t").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < depth && dir >= 0; ++i) {
      mkdirat(dir, "b", 0755);
      mkdirat(dir, "a", 0755);
      const int next = openat(dir, "a", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      close(dir);
      dir = next;
      if (dir >= 0)
        close(openat(dir, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
    ASSERT_GE(dir, 0);
    close(dir);
  }
};

TEST_F(LimitsTest, OpenFileLimitGivesTheSameRunForOneAndSixteenJobs) {
  struct Case {
    const char* tree;
    rlim_t descriptors;
    std::vector<std::string> args;
  };
  const Case kCases[] = {
      {"forty", 16, {"/t"}}, {"forty", 16, {"/t", "--json"}}, {"forty", 16, {}},
      {"mixed", 20, {"/t"}}, {"mixed", 20, {"/t", "--json"}}, {"mixed", 20, {}},
      {"mixed", 12, {"/t"}}, {"comb", 100, {"/t"}},           {"comb", 100, {}},
  };
  std::string built;
  for (const Case& c : kCases) {
    if (built != c.tree) {
      std::filesystem::remove_all(tree_.Path("t"));
      previous_.clear();
      built = c.tree;
      if (built == "forty") Forty();
      if (built == "mixed") Mixed();
      if (built == "comb") Comb(1000);
    }
    std::vector<std::string> args = {tree_.Path("t")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(built + " under " + std::to_string(c.descriptors) +
                 " descriptors, " + (c.args.empty() ? "" : c.args[0]) +
                 (c.args.size() > 1 ? " " + c.args[1] : ""));
    const Outcome one =
        ExpectSameForOneAndSixteenJobs(RLIMIT_NOFILE, c.descriptors, args);
    // These limits leave room enough for one job: the walk keeps within
    // them.
    if (c.descriptors >= 16) {
      EXPECT_EQ(one.exit_code, 0) << one.err.substr(0, 1000);
    }
  }
}

TEST_F(LimitsTest, AddressSpaceLimitGivesTheSameRunForOneAndSixteenJobs) {
  constexpr int kFiles = 50000;
  for (int i = 0; i < kFiles; ++i) {
    Put("t/big/file" + std::to_string(i) + ".txt", "");
  }
  Put("t/big/FILES.BBS", "file7.txt seven\r\n");
  Put("t/small/a.txt", "a");
  const std::vector<std::string> args = {tree_.Path("t"), "/t"};
  // The least address space, to 2 MiB, in which one job lists the tree.
  constexpr rlim_t kStep = rlim_t{2} << 20;
  rlim_t fails = 4 * kStep;
  rlim_t works = rlim_t{1} << 30;
  ASSERT_EQ(RunUnder(RLIMIT_AS, works, args, 1).exit_code, 0);
  while (works - fails > kStep) {
    const rlim_t middle = (fails + works) / 2 / kStep * kStep;
    (RunUnder(RLIMIT_AS, middle, args, 1).exit_code == 0 ? works : fails) =
        middle;
  }
  SCOPED_TRACE("one job needs " + std::to_string(works >> 20) + " MiB");
  // Enough for one job and the stacks of fifteen more threads (the pool's
  // 512 KiB each, 7.5 MiB), far more, and too little even for one job: the
  // same run each time. (Just enough for one job is too little for the
  // stacks besides.)
  for (const rlim_t limit : {works + 4 * kStep, works + 32 * kStep,
                             std::max(fails, 8 * kStep) - 4 * kStep}) {
    SCOPED_TRACE(std::to_string(limit >> 20) + " MiB");
    ExpectSameForOneAndSixteenJobs(RLIMIT_AS, limit, args);
  }
  // Whatever the limit, the run ends by itself: with its pages, or with the
  // report of memory run out, never by a signal (memory runs out in a
  // different place for every limit).
  for (rlim_t limit = 4 * kStep; limit <= works + 4 * kStep;
       limit += kStep / 2) {
    for (const int jobs : {1, 16}) {
      SCOPED_TRACE(std::to_string(limit >> 10) + " KiB, " +
                   std::to_string(jobs) + " jobs");
      const Outcome outcome = RunUnder(RLIMIT_AS, limit, args, jobs);
      if (outcome.exit_code != 0) {
        EXPECT_EQ(outcome.exit_code, 1) << outcome.err.substr(0, 300);
        EXPECT_TRUE(outcome.out.ends_with("Out of memory.")) << outcome.out;
      }
    }
  }
}

// A FILES.BBS of twenty million empty lines: each a record, so small that
// what the list and its lookup keep beside it decides. The reading is cut
// short where memory would run out, told, and the run goes on.
TEST_F(LimitsTest, AddressSpaceLimitCutsADescriptionFileOfEmptyLines) {
  Put("t/a.txt", "a");
  Put("t/sub/b.txt", "b");
  Put("t/FILES.BBS",
      "a.txt the first record\r\n" + std::string(20000000, '\n'));
  const Outcome one = ExpectSameForOneAndSixteenJobs(
      RLIMIT_AS, rlim_t{600} << 20, {tree_.Path("t"), "/t"});
  EXPECT_EQ(one.exit_code, 2) << one.out.substr(0, 300);
  EXPECT_EQ(one.err, "tabulon: description file cut short '" + tree_.Path("t") +
                         "/FILES.BBS': not enough memory\n");
  EXPECT_NE(one.pages.at("t/FILES.HTM").find("the first record"),
            std::string::npos);
  EXPECT_EQ(one.pages.count("t/sub/FILES.HTM"), 1u);
}

// Four directories, each with a 31 MB FILES.BBS (one file, linked), that
// fit in memory one at a time, not four at once: a file cut short beside
// others is read again alone; where even alone is too much, each is told.
// The same run for one, two and four jobs; then with 16 KiB of stack.
TEST_F(LimitsTest,
       AddressSpaceLimitOnLargeDescriptionFilesAndSmallStackGiveTheSameRun) {
  std::string bbs = "f.txt the first record\r\n", cut;
  while (bbs.size() < 31000000) bbs += "g" + std::string(2000, 'd') + "\r\n";
  Put("t/d0/FILES.BBS", bbs + "last.txt the last record\r\n");
  for (const std::string d : {"0", "1", "2", "3"}) {
    Put("t/d" + d + "/last.txt", "l");
    EXPECT_EQ(link(tree_.Path("t/d0/FILES.BBS").c_str(),
                   tree_.Path("t/d" + d + "/FILES.BBS").c_str()),
              d == "0" ? -1 : 0);
    cut += "tabulon: description file cut short '" + tree_.Path("t/d") + d +
           "/FILES.BBS': not enough memory\n";
  }
  Comb(200);  // deep, for the stack
  const std::vector<std::string> args = {tree_.Path("t"), "/t"};
  // The least address space, to 4 MiB, in which one job reads them whole.
  constexpr rlim_t kStep = rlim_t{4} << 20;
  rlim_t fails = 4 * kStep, works = rlim_t{256} << 20;
  while (works - fails > kStep) {
    const rlim_t middle = (fails + works) / 2 / kStep * kStep;
    (RunUnder(RLIMIT_AS, middle, args, 1).exit_code == 0 ? works : fails) =
        middle;
  }
  Outcome whole;
  for (const auto& [resource, limit, err] :
       {std::tuple{RLIMIT_AS, works + 2 * kStep, std::string()},
        std::tuple{RLIMIT_AS, works - 4 * kStep, cut},
        std::tuple{RLIMIT_STACK, rlim_t{16} << 10, std::string()}}) {
    const Outcome one = RunUnder(resource, limit, args, 1);
    EXPECT_EQ(one.err, err) << (limit >> 10) << " KiB";
    EXPECT_EQ(
        one.pages.at("t/d3/FILES.HTM").find("last record") == std::string::npos,
        !err.empty());
    if (whole.exit_code < 0) whole = one;
    EXPECT_TRUE(resource != RLIMIT_STACK || one.pages == whole.pages);
    for (const int jobs : {2, 4, 0, 0, 0}) {             // 0: the default
      if (jobs == 0 && resource == RLIMIT_AS) continue;  // more stacks
      const Outcome many = RunUnder(resource, limit, args, jobs);
      EXPECT_EQ(many.exit_code, one.exit_code) << (limit >> 10) << " KiB";
      EXPECT_EQ(many.err, one.err) << jobs << " jobs";
      EXPECT_TRUE(many.pages == one.pages) << jobs << " jobs";
    }
  }
}

TEST_F(LimitsTest,
       ProcessorTimeLimitIsNotSpentOnTheHolesOfASparseDescriptionFile) {
  // A terabyte of FILES.BBS that stores two blocks: an uploader's `truncate`
  // must not cost hours of reading zeros.
  if (PortableProgramUnderTest()) {
    GTEST_SKIP() << "the portable ways read a file's holes as its zeros";
  }
  Put("t/a.txt", "a");
  Put("t/b.txt", "b");
  Put("t/FILES.BBS", "a.txt the first record\r\n");
  const std::string second = "\r\nb.txt the second record\r\n";
  const int fd = open(tree_.Path("t/FILES.BBS").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const bool made = pwrite(fd, second.data(), second.size(), off_t{1} << 40) ==
                    static_cast<ssize_t>(second.size());
  const off_t first_hole = lseek(fd, 0, SEEK_HOLE);
  close(fd);
  if (!made || first_hole <= 0 || first_hole > (off_t{1} << 20)) {
    GTEST_SKIP() << "the file system here keeps no terabyte holes";
  }
  const Outcome one =
      ExpectSameForOneAndSixteenJobs(RLIMIT_CPU, 30, {tree_.Path("t"), "/t"});
  EXPECT_EQ(one.exit_code, 0) << one.err.substr(0, 300);
  const auto page = one.pages.find("t/FILES.HTM");
  ASSERT_NE(page, one.pages.end());
  EXPECT_NE(page->second.find("the first record"), std::string::npos);
  EXPECT_NE(page->second.find("the second record"), std::string::npos);
}

}  // namespace
}  // namespace tabulon::testing
