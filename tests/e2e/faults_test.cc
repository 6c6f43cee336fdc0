// Runs the real binary into faults: a disk that fills, directories that
// can't be read or vanish, signals, odd description files, hostile names,
// link loops and very deep trees. Whatever happens, every page on disk
// afterwards is the previous one or a whole new one, no temporary file is
// left, and every failure is reported and sets the exit code.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/page_check.h"
#include "support/process.h"
#include "support/tree.h"

namespace tabulon::testing {
namespace {

constexpr char kPreviousPage[] = "previous page";
constexpr uid_t kNobody = 65534;

std::string ReadAt(int dir, const std::string& name) {
  std::string bytes;
  const int fd = openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) bytes.append(buffer, n);
  close(fd);
  return bytes;
}

// What lies on disk: the pages by directory (relative to the tree's root,
// "" for the root) and any temporary page left behind.
struct Pages {
  std::map<std::string, std::string> pages;
  std::vector<std::string> temporaries;
};

// Walks through descriptors, so neither depth nor path length matters;
// links are not followed.
Pages Collect(const std::string& root) {
  Pages found;
  struct Pending {
    int fd;
    std::string path;
  };
  std::vector<Pending> stack;
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) stack.push_back({fd, ""});
  while (!stack.empty()) {
    const Pending dir = std::move(stack.back());
    stack.pop_back();
    DIR* d = fdopendir(dir.fd);
    if (d == nullptr) {
      close(dir.fd);
      continue;
    }
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string path = dir.path.empty() ? name : dir.path + "/" + name;
      struct stat st;
      if (fstatat(dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISDIR(st.st_mode)) {
        const int sub = openat(dirfd(d), name.c_str(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) stack.push_back({sub, path});
      } else if (name == "FILES.HTM") {
        found.pages[dir.path] = ReadAt(dirfd(d), name);
      } else if (name.starts_with(".FILES.HTM")) {
        found.temporaries.push_back(path);
      }
    }
    closedir(d);
  }
  return found;
}

// What must hold after any run, however it ended: each page is the one that
// was there before, byte for byte, or a whole new page; no page is lost; no
// temporary file is left; each line on standard error is a report, and the
// exit code says whether there was one.
void ExpectSound(const Pages& before, const Pages& after,
                 const ProcessResult& r, bool reports_seen) {
  for (const std::string& temporary : after.temporaries) {
    ADD_FAILURE() << "temporary file left: " << temporary;
  }
  for (const auto& [dir, bytes] : before.pages) {
    EXPECT_EQ(after.pages.count(dir), 1u) << "page lost in '" << dir << "'";
  }
  std::vector<std::string> fresh;
  for (const auto& [dir, bytes] : after.pages) {
    const auto it = before.pages.find(dir);
    if (it == before.pages.end() || it->second != bytes) fresh.push_back(bytes);
  }
  EXPECT_EQ(CheckPages(fresh), "");
  if (r.signal != 0 || !reports_seen) return;
  for (std::size_t at = 0; at < r.err.size();) {
    EXPECT_EQ(r.err.compare(at, 9, "tabulon: "), 0) << r.err;
    const std::size_t end = r.err.find('\n', at);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  EXPECT_EQ(r.exit_code, r.err.empty() ? 0 : 2) << r.err;
}

// Removes everything below `root` (kept itself) through descriptors, so
// neither depth nor path length matters: down to a directory without
// subdirectories, empty it, back up through "..", remove it.
void RemoveDeep(const std::string& root) {
  int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::vector<std::string> names;  // from the root down to `dir`
  while (dir >= 0) {
    fchmod(dir, 0700);
    std::string subdirectory;
    DIR* d = fdopendir(dup(dir));
    rewinddir(d);
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      struct stat st;
      if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (!S_ISDIR(st.st_mode)) {
        unlinkat(dir, name.c_str(), 0);
      } else if (subdirectory.empty()) {
        subdirectory = name;
      }
    }
    closedir(d);
    if (!subdirectory.empty()) {
      const int next = openat(dir, subdirectory.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0) break;
      close(dir);
      dir = next;
      names.push_back(subdirectory);
      continue;
    }
    if (names.empty()) break;
    const int parent = openat(dir, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(dir);
    dir = parent;
    if (dir >= 0) unlinkat(dir, names.back().c_str(), AT_REMOVEDIR);
    names.pop_back();
  }
  if (dir >= 0) close(dir);
}

// A chain of `depth` directories named `name` below `relative`, with the
// file "bottom.txt" in the deepest; made through descriptors, as the paths
// may pass the system's limit.
void MakeChain(const TempTree& tree, const std::string& relative, int depth,
               const std::string& name) {
  int fd = open(tree.Path(relative).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(mkdirat(fd, name.c_str(), 0777), 0) << "at depth " << i;
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    ASSERT_GE(fd = next, 0);
  }
  const int file = openat(fd, "bottom.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  EXPECT_EQ(write(file, "12345", 5), 5);
  close(file);
  close(fd);
}

class FaultsTest : public ::testing::Test {
 protected:
  // Trees too deep for the usual removal are flattened first; a failed
  // test's tree is kept as it is.
  ~FaultsTest() override {
    if (!HasFailure()) RemoveDeep(tree_.root());
  }

  // Runs the binary and checks the outcome against the pages found before.
  ProcessResult Run(std::vector<std::string> args, ProcessOptions options = {}) {
    AddJobCount(&args);
    args.insert(args.begin(), binary_);
    options.env.push_back("TZ=UTC");
    before_ = Collect(tree_.root());
    const ProcessResult r = RunProcess(args, options);
    after_ = Collect(tree_.root());
    ExpectSound(before_, after_, r, reports_seen_);
    return r;
  }

  // Runs as nobody from here on, as root passes over every mode: from a
  // copy of the program that nobody may run wherever the build lies, in a
  // tree that nobody may enter.
  void RunAsNobody(ProcessOptions* options) {
    chmod(tree_.root().c_str(), 0755);
    tree_.Dir("bin");
    std::filesystem::copy_file(binary_, tree_.Path("bin/tabulon"));
    chmod(tree_.Path("bin/tabulon").c_str(), 0755);
    binary_ = tree_.Path("bin/tabulon");
    options->in_child = [] {
      if (geteuid() == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 ||
            setuid(kNobody) != 0) {
          _exit(125);
        }
      }
    };
  }

  // The page of `dir` (relative to the tree's root) after the last run.
  std::string PageOf(const std::string& dir) {
    const auto it = after_.pages.find(dir);
    return it == after_.pages.end() ? std::string() : it->second;
  }

  TempTree tree_;
  std::string binary_ = ProgramUnderTest(TABULON_BINARY);
  bool reports_seen_ = true;  // false: standard error goes nowhere
  Pages before_;
  Pages after_;
};

TEST_F(FaultsTest, DiskThatFillsKeepsThePreviousPageAndOthersAreWritten) {
  tree_.Dir("F/small");
  tree_.Dir("F/big");
  tree_.File("F/small/one.txt", "1");
  // Far more rows than the file-size limit lets be written, and enough
  // entries for them to be written while the entries are described.
  for (int i = 0; i < 1100; ++i) {
    tree_.File("F/big/" + std::string(180, 'n') + std::to_string(i), "");
  }
  struct Case {
    bool tree_mode;
    std::vector<std::string> failed;  // directories whose page stays
  };
  const Case cases[] = {{true, {"F/big"}}, {false, {"F"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tree_mode ? "tree" : "list");
    tree_.File("F/FILES.HTM", kPreviousPage);
    tree_.File("F/big/FILES.HTM", kPreviousPage);
    ProcessOptions options;
    options.in_child = [] {
      // The signal a write past the limit raises ends a process by default.
      signal(SIGXFSZ, SIG_DFL);
      rlimit limit{64 << 10, 64 << 10};
      setrlimit(RLIMIT_FSIZE, &limit);
    };
    std::vector<std::string> args = {tree_.Path("F")};
    if (c.tree_mode) args.push_back("/t");
    const ProcessResult r = Run(args, options);
    EXPECT_EQ(r.exit_code, 2);
    std::string expected;
    for (const std::string& dir : c.failed) {
      EXPECT_EQ(PageOf(dir), kPreviousPage);
      expected += "tabulon: cannot write listing '" + tree_.Path(dir) +
                  "/FILES.HTM': " + std::strerror(EFBIG) + "\n";
    }
    EXPECT_EQ(r.err, expected);
    if (c.tree_mode) {
      EXPECT_NE(PageOf("F"), kPreviousPage);
      EXPECT_EQ(CheckPages({PageOf("F/small")}, 1), "");
    }
  }
}

TEST_F(FaultsTest, WhatCannotBeReadOrWrittenIsReportedAndTheRestIsListed) {
  struct Case {
    std::string dir;       // below U
    const char* entry;     // the entry whose mode is taken away, below dir
    mode_t mode;
    std::string report;    // what is reported, after "tabulon: "
  };
  const std::string u = tree_.Path("U");
  const Case cases[] = {
      {"locked", "", 0, "cannot read directory '" + u + "/locked/'"},
      {"read-only", "", 0555,
       "cannot create listing '" + u + "/read-only/FILES.HTM'"},
      {"private", "FILES.BBS", 0,
       "cannot read description file '" + u + "/private/FILES.BBS'"},
      // A name cannot split its report in two.
      {"line\nend", "", 0, "cannot read directory '" + u + "/line\\x0Aend/'"},
  };
  tree_.Dir("U");
  tree_.File("U/top.txt", "top");
  chmod(u.c_str(), 0777);
  for (const Case& c : cases) {
    tree_.Dir("U/" + c.dir);
    tree_.File("U/" + c.dir + "/FILES.BBS", "inner.txt inside\n");
    tree_.File("U/" + c.dir + "/inner.txt", "in");
    tree_.File("U/" + c.dir + "/FILES.HTM", kPreviousPage);
    chmod(tree_.Path("U/" + c.dir).c_str(), 0777);
  }
  for (const Case& c : cases) {
    const std::string entry = std::string(c.entry).empty() ? "" : "/" + std::string(c.entry);
    chmod(tree_.Path("U/" + c.dir + entry).c_str(), c.mode);
  }
  ProcessOptions options;
  RunAsNobody(&options);
  const ProcessResult r = Run({u, "/t"}, options);
  ASSERT_NE(r.exit_code, 125) << "cannot drop privileges";
  EXPECT_EQ(r.exit_code, 2);
  std::vector<std::string> lines;
  for (std::size_t at = 0, end; (end = r.err.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(r.err.substr(at, end - at));
  }
  ASSERT_EQ(lines.size(), std::size(cases)) << r.err;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    const std::string prefix = "tabulon: " + c.report + ": ";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [&](const std::string& line) { return line.starts_with(prefix); }),
              1)
        << r.err;
  }
  // The directory whose description file is private still gets its page.
  EXPECT_EQ(CheckPages({PageOf("U/private")}, 1), "");
  EXPECT_EQ(PageOf("U/private").find("inside"), std::string::npos);
  EXPECT_EQ(PageOf("U/read-only"), kPreviousPage);
  EXPECT_EQ(CheckPages({PageOf("U")}, 1 + static_cast<int>(std::size(cases))), "");
}

TEST_F(FaultsTest, DirectoryThatVanishesDuringTheWalkIsReported) {
  // More subdirectories than the walk reads ahead of its pages: the last
  // one in name order (s999) is entered only once most of the others are
  // done, long after the root's page, however many threads read at once.
  constexpr int kSubdirectories = 1200;
  tree_.Dir("V");
  for (int i = 0; i < kSubdirectories; ++i) {
    const std::string dir = "V/s" + std::to_string(i);
    tree_.Dir(dir);
    tree_.File(dir + "/f", "");
  }
  const std::string victim = "s999";
  tree_.Dir("V/" + victim + "/inner");

  // The root's page is renamed into place before any subdirectory is
  // entered: that is when the last one is taken away.
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, tree_.Path("V").c_str(), IN_MOVED_TO), 0);
  std::thread remover([&] {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const ssize_t n = read(watch, buffer, sizeof buffer);
      if (n <= 0) return;
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && std::string(event->name) == "FILES.HTM") {
          rename(tree_.Path("V/" + victim).c_str(), tree_.Path("gone").c_str());
          return;
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  });
  const ProcessResult r = Run({tree_.Path("V"), "/t"});
  remover.join();
  close(watch);
  EXPECT_TRUE(tree_.Exists("gone"));
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("'" + tree_.Path("V/" + victim) + "/"), std::string::npos) << r.err;
  EXPECT_EQ(CheckPages({PageOf("V")}, kSubdirectories), "");
}

TEST_F(FaultsTest, DescriptionFileThatIsNotARegularFileIsReportedWithoutHanging) {
  enum Kind { kDirectory, kFifo, kLinkToAFifo };
  const struct {
    const char* dir;
    Kind kind;
    int links;  // on the page
  } cases[] = {{"D", kDirectory, 1}, {"P", kFifo, 1}, {"L", kLinkToAFifo, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    const std::string dir = c.dir;
    tree_.Dir(dir);
    tree_.File(dir + "/a.txt", "abc");
    if (c.kind == kDirectory) {
      tree_.Dir(dir + "/FILES.BBS");
    } else if (c.kind == kFifo) {
      ASSERT_EQ(mkfifo(tree_.Path(dir + "/FILES.BBS").c_str(), 0666), 0);
    } else {
      // Inside the tree, so the link is followed as far as the FIFO.
      ASSERT_EQ(mkfifo(tree_.Path(dir + "/pipe").c_str(), 0666), 0);
      tree_.Link(dir + "/FILES.BBS", "pipe");
    }
    ProcessOptions options;
    options.kill_after_ms = 30000;  // a hang ends as a failure, not a stuck suite
    options.kill_signal = SIGKILL;
    const ProcessResult r = Run({tree_.Path(dir)}, options);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err.rfind("tabulon: cannot read description file '" +
                              tree_.Path(dir) + "/FILES.BBS': ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(CheckPages({PageOf(dir)}, c.links), "");
  }
}

TEST_F(FaultsTest, HugeDescriptionFileWithoutLineEndsGivesOneCutRecord) {
  tree_.Dir("B");
  tree_.File("B/big.txt", "b");
  {
    FILE* f = std::fopen(tree_.Path("B/FILES.BBS").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("big.txt ", f);
    const std::string block(1 << 20, 'x');
    for (int i = 0; i < 200; ++i) std::fwrite(block.data(), 1, block.size(), f);
    ASSERT_EQ(std::fclose(f), 0);
  }
  const ProcessResult r = Run({tree_.Path("B")});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(CheckPages({PageOf("B")}, 1), "");
  // The record keeps 4,096 bytes: the name, a blank and the rest of the text.
  const std::string cell = "<td> " + std::string(4096 - 8, 'x') + "</td></tr>\r\n";
  EXPECT_NE(PageOf("B").find(cell), std::string::npos);
}

TEST_F(FaultsTest, NamesOfEveryByteAreListedAsTextAndReachableLinks) {
  std::string every;
  for (int b = 1; b <= 0xFF; ++b) {
    if (b != '/') every.push_back(static_cast<char>(b));
  }
  tree_.Dir("N/" + every);
  tree_.File("N/" + every + "/inside.txt", "");
  tree_.File("N/" + every + "x", "");  // past the directory in name order
  int files = 1;
  for (const char c : every) {
    tree_.File("N/b" + std::string(1, c) + "e", "");
    ++files;
  }
  // Descriptions hold every byte but line ends and the Ctrl-Z that ends the
  // file; one describes the file named with the markup characters.
  std::string descriptions = "b<e ";
  for (int b = 1; b <= 0xFF; ++b) {
    if (b != '\n' && b != '\r' && b != 0x1A) descriptions.push_back(static_cast<char>(b));
  }
  descriptions += "\r\nb&e <script>alert(1)</script>\r\nB\"E \" onclick=\"x\r\n";
  tree_.File("N/FILES.BBS", descriptions);
  for (const bool tree_mode : {false, true}) {
    SCOPED_TRACE(tree_mode ? "tree" : "list");
    std::vector<std::string> args = {tree_.Path("N")};
    if (tree_mode) args.push_back("/t");
    const ProcessResult r = Run(args, ProcessOptions());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    // The directory is a row of its own in a tree of pages; in one list its
    // file is.
    EXPECT_EQ(CheckPages({PageOf("N")}, files + 1), "");
    if (tree_mode) {
      EXPECT_EQ(CheckPages({PageOf("N/" + every)}, 1), "");
    }
    EXPECT_NE(PageOf("N").find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  }
}

TEST_F(FaultsTest, LinkLoopsAreListedAndNeverFollowed) {
  tree_.Dir("L/real");
  tree_.File("L/f.txt", "12");
  tree_.Link("L/self", "self");
  tree_.Link("L/ping", "pong");
  tree_.Link("L/pong", "ping");
  tree_.Link("L/up", "..");
  tree_.Link("L/here", ".");
  tree_.Link("L/real/back", "../..");
  for (const bool tree_mode : {false, true}) {
    SCOPED_TRACE(tree_mode ? "tree" : "list");
    std::vector<std::string> args = {tree_.Path("L")};
    if (tree_mode) args.push_back("/t");
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(tree_.Exists("FILES.HTM")) << "a page was written outside";
    // f.txt and the three loops are files; up, here and real are
    // directories, rows only in a tree of pages, as is back below real.
    EXPECT_EQ(CheckPages({PageOf("L")}, tree_mode ? 7 : 4), "");
    EXPECT_EQ(after_.pages.size(), tree_mode ? 2u : 1u);
  }
}

TEST_F(FaultsTest, StartDirectoryThatIsNoDirectoryIsReported) {
  tree_.File("plain.txt", "not a directory");
  ASSERT_EQ(mkfifo(tree_.Path("fifo").c_str(), 0666), 0);
  tree_.Link("dangling", "nowhere");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{tree_.Path("plain.txt")},
        std::vector<std::string>{tree_.Path("plain.txt") + "/", "/t"},
        std::vector<std::string>{tree_.Path("fifo")},
        std::vector<std::string>{"/t", tree_.Path("dangling")}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ProcessOptions options;
    options.kill_after_ms = 30000;
    options.kill_signal = SIGKILL;
    const ProcessResult r = Run(args, options);
    EXPECT_EQ(r.exit_code, 2);
    std::string start = args[0] == "/t" ? args[1] : args[0];
    if (start.back() != '/') start.push_back('/');
    EXPECT_EQ(r.err.rfind("tabulon: cannot read directory '" + start + "': ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_TRUE(after_.pages.empty());
  }
  EXPECT_EQ(tree_.Read("plain.txt"), "not a directory");
}

TEST_F(FaultsTest, ChainPastThePathLimitIsWalkedWithinTheOpenFileLimit) {
  constexpr int kDepth = 2000;
  tree_.Dir("C");
  MakeChain(tree_, "C", kDepth, "dd");  // 6,000 bytes of path at the bottom
  std::string link;
  for (int i = 0; i < kDepth; ++i) link += "dd/";
  for (const bool tree_mode : {true, false}) {
    SCOPED_TRACE(tree_mode ? "tree" : "list");
    ProcessOptions options;
    options.in_child = [] {
      rlimit limit{1024, 1024};
      setrlimit(RLIMIT_NOFILE, &limit);
    };
    std::vector<std::string> args = {tree_.Path("C")};
    if (tree_mode) args.push_back("/t");
    const ProcessResult r = Run(args, options);
    EXPECT_EQ(r.exit_code, 0) << r.err.substr(0, 500);
    if (tree_mode) {
      EXPECT_EQ(after_.pages.size(), static_cast<std::size_t>(kDepth + 1));
    } else {
      EXPECT_NE(PageOf("C").find("<a href=\"" + link + "bottom.txt\">"), std::string::npos);
    }
  }
}

// A hundred thousand deep is left to the walk's test on the in-memory
// platform: making and removing that many real directories takes far longer
// than the walk. Here a small stack stands in for the greater depth.
TEST_F(FaultsTest, VeryDeepChainIsWalkedWithoutRunningOutOfStack) {
  constexpr int kDepth = 10000;
  tree_.Dir("C");
  MakeChain(tree_, "C", kDepth, "d");
  ProcessOptions options;
  options.in_child = [] {
    rlimit limit{256 << 10, 256 << 10};
    setrlimit(RLIMIT_STACK, &limit);
  };
  const ProcessResult r = Run({tree_.Path("C")}, options);
  EXPECT_EQ(r.exit_code, 0) << r.err.substr(0, 500);
  std::string link;
  for (int i = 0; i < kDepth; ++i) link += "d/";
  EXPECT_NE(PageOf("C").find("<a href=\"" + link + "bottom.txt\">bottom.txt</a>"),
            std::string::npos);
}

// Sends `signal` to the run `pid` as it opens the file `name` in the
// directory that `watch` watches: a moment of the walk, however fast the
// machine is. Gives up after half a minute without it.
void SignalOnOpen(int watch, const std::string& name, int pid, int signal) {
  alignas(inotify_event) char buffer[4096];
  pollfd ready = {watch, POLLIN, 0};
  while (poll(&ready, 1, 30000) == 1) {
    const ssize_t n = read(watch, buffer, sizeof buffer);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && event->name == name) {
        kill(pid, signal);
        return;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

struct Stop {
  int signal;
  const char* name;
};

class StopSignalTest : public FaultsTest,
                       public ::testing::WithParamInterface<Stop> {};

// A description file of `size` bytes that takes a while to read: a line
// end every 32 KiB and zeros between, which are read (only far longer runs
// of zeros that the file does not store are passed over), while the disk
// holds an eighth of the file.
void MakeSlowToRead(const std::string& path, off_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  for (off_t at = 0; at < size; at += 32 << 10) {
    ASSERT_EQ(pwrite(fd, "\n", 1, at), 1) << path;
  }
  ASSERT_EQ(ftruncate(fd, size), 0);
  close(fd);
}

// Each signal that ends a process by default, sent as the run opens the
// start directory's description file, the first subdirectory's and the last
// one's. That file is a large one, slow to read, so that the signal comes
// while the run is in that directory, with a page being written and more to
// do.
TEST_P(StopSignalTest, LeavesNoTemporaryFileAndThePreviousPagesAtAnyMoment) {
  const std::string descriptions = "x.txt    a description\r\n";
  std::vector<std::string> dirs = {"S"};
  for (int i = 0; i < 3; ++i) tree_.Dir("S/d" + std::to_string(i));
  for (const std::string& name : tree_.Names("S")) {
    dirs.push_back("S/" + name);  // in the order the walk takes them
  }
  for (const std::string& dir : dirs) tree_.File(dir + "/x.txt", "x");
  // Made once, and given to the directory of each moment as another name.
  const std::string slow = tree_.Path("slow.bbs");
  MakeSlowToRead(slow, off_t{256} << 20);
  const int signal = GetParam().signal;
  for (const bool tree_mode : {true, false}) {
    for (const std::string& moment : {dirs[0], dirs[1], dirs.back()}) {
      SCOPED_TRACE(moment + (tree_mode ? " tree" : " list"));
      for (const std::string& dir : dirs) {
        tree_.File(dir + "/FILES.HTM", kPreviousPage);
        tree_.File(dir + "/FILES.BBS", descriptions);
      }
      const std::string slow_here = tree_.Path(moment + "/FILES.BBS");
      ASSERT_EQ(unlink(slow_here.c_str()), 0);
      ASSERT_EQ(link(slow.c_str(), slow_here.c_str()), 0);
      const int watch = inotify_init1(IN_CLOEXEC);
      ASSERT_GE(inotify_add_watch(watch, tree_.Path(moment).c_str(), IN_OPEN),
                0);
      ProcessOptions options;
      options.started = [watch, signal](int pid) {
        SignalOnOpen(watch, "FILES.BBS", pid, signal);
      };
      options.in_child = [] {
        rlimit no_core{0, 0};  // SIGQUIT and SIGXCPU dump one by default
        setrlimit(RLIMIT_CORE, &no_core);
      };
      std::vector<std::string> args = {tree_.Path("S")};
      if (tree_mode) args.push_back("/t");
      const ProcessResult r = Run(args, options);
      close(watch);
      unlink(slow_here.c_str());  // before it is written again
      EXPECT_EQ(r.signal, signal)
          << "the run did not end by the signal: exit " << r.exit_code;
      EXPECT_EQ(PageOf(tree_mode ? moment : "S"), kPreviousPage);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryStop, StopSignalTest,
    ::testing::Values(Stop{SIGINT, "INT"}, Stop{SIGTERM, "TERM"},
                      Stop{SIGHUP, "HUP"}, Stop{SIGQUIT, "QUIT"},
                      Stop{SIGALRM, "ALRM"}, Stop{SIGUSR1, "USR1"},
                      Stop{SIGUSR2, "USR2"}, Stop{SIGVTALRM, "VTALRM"},
                      Stop{SIGPROF, "PROF"}, Stop{SIGXCPU, "XCPU"}),
    [](const ::testing::TestParamInfo<Stop>& stop) {
      return std::string(stop.param.name);
    });

// With no thread to take stop signals (a limit of processes), a stop while
// the page is written still removes it (Run finds any temporary file left).
TEST_F(FaultsTest, StopUnderAProcessLimitLeavesNoTemporaryFile) {
  if (geteuid() != 0) GTEST_SKIP() << "a user of its own needs root";
  tree_.Dir("N/d0");
  MakeSlowToRead(tree_.Path("N/d0/FILES.BBS"), off_t{256} << 20);
  ASSERT_EQ(
      RunProcess({"chown", "-R", "40123:40123", tree_.Path("N")}).exit_code, 0);
  ProcessOptions options;
  RunAsNobody(&options);
  options.in_child = [] {
    const rlimit one{1, 1};
    // A user no one else is, whose other processes would count too.
    if (setgroups(0, nullptr) != 0 || setgid(40123) != 0 ||
        setuid(40123) != 0 || setrlimit(RLIMIT_NPROC, &one) != 0)
      _exit(125);
  };
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, tree_.Path("N/d0").c_str(), IN_OPEN), 0);
  options.started = [watch](int pid) {
    SignalOnOpen(watch, "FILES.BBS", pid, SIGTERM);
  };
  const ProcessResult r = Run({tree_.Path("N")}, options);
  close(watch);
  EXPECT_EQ(r.signal, SIGTERM) << "exit " << r.exit_code << ": " << r.err;
}

TEST_F(FaultsTest, ReportsThatCannotBeWrittenAreDroppedAndTheRunGoesOn) {
  // A report per directory, whose description file is a directory: far
  // more than a pipe holds, so most are written after the reader is gone.
  tree_.Dir("P");
  tree_.File("P/a.txt", "a");
  for (int i = 0; i < 600; ++i) {
    tree_.Dir("P/" + std::string(200, 'd') + std::to_string(i) + "/FILES.BBS");
  }
  ProcessOptions options;
  options.env.push_back("TZ=UTC");
  const ProcessResult r =
      RunProcess({"/bin/bash", "-c",
                  "\"$0\" \"$1\" 2>&1 | head -n 3; exit \"${PIPESTATUS[0]}\"",
                  binary_, tree_.Path("P")},
                 options);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exit_code, 2) << "the program's own exit status";
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
  const Pages after = Collect(tree_.root());
  EXPECT_TRUE(after.temporaries.empty());
  ASSERT_EQ(after.pages.count("P"), 1u);
  EXPECT_EQ(CheckPages({after.pages.at("P")}, 1), "");
}

TEST_F(FaultsTest, ClosedStandardDescriptorsNeverCarryAPageOrReportIntoOne) {
  tree_.Dir("C/sub/FILES.BBS");  // reported: a directory
  tree_.File("C/a.txt", "a");
  tree_.File("C/sub/b.txt", "b");
  reports_seen_ = false;
  for (const bool tree_mode : {true, false}) {
    SCOPED_TRACE(tree_mode ? "tree" : "list");
    ProcessOptions options;
    options.in_child = [] {
      close(0);
      close(1);
      close(2);
    };
    std::vector<std::string> args = {tree_.Path("C")};
    if (tree_mode) args.push_back("/t");
    const ProcessResult r = Run(args, options);
    EXPECT_EQ(r.exit_code, 2);
    for (const auto& [dir, bytes] : after_.pages) {
      EXPECT_EQ(bytes.find("tabulon: "), std::string::npos) << dir;
      EXPECT_EQ(bytes.find("FromDir"), std::string::npos) << dir;
    }
    EXPECT_EQ(CheckPages({PageOf("C")}, 2), "");
  }
}

TEST_F(FaultsTest, DescriptionFileLinkIsReadOnlyWhenItLeadsInsideTheTree) {
  TempTree elsewhere;  // stands in for /etc
  elsewhere.File("shadow", "a.txt root:$6$secret\r\n");
  tree_.Dir("R/descriptions");
  tree_.File("R/descriptions/FILES.BBS", "a.txt described inside\r\n");
  const struct {
    std::string dir;
    std::string target;
    bool read;
  } cases[] = {
      {"R/out", elsewhere.Path("shadow"), false},
      {"R/out-relative",
       "../../../" +
           std::filesystem::path(elsewhere.root()).filename().string() +
           "/shadow",
       false},
      {"R/in", "../descriptions/FILES.BBS", true},
      {"R/in-absolute", tree_.Path("R/descriptions/FILES.BBS"), true},
  };
  for (const auto& c : cases) {
    tree_.Dir(c.dir);
    tree_.File(c.dir + "/a.txt", "a");
    tree_.Link(c.dir + "/FILES.BBS", c.target);
  }
  const ProcessResult r = Run({tree_.Path("R"), "/t"});
  EXPECT_EQ(r.exit_code, 2);
  std::string reports;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    const std::string page = PageOf(c.dir);
    EXPECT_EQ(CheckPages({page}, 1), "");
    EXPECT_EQ(page.find("secret"), std::string::npos);
    EXPECT_EQ(page.find("described inside") != std::string::npos, c.read);
    if (!c.read) {
      const std::string line = "tabulon: cannot read description file '" +
                               tree_.Path(c.dir) + "/FILES.BBS': ";
      const std::size_t at = r.err.find(line);
      ASSERT_NE(at, std::string::npos) << r.err;
      reports += r.err.substr(at, r.err.find('\n', at) + 1 - at);
    }
  }
  EXPECT_EQ(reports.size(), r.err.size()) << r.err;
}

// An uploader (nobody) links a description file to a closed one of the
// tree; links and second names of the operator (the run's user) are read.
TEST_F(FaultsTest, DescriptionFileAnUploaderLinkedIsNotPublished) {
  if (geteuid() != 0) GTEST_SKIP() << "an uploader of his own needs root";
  ASSERT_EQ(chmod(tree_.root().c_str(), 0755), 0);
  tree_.Dir("U/.closed");
  tree_.File("U/.closed/FILES.BBS", "a.txt secret\r\n");
  ASSERT_EQ(chmod(tree_.Path("U/.closed").c_str(), 0700), 0);
  const std::string uploader =
      "setpriv --reuid=65534 --regid=65534 "
      "--clear-groups ln -s ../.closed/FILES.BBS ";
  const struct {
    const char* dir;
    mode_t mode;
    std::string make;    // the command that makes FILES.BBS
    const char* reason;  // nullptr: read
  } cases[] = {
      {"U/sticky", 01777, uploader, "Is a link not owned by the run's user"},
      {"U/open", 0777, uploader, "Is a link not owned by the run's user"},
      {"U/hard", 01777, "ln ../.closed/FILES.BBS ",
       "Has other names in a directory others may write"},
      {"U/operator", 01777, "ln -s ../.closed/FILES.BBS ", nullptr},
      {"U/operator-hard", 0755, "ln ../.closed/FILES.BBS ", nullptr},
  };
  for (const auto& c : cases) {
    tree_.Dir(c.dir);
    tree_.File(std::string(c.dir) + "/a.txt", "a");
    ASSERT_EQ(chmod(tree_.Path(c.dir).c_str(), c.mode), 0);
    const std::string make = "cd \"$0\" && " + c.make + "FILES.BBS";
    ASSERT_EQ(RunProcess({"sh", "-c", make, tree_.Path(c.dir)}).exit_code, 0);
  }
  const ProcessResult r = Run({tree_.Path("U"), "/t"});
  EXPECT_EQ(r.exit_code, 2);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    EXPECT_EQ(PageOf(c.dir).find("secret") != std::string::npos, !c.reason);
    const std::string report = "description file '" + tree_.Path(c.dir) +
                               "/FILES.BBS': " + (c.reason ? c.reason : "") +
                               "\n";
    EXPECT_EQ(r.err.find(report) != std::string::npos, !!c.reason) << r.err;
  }
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
}

// A page of mode 0200, which its owner (the run's user) may write but not
// read, keeps its permissions.
TEST_F(FaultsTest, PageTheRunMayNotReadKeepsItsPermissions) {
  ProcessOptions options;
  RunAsNobody(&options);
  tree_.Dir("W");
  tree_.File("W/FILES.HTM", kPreviousPage);
  ASSERT_EQ(RunProcess({"chown", "-R", "nobody", tree_.Path("W")}).exit_code,
            0);
  ASSERT_EQ(chmod(tree_.Path("W/FILES.HTM").c_str(), 0200), 0);
  const ProcessResult r = Run({tree_.Path("W")}, options);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  struct stat st;
  ASSERT_EQ(stat(tree_.Path("W/FILES.HTM").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0200u);
  EXPECT_NE(PageOf("W"), kPreviousPage);
}

TEST_F(FaultsTest, PagePermissionsNeverComeFromOutside) {
  TempTree elsewhere;
  elsewhere.File("sudo", "a program");
  ASSERT_EQ(chmod(elsewhere.Path("sudo").c_str(), 04755), 0);
  tree_.Dir("M/linked");
  tree_.Link("M/linked/FILES.HTM", elsewhere.Path("sudo"));
  const struct {
    const char* dir;
    mode_t before;  // of the regular page replaced; 0: none
    mode_t after;
  } cases[] = {
      {"M", 0, 0644},  // a new page: 0666 less the umask
      {"M/linked", 0, 0644},
      {"M/setid", 06755, 0755},
  };
  for (const auto& c : cases) {
    tree_.Dir(c.dir);
    if (c.before != 0) {
      tree_.File(std::string(c.dir) + "/FILES.HTM", kPreviousPage);
      ASSERT_EQ(chmod(tree_.Path(std::string(c.dir) + "/FILES.HTM").c_str(),
                      c.before),
                0);
    }
  }
  ProcessOptions options;
  options.in_child = [] { umask(022); };
  const ProcessResult r = Run({tree_.Path("M"), "/t"}, options);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    struct stat st;
    ASSERT_EQ(lstat(tree_.Path(std::string(c.dir) + "/FILES.HTM").c_str(), &st),
              0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, c.after);
  }
  struct stat target;
  ASSERT_EQ(stat(elsewhere.Path("sudo").c_str(), &target), 0);
  EXPECT_EQ(target.st_mode & 07777, 04755u);
  EXPECT_EQ(elsewhere.Read("sudo"), "a program");
}

// Directories where anyone may make files (mode 1777, an upload area): a
// page an uploader made is replaced by one of the run's own user with the
// permissions of a new file, even when it already holds the new page's
// bytes; a page of the run's own user keeps its permissions, and is left
// alone when unchanged. An uploader may also give a file of the run's user
// that others may write a second name there: that is no page of the run's.
TEST_F(FaultsTest, PageOfAnotherUserIsReplacedByOneOfTheRunsOwn) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "giving a page to another user needs root";
  }
  const struct {
    const char* dir;
    uid_t owner;  // of the page before the second run
    mode_t before;
    bool same_bytes;  // it holds what the run makes
    mode_t after;     // 0644: a new file's under umask 022
    bool kept;        // the same file afterwards
    bool linked;      // a second name of a file outside the tree
  } cases[] = {
      {"S/uploaded", kNobody, 0666, false, 0644, false, false},
      {"S/uploaded-same", kNobody, 0666, true, 0644, false, false},
      {"S/uploaded-private", kNobody, 0600, true, 0644, false, false},
      {"S/own-same", 0, 0660, true, 0660, true, false},
      {"S/own-changed", 0, 0640, false, 0640, false, false},
      {"S/linked-same", 0, 0666, true, 0644, false, true},
      {"S/linked-changed", 0, 0666, false, 0644, false, true},
  };
  for (const auto& c : cases) {
    tree_.Dir(c.dir);
    ASSERT_EQ(chmod(tree_.Path(c.dir).c_str(), 01777), 0);
    tree_.File(std::string(c.dir) + "/a.txt", "a");
  }
  ProcessOptions options;
  options.in_child = [] { umask(022); };
  ProcessResult r = Run({tree_.Path("S"), "/t"}, options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::map<std::string, ino_t> inodes;
  std::map<std::string, std::string> others;  // the linked files' bytes
  for (const auto& c : cases) {
    const std::string page = tree_.Path(std::string(c.dir) + "/FILES.HTM");
    if (!c.same_bytes)
      tree_.File(std::string(c.dir) + "/FILES.HTM", kPreviousPage);
    if (c.linked) {
      const std::string other = std::to_string(others.size()) + ".other";
      others[other] = c.same_bytes ? PageOf(c.dir) : kPreviousPage;
      tree_.File(other, others[other]);
      ASSERT_EQ(unlink(page.c_str()), 0);
      ASSERT_EQ(link(tree_.Path(other).c_str(), page.c_str()), 0);
    }
    ASSERT_EQ(chown(page.c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(chmod(page.c_str(), c.before), 0);
    struct stat st;
    ASSERT_EQ(stat(page.c_str(), &st), 0);
    inodes[c.dir] = st.st_ino;
  }
  const Pages first = after_;
  r = Run({tree_.Path("S"), "/t"}, options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    struct stat st;
    ASSERT_EQ(lstat(tree_.Path(std::string(c.dir) + "/FILES.HTM").c_str(), &st),
              0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, c.after);
    EXPECT_EQ(st.st_ino == inodes[c.dir], c.kept);
    EXPECT_EQ(PageOf(c.dir), first.pages.at(c.dir));
  }
  for (const auto& [other, bytes] : others) {
    SCOPED_TRACE(other);
    struct stat st;
    ASSERT_EQ(stat(tree_.Path(other).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    EXPECT_EQ(tree_.Read(other), bytes);
  }
}

// An upload drop box: nobody may write and enter it, not read it.
TEST_F(FaultsTest, DirectoryThatCanBeEnteredButNotReadGetsAnEmptyPage) {
  tree_.Dir("A/incoming");
  tree_.File("A/top.txt", "t");
  tree_.File("A/incoming/upload.zip", "z");
  tree_.File("A/incoming/FILES.BBS", "upload.zip from a stranger\r\n");
  ASSERT_EQ(chown(tree_.Path("A").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chown(tree_.Path("A/incoming").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chmod(tree_.Path("A/incoming").c_str(), 0311), 0);
  ProcessOptions options;
  RunAsNobody(&options);
  const ProcessResult r = Run({tree_.Path("A"), "/t"}, options);
  ASSERT_NE(r.exit_code, 125) << "cannot drop privileges";
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "tabulon: cannot read directory '" +
                       tree_.Path("A/incoming") +
                       "/': " + std::strerror(EACCES) + "\n");
  // Every build writes its page, the portable one too, so that the row's
  // link in the parent's page leads somewhere.
  const std::string page = PageOf("A/incoming");
  EXPECT_EQ(CheckPages({page}, 0), "");
  EXPECT_NE(page.find("<b>         0 bytes in 0 files.</b>"), std::string::npos)
      << page;
  EXPECT_NE(PageOf("A").find("<a href=\"incoming/FILES.HTM\">"),
            std::string::npos);
}

// Names without details: a directory that may be read but not entered
// (a mode of 0644 from a careless chmod -R). Its entries can't be listed,
// and that is told, not passed over as if it were empty.
TEST_F(FaultsTest, DirectoryThatCanBeReadButNotEnteredIsReported) {
  tree_.Dir("A/closed/inner");
  tree_.File("A/top.txt", "t");
  tree_.File("A/closed/b.txt", "b");
  tree_.File("A/closed/inner/c.txt", "c");
  ASSERT_EQ(chown(tree_.Path("A").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chmod(tree_.Path("A/closed").c_str(), 0644), 0);
  ProcessOptions options;
  RunAsNobody(&options);
  const ProcessResult r = Run({tree_.Path("A")}, options);
  ASSERT_NE(r.exit_code, 125) << "cannot drop privileges";
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "tabulon: cannot read directory '" +
                       tree_.Path("A/closed") +
                       "/': " + std::strerror(EACCES) + "\n");
  const std::string page = PageOf("A");
  EXPECT_NE(page.find("<a href=\"top.txt\">"), std::string::npos) << page;
  EXPECT_EQ(page.find("b.txt"), std::string::npos) << page;
}

}  // namespace
}  // namespace tabulon::testing
