// A tree far deeper than the system's path limit, walked by the real
// program: every page right, and the directories opened in proportion to
// the directories there are, not to the square of the depth.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_fixture.h"

namespace tabulon::testing {
namespace {

// The date every entry of the tree gets, as a page shows it.
constexpr char kShownDate[] = " 12-25-05";

std::time_t DayOfTheTree() {
  std::tm parts{};
  parts.tm_year = 2005 - 1900;
  parts.tm_mon = 12 - 1;
  parts.tm_mday = 25;
  parts.tm_hour = 12;
  return timegm(&parts);
}

std::string ReadAt(int at, const char* name) {
  const int fd = ::openat(at, name, O_RDONLY | O_CLOEXEC);
  std::string bytes;
  if (fd < 0) return "(cannot open " + std::string(name) + ")";
  char block[4096];
  for (ssize_t n; (n = ::read(fd, block, sizeof block)) > 0;) {
    bytes.append(block, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bytes;
}

// A chain a/a/a/... `depth` deep in a fresh directory, a sibling "b" beside
// every "a", and f.txt (one byte) at the bottom. Built and read a level at a
// time through descriptors: its paths are far longer than the system takes.
// Removes every entry of the open directory `fd` but its subdirectories.
void RemoveFilesIn(int fd) {
  DIR* dir = ::fdopendir(::dup(fd));
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_type != DT_DIR) names.push_back(entry->d_name);
  }
  ::closedir(dir);
  for (const std::string& name : names) ::unlinkat(fd, name.c_str(), 0);
}

class Chain {
 public:
  explicit Chain(int depth) : depth_(depth) {
    char name[] = "/tmp/tabulon-deep-XXXXXX";
    if (::mkdtemp(name) == nullptr) return;
    root_ = name;
    int fd = ::open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; fd >= 0 && level < depth; ++level) {
      if (::mkdirat(fd, "a", 0755) != 0 || ::mkdirat(fd, "b", 0755) != 0) {
        ::close(fd);
        return;
      }
      const int below = ::openat(fd, "a", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
      fd = below;
    }
    if (fd < 0) return;
    const int file =
        ::openat(fd, "f.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    made_ = file >= 0 && ::write(file, "x", 1) == 1;
    if (file >= 0) ::close(file);
    ::close(fd);
  }
  ~Chain() {
    if (root_.empty()) return;
    if (::testing::Test::HasFailure()) {
      std::fprintf(stderr, "kept the test tree at %s\n", root_.c_str());
      return;
    }
    // From the bottom up, a level at a time: removing a tree this deep by
    // its paths costs the depth's square.
    int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int level = 0;
    for (int below; level < depth_ && fd >= 0; ++level, fd = below) {
      below = ::openat(fd, "a", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
    }
    for (; fd >= 0; --level) {
      RemoveFilesIn(fd);
      const int b = ::openat(fd, "b", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (b >= 0) {
        RemoveFilesIn(b);
        ::close(b);
        ::unlinkat(fd, "b", AT_REMOVEDIR);
      }
      if (level == 0) break;
      const int above = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
      fd = above;
      if (fd >= 0) ::unlinkat(fd, "a", AT_REMOVEDIR);
    }
    if (fd >= 0) ::close(fd);
    ::rmdir(root_.c_str());
  }

  bool made() const { return made_; }
  const std::string& root() const { return root_; }

  // Gives every entry below the start the tree's date again (writing a page
  // changes its directory's) and returns the pages, from the start down:
  // each level's, then each "b" page from the top down.
  std::vector<std::string> DateAndReadPages() const {
    const std::time_t day = DayOfTheTree();
    const timespec times[2] = {{day, 0}, {day, 0}};
    std::vector<std::string> chain;
    std::vector<std::string> siblings;
    int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; fd >= 0 && level <= depth_; ++level) {
      chain.push_back(ReadAt(fd, "FILES.HTM"));
      if (level == depth_) {
        ::utimensat(fd, "f.txt", times, AT_SYMLINK_NOFOLLOW);
        break;
      }
      const int b = ::openat(fd, "b", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      siblings.push_back(b < 0 ? "(cannot open b)" : ReadAt(b, "FILES.HTM"));
      if (b >= 0) ::close(b);
      ::utimensat(fd, "a", times, AT_SYMLINK_NOFOLLOW);
      ::utimensat(fd, "b", times, AT_SYMLINK_NOFOLLOW);
      const int below = ::openat(fd, "a", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
      fd = below;
    }
    if (fd >= 0) ::close(fd);
    chain.insert(chain.end(), siblings.begin(), siblings.end());
    return chain;
  }

 private:
  int depth_;
  std::string root_;
  bool made_ = false;
};

// The calls that open a file or directory in strace's summary `path`; -1
// when it has none.
long OpensIn(const std::string& path) {
  std::ifstream in(path);
  long opens = -1;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::vector<std::string> word;
    for (std::string w; words >> w;) word.push_back(w);
    if (word.size() >= 5 && (word.back() == "openat" || word.back() == "open" ||
                             word.back() == "openat2")) {
      opens = (opens < 0 ? 0 : opens) + std::stol(word[3]);
    }
  }
  return opens;
}

class DeepTreeTest : public E2eTest {};

TEST_F(DeepTreeTest, ChainWithSiblingsCostsOpensInProportionToItsDirectories) {
  if (RunProcess({"strace", "-V"}).exit_code != 0) {
    GTEST_SKIP() << "strace, which counts the opens, is not installed";
  }
  long shallow_opens = 0;
  for (const int depth : {500, 4000}) {
    SCOPED_TRACE(depth);
    Chain chain(depth);
    ASSERT_TRUE(chain.made()) << chain.root();
    const std::string title = chain.root().substr(chain.root().rfind('/') + 1);
    std::vector<std::string> expected;
    for (int level = 0; level < depth; ++level) {
      expected.push_back(Head(level == 0 ? title : "a") +
                         DirRow("a", "a", kShownDate) +
                         DirRow("b", "b", kShownDate) + Foot("0", 0));
    }
    expected.push_back(Head("a") + FileRow("f.txt", "f.txt", "1", kShownDate) +
                       Foot("1", 1));
    expected.insert(expected.end(), depth, Head("b") + Foot("0", 0));

    const long directories = 2 * depth + 1;
    long opens = 0;
    for (const char* jobs : {"--jobs=1", ""}) {
      SCOPED_TRACE(jobs);
      chain.DateAndReadPages();
      const std::string summary = chain.root() + ".strace";
      // The run with one thread is counted; the other runs as it is.
      std::vector<std::string> args = {ProgramUnderTest(TABULON_BINARY),
                                        chain.root(), "/t"};
      if (*jobs != '\0') {
        args.push_back(jobs);
        args.insert(args.begin(), {"strace", "-f", "--seccomp-bpf", "-c", "-o",
                                   summary, "-e", "trace=open,openat,openat2"});
      }
      ProcessOptions options;
      options.env.push_back("TZ=UTC");
      // A leak check reads the threads through /proc, which it can't while
      // traced; the other findings stay fatal.
      if (*jobs != '\0') {
        options.env.push_back("ASAN_OPTIONS=detect_leaks=0:abort_on_error=1");
      }
      const ProcessResult run = RunProcess(args, options);
      if (*jobs != '\0') {
        opens = OpensIn(summary);
        ::unlink(summary.c_str());
        if (opens < 0) GTEST_SKIP() << "strace cannot trace here: " << run.err;
      }
      EXPECT_EQ(run.exit_code, 0) << run.err;
      EXPECT_EQ(run.out, kBanner);
      const std::vector<std::string> pages = chain.DateAndReadPages();
      ASSERT_EQ(pages.size(), expected.size());
      for (std::size_t i = 0; i < pages.size(); ++i) {
        ASSERT_EQ(pages[i], expected[i]) << "page " << i;
      }
    }
    // A directory is opened, its page made and the next one reached with a
    // few opens each; going down from the start again would cost the
    // depth's square.
    EXPECT_LE(opens, 5 * directories);
    if (depth == 500) {
      shallow_opens = opens;
    } else {
      EXPECT_LT(opens, 10 * shallow_opens);
    }
  }
}

}  // namespace
}  // namespace tabulon::testing
