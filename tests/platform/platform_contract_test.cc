// What every backend promises the core, checked on real files of a fresh
// scratch directory through the platform interface alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/scratch_dir.h"

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#endif

namespace tabulon {
namespace {

// The whole file `name`, read a block at a time through OpenInput.
Status ReadAll(Directory* dir, const std::string& name, std::string* bytes,
               Follow follow = Follow::kInsideTree) {
  std::unique_ptr<InputFile> file;
  Status status = dir->OpenInput(name, follow, &file);
  if (!status.ok()) return status;
  bytes->clear();
  char block[1 << 16];
  std::size_t got = 0;
  while ((status = file->Read(block, sizeof block, &got)).ok() && got > 0) {
    bytes->append(block, got);
  }
  return status;
}

// Runs `checks` in a child process, whose limits it may change, and
// returns what they found wrong, one line each; empty when nothing.
std::string InChild(const std::function<std::string()>& checks) {
#ifdef _WIN32
  (void)checks;
  return "no child processes here";
#else
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    const std::string found = checks();
    const bool sent = ::write(pipe_fds[1], found.data(), found.size()) ==
                      static_cast<ssize_t>(found.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  std::string found;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
    found.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    found += "the checks did not finish\n";
  }
  return found;
#endif
}

#ifndef _WIN32
// Lowers the limit of open files to 64 at most and opens files until no
// more can be, into *taken when given; false when the limit can't be set.
bool TakeEveryDescriptor(std::vector<int>* taken) {
  rlimit limit{64, 64};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 64);
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
    if (taken != nullptr) taken->push_back(fd);
  }
  return true;
}
#endif

// InChild as an ordinary user (nobody, when the tests run as root: root may
// read any directory).
std::string AsOrdinaryUser(const std::function<std::string()>& checks) {
  return InChild([&checks]() -> std::string {
#ifndef _WIN32
    const bool nobody =
        ::geteuid() != 0 || (::setgroups(0, nullptr) == 0 &&
                             ::setgid(65534) == 0 && ::setuid(65534) == 0);
    if (!nobody) return "cannot become nobody\n";
#endif
    return checks();
  });
}

class PlatformContractTest : public ::testing::Test {
 protected:
  PlatformContractTest() {
    testing::UseDistantTimeZone();
    platform_ = NewPlatform(0, nullptr);
  }

  bool OnWindows() const { return platform_->Separator() == '\\'; }

  // Opens the scratch root, then each '/'-separated name below it.
  std::unique_ptr<Directory> Open(const std::string& relative = "") {
    std::unique_ptr<Directory> dir;
    Status status = platform_->OpenDirectory(scratch_.root(), &dir);
    EXPECT_TRUE(status.ok()) << scratch_.root() << ": " << status.reason();
    std::size_t start = 0;
    while (dir != nullptr && start < relative.size()) {
      std::size_t end = relative.find('/', start);
      if (end == std::string::npos) end = relative.size();
      std::unique_ptr<Directory> sub;
      status = dir->OpenSubdirectory(relative.substr(start, end - start), &sub);
      EXPECT_TRUE(status.ok()) << relative << ": " << status.reason();
      dir = std::move(sub);
      start = end + 1;
    }
    return dir;
  }

  static std::map<std::string, SearchEntry> ListByName(Directory* dir) {
    std::vector<SearchEntry> entries;
    const Status status = dir->List(&entries);
    EXPECT_TRUE(status.ok()) << status.reason();
    std::map<std::string, SearchEntry> by_name;
    for (SearchEntry& entry : entries) {
      const std::string name = entry.Name;
      EXPECT_TRUE(by_name.emplace(name, std::move(entry)).second)
          << "listed twice: " << name;
    }
    return by_name;
  }

  static std::vector<std::string> Names(Directory* dir) {
    std::vector<std::string> names;
    for (const auto& [name, entry] : ListByName(dir)) names.push_back(name);
    return names;
  }

  std::unique_ptr<Platform> platform_;
  testing::ScratchDir scratch_;
};

TEST_F(PlatformContractTest, ListsEveryEntryButDotAndDotDot) {
  // Cyrillic, a character outside the BMP (a surrogate pair in UTF-16) and
  // blanks must come back as the same UTF-8.
  const std::vector<std::string> files = {
      "a.txt",
      ".hidden",
      "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt",
      "smile \xF0\x9F\x98\x80.txt",
      "FILES.BBS",
      "no extension"};
  const std::vector<std::string> dirs = {"sub", ".git"};
  for (const std::string& name : files)
    ASSERT_TRUE(scratch_.MakeFile(name, ""));
  for (const std::string& name : dirs) ASSERT_TRUE(scratch_.MakeDir(name));
  if (OnWindows()) {
    ASSERT_TRUE(scratch_.MakeHidden(".hidden"));
    ASSERT_TRUE(scratch_.MakeHidden(".git"));
  }

  const auto listed = ListByName(Open().get());

  std::vector<std::string> expected = files;
  expected.insert(expected.end(), dirs.begin(), dirs.end());
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> names;
  for (const auto& [name, entry] : listed) names.push_back(name);
  EXPECT_EQ(names, expected);
  for (const auto& [name, entry] : listed) {
    const bool is_dir = name == "sub" || name == ".git";
    EXPECT_EQ(entry.IsDirectory(), is_dir) << name;
    EXPECT_FALSE(entry.IsLink()) << name;
  }
  if (OnWindows()) {
    EXPECT_EQ(listed.at(".hidden").Attr & (kAttrHidden | kAttrSystem),
              kAttrHidden | kAttrSystem);
    EXPECT_EQ(
        listed.at(".git").Attr & (kAttrHidden | kAttrSystem | kAttrDirectory),
        kAttrHidden | kAttrSystem | kAttrDirectory);
    EXPECT_EQ(listed.at("a.txt").Attr & (kAttrHidden | kAttrSystem), 0u);
  }
}

TEST_F(PlatformContractTest, ListsAnEmptyDirectoryAsEmpty) {
  ASSERT_TRUE(scratch_.MakeDir("empty"));
  EXPECT_TRUE(Names(Open("empty").get()).empty());
}

TEST_F(PlatformContractTest,
       FillsInDetailsOfWhatWasListedAndMarksWhatVanished) {
  ASSERT_TRUE(scratch_.MakeFile("kept.txt", "abc"));
  ASSERT_TRUE(scratch_.MakeFile("gone.txt", "abcd"));
  ASSERT_TRUE(scratch_.MakeDir("sub"));
  const std::unique_ptr<Directory> dir = Open();
  std::vector<SearchEntry> entries;
  ASSERT_TRUE(dir->ReadNames(&entries).ok());
  ASSERT_EQ(entries.size(), 3u);
  std::filesystem::remove(std::filesystem::path(scratch_.root()) / "gone.txt");
  const bool later = dir->NamesOnly();
  if (later) dir->FillDetails(entries.data(), entries.data() + entries.size());

  std::map<std::string, SearchEntry> by_name;
  int gone = 0;
  for (const SearchEntry& entry : entries) {
    if (entry.Gone) {
      ++gone;
    } else {
      by_name[entry.Name] = entry;
    }
  }
  EXPECT_EQ(by_name.at("kept.txt").Size, 3);
  EXPECT_TRUE(by_name.at("sub").IsDirectory());
  // Details that came with the names stay; a stat after the removal finds
  // nothing and says so.
  EXPECT_EQ(by_name.count("gone.txt"), later ? 0u : 1u);
  EXPECT_EQ(gone, later ? 1 : 0);
  EXPECT_EQ(Names(dir.get()), (std::vector<std::string>{"kept.txt", "sub"}));
}

TEST_F(PlatformContractTest, ReportsSizesAndReadOnly) {
  const struct {
    const char* name;
    std::size_t size;
    bool read_only;
  } kCases[] = {
      {"empty", 0, false},
      {"one", 1, false},
      {"block", 4096, false},
      {"odd", 70001, true},
  };
  for (const auto& c : kCases) {
    ASSERT_TRUE(scratch_.MakeFile(c.name, std::string(c.size, 'x')));
    if (c.read_only) {
      ASSERT_TRUE(scratch_.MakeReadOnly(c.name));
    }
  }
  ASSERT_TRUE(scratch_.MakeDir("dir"));

  const auto listed = ListByName(Open().get());

  for (const auto& c : kCases) {
    const SearchEntry& entry = listed.at(c.name);
    EXPECT_EQ(entry.Size, static_cast<std::int64_t>(c.size)) << c.name;
    EXPECT_EQ((entry.Attr & kAttrReadOnly) != 0, c.read_only) << c.name;
  }
  EXPECT_EQ(listed.at("dir").Size, 0);
  EXPECT_TRUE(listed.at("dir").IsDirectory());
}

TEST_F(PlatformContractTest, ReportsSizesBeyond32Bits) {
  const struct {
    const char* name;
    std::int64_t size;
  } kCases[] = {
      {"three-gib", std::int64_t{3} << 30},  // sign bit of 32 bits
      {"four-gib-and-five", (std::int64_t{1} << 32) + 5},  // wraps to 5
  };
  for (const auto& c : kCases) {
    if (!scratch_.MakeSparse(c.name, c.size)) {
      GTEST_SKIP() << "the file system here cannot hold a sparse file of "
                   << c.size << " bytes";
    }
  }
  const auto listed = ListByName(Open().get());
  for (const auto& c : kCases)
    EXPECT_EQ(listed.at(c.name).Size, c.size) << c.name;
}

TEST_F(PlatformContractTest, ReportsTheLocalDateOfTheLastWrite) {
  // Times near midnight: a date taken in UTC instead of local time, or with
  // today's daylight rule instead of that day's, lands on the wrong day.
  const struct {
    const char* name;
    int year, month, day, hour, minute;
  } kCases[] = {
      {"winter-early", 2003, 1, 15, 0, 30},
      {"summer-late", 2003, 7, 15, 23, 30},
      {"before-1980", 1975, 6, 1, 0, 30},
      {"after-2107", 2150, 12, 31, 23, 30},
      {"leap-day", 2024, 2, 29, 12, 0},
  };
  for (const auto& c : kCases) {
    ASSERT_TRUE(scratch_.MakeFile(c.name, "x"));
    ASSERT_TRUE(
        scratch_.SetLocalTime(c.name, c.year, c.month, c.day, c.hour, c.minute))
        << c.name;
  }
  ASSERT_TRUE(scratch_.MakeDir("dated-dir"));
  ASSERT_TRUE(scratch_.SetLocalTime("dated-dir", 1999, 12, 31, 23, 30));

  const auto listed = ListByName(Open().get());

  for (const auto& c : kCases) {
    const LocalDate& date = listed.at(c.name).Time;
    EXPECT_EQ(date.year, c.year) << c.name;
    EXPECT_EQ(date.month, c.month) << c.name;
    EXPECT_EQ(date.day, c.day) << c.name;
  }
  const LocalDate& dir_date = listed.at("dated-dir").Time;
  EXPECT_EQ(dir_date.year * 10000 + dir_date.month * 100 + dir_date.day,
            19991231);
}

TEST_F(PlatformContractTest, ReportsTheUtcTimeOfTheLastWrite) {
  // Seconds since 1970 in UTC, whatever the zone: before 1970, a leap day,
  // past 2038 and the DOS range.
  const struct {
    const char* name;
    std::int64_t seconds;
  } kCases[] = {
      {"before-1970", -31536000},  // 1969-01-01T00:00:00Z
      {"leap-day", 951827696},     // 2000-02-29T12:34:56Z
      {"recent", 1796739663},      // 2026-12-08T14:21:03Z
      {"after-2107", 4354819200},  // 2108-01-01T00:00:00Z
  };
  for (const auto& c : kCases) {
    ASSERT_TRUE(scratch_.MakeFile(c.name, "x"));
    ASSERT_TRUE(scratch_.SetUtcTime(c.name, c.seconds)) << c.name;
  }
  ASSERT_TRUE(scratch_.MakeDir("dated-dir"));
  ASSERT_TRUE(scratch_.SetUtcTime("dated-dir", 1796739663));
  const auto listed = ListByName(Open().get());
  for (const auto& c : kCases) {
    EXPECT_EQ(listed.at(c.name).Modified, c.seconds) << c.name;
  }
  EXPECT_EQ(listed.at("dated-dir").Modified, 1796739663);
}

TEST_F(PlatformContractTest, OpensSubdirectoriesOnly) {
  ASSERT_TRUE(scratch_.MakeDir("sub"));
  ASSERT_TRUE(scratch_.MakeFile("sub/inner.txt", "in"));
  ASSERT_TRUE(scratch_.MakeFile("file.txt", "x"));
  const std::unique_ptr<Directory> root = Open();

  std::unique_ptr<Directory> sub;
  const Status entered = root->OpenSubdirectory("sub", &sub);
  ASSERT_TRUE(entered.ok()) << entered.reason();
  EXPECT_EQ(Names(sub.get()), std::vector<std::string>{"inner.txt"});

  const struct {
    const char* name;
    bool not_found;
  } kRefused[] = {{"file.txt", false}, {"missing", true}};
  for (const auto& c : kRefused) {
    std::unique_ptr<Directory> out;
    const Status status = root->OpenSubdirectory(c.name, &out);
    EXPECT_FALSE(status.ok()) << c.name;
    EXPECT_EQ(status.IsNotFound(), c.not_found) << c.name;
    EXPECT_FALSE(status.reason().empty()) << c.name;
  }
}

TEST_F(PlatformContractTest, OpensTheDirectoryAboveUpToTheStartOnly) {
  for (const char* dir : {"a", "a/b", "a/b/c"}) {
    ASSERT_TRUE(scratch_.MakeDir(dir));
  }
  ASSERT_TRUE(scratch_.MakeFile("top.txt", ""));
  ASSERT_TRUE(scratch_.MakeFile("a/b/b.txt", ""));
  const struct {
    const char* start;                         // opened as the start of a tree
    const char* below;                         // then down from it
    std::vector<std::vector<std::string>> up;  // names at each step up
  } cases[] = {
      {"", "a/b/c", {{"b.txt", "c"}, {"b"}, {"a", "top.txt"}}},
      {"", "a", {{"a", "top.txt"}}},
      {"", "", {}},
      {"a", "b/c", {{"b.txt", "c"}, {"b"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.start) + " " + c.below);
    std::string start = scratch_.root();
    if (*c.start != '\0')
      start += platform_->Separator() + std::string(c.start);
    std::unique_ptr<Directory> dir;
    ASSERT_TRUE(platform_->OpenDirectory(start, &dir).ok());
    for (std::string_view below = c.below; !below.empty();) {
      const std::size_t slash = std::min(below.find('/'), below.size());
      std::unique_ptr<Directory> sub;
      ASSERT_TRUE(
          dir->OpenSubdirectory(std::string(below.substr(0, slash)), &sub)
              .ok());
      dir = std::move(sub);
      below.remove_prefix(std::min(slash + 1, below.size()));
    }
    for (const std::vector<std::string>& names : c.up) {
      std::unique_ptr<Directory> above;
      const Status status = dir->OpenParent(&above);
      ASSERT_TRUE(status.ok()) << status.reason();
      EXPECT_EQ(Names(above.get()), names);
      dir = std::move(above);
    }
    // Never above the start directory.
    std::unique_ptr<Directory> above;
    const Status status = dir->OpenParent(&above);
    EXPECT_FALSE(status.ok());
    EXPECT_FALSE(status.reason().empty());
  }
}

TEST_F(PlatformContractTest, RefusesTheWayUpFromADirectoryMovedMeanwhile) {
  for (const char* dir : {"a", "a/moved", "a/moved/deeper", "elsewhere"}) {
    ASSERT_TRUE(scratch_.MakeDir(dir));
  }
  std::unique_ptr<Directory> moved = Open("a/moved");
  std::unique_ptr<Directory> deeper = Open("a/moved/deeper");
  ASSERT_NE(moved, nullptr);
  ASSERT_NE(deeper, nullptr);
  const std::filesystem::path root(scratch_.root());
  std::filesystem::rename(root / "a" / "moved", root / "elsewhere" / "moved");
  std::unique_ptr<Directory> above_moved;
  std::unique_ptr<Directory> above_deeper;
  const Status status = moved->OpenParent(&above_moved);
  const Status deeper_status = deeper->OpenParent(&above_deeper);
  if (OnWindows()) {
    // The way up is found by the path a directory was reached by, and taken
    // only to the directory it was reached from: "a" (now empty), or none.
    if (status.ok()) {
      EXPECT_EQ(Names(above_moved.get()), std::vector<std::string>{});
    }
    EXPECT_FALSE(deeper_status.ok());
    return;
  }
  // Above "moved" now lies "elsewhere", not the "a" it was reached from.
  EXPECT_FALSE(status.ok());
  EXPECT_FALSE(status.reason().empty());
  // Moved with it, "deeper" still lies in the directory it was reached from.
  ASSERT_TRUE(deeper_status.ok());
  EXPECT_EQ(Names(above_deeper.get()), std::vector<std::string>{"deeper"});
}

// An uploader may rename a directory the run is in and put another in its
// place (or, where links are made freely, a link to somewhere else): what
// was opened is what is read and written.
TEST_F(PlatformContractTest,
       KeepsToTheDirectoryItOpenedWhenAnotherTakesItsName) {
  ASSERT_TRUE(scratch_.MakeDir("up"));
  ASSERT_TRUE(scratch_.MakeDir("up/inner"));
  ASSERT_TRUE(scratch_.MakeFile("up/FILES.BBS", "a.txt Mine"));
  ASSERT_TRUE(scratch_.MakeFile("up/inner/in.txt", ""));
  std::unique_ptr<Directory> up = Open("up");
  ASSERT_NE(up, nullptr);
  const std::filesystem::path root(scratch_.root());
  std::filesystem::rename(root / "up", root / "mine");
  ASSERT_TRUE(scratch_.MakeDir("up"));
  ASSERT_TRUE(scratch_.MakeDir("up/inner"));
  ASSERT_TRUE(scratch_.MakeFile("up/FILES.BBS", "a.txt Theirs"));
  ASSERT_TRUE(scratch_.MakeFile("up/theirs.txt", ""));
  ASSERT_TRUE(scratch_.MakeFile("up/inner/theirs.txt", ""));

  EXPECT_EQ(Names(up.get()), (std::vector<std::string>{"FILES.BBS", "inner"}));
  std::string bytes;
  ASSERT_TRUE(ReadAll(up.get(), "FILES.BBS", &bytes).ok());
  EXPECT_EQ(bytes, "a.txt Mine");
  std::unique_ptr<Directory> inner;
  ASSERT_TRUE(up->OpenSubdirectory("inner", &inner).ok());
  EXPECT_EQ(Names(inner.get()), std::vector<std::string>{"in.txt"});

  std::unique_ptr<OutputFile> out;
  ASSERT_TRUE(up->CreateOutput("FILES.HTM", &out).ok());
  ASSERT_TRUE(out->Write("page").ok());
  const Status committed = out->Commit();
  out.reset();
  if (committed.ok()) {
    EXPECT_TRUE(scratch_.Exists("mine/FILES.HTM"));
  } else {
    // Wine renames by the path a directory was opened by, and refuses
    // where that now leads elsewhere.
    EXPECT_TRUE(OnWindows()) << committed.reason();
    EXPECT_FALSE(scratch_.Exists("mine/FILES.HTM"));
  }
  EXPECT_FALSE(scratch_.Exists("up/FILES.HTM"));
  // A page given up on goes from where it was begun.
  ASSERT_TRUE(up->CreateOutput("OTHER.HTM", &out).ok());
  out.reset();
  std::vector<std::string> mine = {"FILES.BBS", "inner"};
  if (committed.ok()) mine.insert(mine.begin() + 1, "FILES.HTM");
  std::vector<std::string> names = Names(up.get());
  if (!committed.ok()) {
    // Wine removes a file by the path it was made by, too: its temporary
    // pages stay behind, hidden.
    std::erase_if(names,
                  [](const std::string& name) { return name[0] == '.'; });
  }
  EXPECT_EQ(names, mine);

  // The way up from "inner" leads to the directory it was reached from, or
  // nowhere.
  std::unique_ptr<Directory> above;
  if (inner->OpenParent(&above).ok()) {
    EXPECT_EQ(Names(above.get()), Names(up.get()));
  }
}

TEST_F(PlatformContractTest, OpensTheSameDirectoryHoweverItIsWritten) {
  ASSERT_TRUE(scratch_.MakeFile("marker", ""));
  const std::string sep(1, platform_->Separator());
  std::vector<std::string> paths = {scratch_.root(), scratch_.root() + sep,
                                    scratch_.root() + sep + "." + sep};
  if (OnWindows()) {
    std::string slashes = scratch_.root();
    std::replace(slashes.begin(), slashes.end(), '\\', '/');
    paths.push_back(slashes);
  }
  for (const std::string& path : paths) {
    std::unique_ptr<Directory> dir;
    const Status status = platform_->OpenDirectory(path, &dir);
    ASSERT_TRUE(status.ok()) << path << ": " << status.reason();
    EXPECT_EQ(Names(dir.get()), std::vector<std::string>{"marker"}) << path;
  }
}

TEST_F(PlatformContractTest, RefusesToOpenAFileOrAMissingDirectory) {
  ASSERT_TRUE(scratch_.MakeFile("file.txt", "x"));
  const std::string sep(1, platform_->Separator());
  std::unique_ptr<Directory> dir;
  Status status =
      platform_->OpenDirectory(scratch_.root() + sep + "file.txt", &dir);
  EXPECT_FALSE(status.ok());
  EXPECT_FALSE(status.IsNotFound());
  status = platform_->OpenDirectory(scratch_.root() + sep + "missing", &dir);
  EXPECT_TRUE(status.IsNotFound()) << status.reason();
}

TEST_F(PlatformContractTest, ReadsWholeRegularFilesOnly) {
  std::string every_byte;
  for (int i = 0; i < 256; ++i) every_byte.push_back(static_cast<char>(i));
  const std::string large(3 << 20, '\x1A');  // more than one read
  ASSERT_TRUE(scratch_.MakeFile("bytes", every_byte + "\r\n\x1A" + every_byte));
  ASSERT_TRUE(scratch_.MakeFile("empty", ""));
  ASSERT_TRUE(scratch_.MakeFile("large", large));
  ASSERT_TRUE(scratch_.MakeDir("dir"));
  const std::unique_ptr<Directory> root = Open();

  const struct {
    const char* name;
    std::string bytes;
  } kFiles[] = {{"bytes", every_byte + "\r\n\x1A" + every_byte},
                {"empty", ""},
                {"large", large}};
  for (const auto& c : kFiles) {
    std::string bytes = "left over";
    const Status status = ReadAll(root.get(), c.name, &bytes);
    ASSERT_TRUE(status.ok()) << c.name << ": " << status.reason();
    EXPECT_TRUE(bytes == c.bytes) << c.name << ": " << bytes.size() << " bytes";
  }

  std::string bytes;
  Status status = ReadAll(root.get(), "dir", &bytes);
  EXPECT_FALSE(status.ok());
  EXPECT_FALSE(status.IsNotFound());
  EXPECT_FALSE(status.reason().empty());
  status = ReadAll(root.get(), "missing", &bytes);
  EXPECT_TRUE(status.IsNotFound()) << status.reason();
}

TEST_F(PlatformContractTest, TellsTheZerosOfAHoleWithoutReadingThem) {
#if defined(_WIN32)
  GTEST_SKIP() << "the Windows backend tells no holes (Wine keeps no sparse "
                  "files of its own)";
#elif !defined(TABULON_POSIX_HOLES)
  GTEST_SKIP() << "this build reads holes through";
#else
  // "head", a hole up to 64 MiB, "tail", a hole up to 128 MiB.
  constexpr off_t kTail = off_t{64} << 20;
  constexpr off_t kSize = off_t{128} << 20;
  const std::string path = scratch_.root() + "/holes";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  const bool made = ::pwrite(fd, "head", 4, 0) == 4 &&
                    ::pwrite(fd, "tail", 4, kTail) == 4 &&
                    ::ftruncate(fd, kSize) == 0;
  const off_t first_hole = ::lseek(fd, 0, SEEK_HOLE);
  ::close(fd);
  ASSERT_TRUE(made);
  if (first_hole <= 0 || first_hole > (off_t{1} << 20)) {
    GTEST_SKIP() << "the file system here tells no holes";
  }

  std::unique_ptr<InputFile> file;
  ASSERT_TRUE(Open()->OpenInput("holes", Follow::kNever, &file).ok());
  // Read up to the first hole: what was read, and where the hole begins.
  const auto read_to_hole = [&file](std::string* bytes) -> std::uint64_t {
    std::uint64_t zeros = 0;
    char block[4096];
    for (std::size_t got = 1; got > 0 && (zeros = file->ZerosAhead()) == 0;) {
      if (!file->Read(block, sizeof block, &got).ok()) break;
      bytes->append(block, got);
    }
    return zeros;
  };
  std::string head;
  const std::uint64_t zeros = read_to_hole(&head);
  EXPECT_EQ(head.substr(0, 4), "head");
  EXPECT_EQ(head.find_first_not_of('\0', 4), std::string::npos);
  EXPECT_EQ(head.size() + zeros, static_cast<std::uint64_t>(kTail));

  // A hole passed over but for its last byte, which is read.
  ASSERT_TRUE(file->Skip(zeros - 1).ok());
  std::string tail;
  const std::uint64_t zeros_to_end = read_to_hole(&tail);
  EXPECT_EQ(tail.substr(0, 5), std::string("\0tail", 5));
  EXPECT_EQ(kTail - 1 + tail.size() + zeros_to_end,
            static_cast<std::uint64_t>(kSize));
  ASSERT_TRUE(file->Skip(zeros_to_end).ok());
  char byte = 'x';
  std::size_t got = 1;
  EXPECT_TRUE(file->Read(&byte, 1, &got).ok());
  EXPECT_EQ(got, 0u);

  // From the start again, holes and all.
  ASSERT_TRUE(file->Rewind().ok());
  std::string again;
  EXPECT_EQ(read_to_hole(&again), zeros);
  EXPECT_EQ(again, head);
#endif
}

TEST_F(PlatformContractTest, CommitReplacesTheTargetWhole) {
  const struct {
    const char* label;
    bool existed;
  } kCases[] = {{"new page", false}, {"replaced page", true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    const std::string dir = c.existed ? "old" : "new";
    ASSERT_TRUE(scratch_.MakeDir(dir));
    if (c.existed) {
      ASSERT_TRUE(scratch_.MakeFile(dir + "/FILES.HTM", "old page"));
    }
    const std::unique_ptr<Directory> d = Open(dir);

    std::unique_ptr<OutputFile> out;
    Status status = d->CreateOutput("FILES.HTM", &out);
    ASSERT_TRUE(status.ok()) << status.reason();
    EXPECT_TRUE(out->Write("new ").ok());
    EXPECT_TRUE(out->Write("").ok());
    EXPECT_TRUE(out->Write("page\r\n").ok());

    // Until the commit the old page stands, and the page being written hides
    // behind a leading dot in the same directory.
    std::string bytes;
    status = ReadAll(d.get(), "FILES.HTM", &bytes);
    if (c.existed) {
      EXPECT_EQ(bytes, "old page");
    } else {
      EXPECT_TRUE(status.IsNotFound());
    }
    std::vector<std::string> names = Names(d.get());
    names.erase(std::remove(names.begin(), names.end(), "FILES.HTM"),
                names.end());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0][0], '.') << names[0];

    status = out->Commit();
    ASSERT_TRUE(status.ok()) << status.reason();
    out.reset();
    status = ReadAll(d.get(), "FILES.HTM", &bytes);
    ASSERT_TRUE(status.ok()) << status.reason();
    EXPECT_EQ(bytes, "new page\r\n");
    EXPECT_EQ(Names(d.get()), std::vector<std::string>{"FILES.HTM"});
  }
}

// An uploader who can see the run's process number can make its next
// temporary names first: the page takes another name, and the uploader's
// files stay as they were.
// An uploader who saw one temporary name makes the names that would follow
// it, counting its last number on by a few hundred: the next page is still
// written, and his files are left alone.
TEST_F(PlatformContractTest, TemporaryNamesCannotBeTakenInAdvance) {
  for (const std::string taken : {"named", "unseen"}) {
    ASSERT_TRUE(scratch_.MakeDir(taken));
    const std::unique_ptr<Directory> d = Open(taken);
    std::vector<std::string> uploaders;
    std::unique_ptr<OutputFile> probe;
    ASSERT_TRUE(d->CreateOutput("FILES.HTM", &probe).ok());
    const std::string seen = Names(d.get()).at(0);
    probe.reset();
    const std::size_t end = seen.find_last_of("0123456789");
    ASSERT_TRUE(seen.starts_with(".") && end != std::string::npos) << seen;
    std::size_t begin = seen.find_last_not_of("0123456789", end) + 1;
    begin = std::max(begin, end + 1 - 9);
    const unsigned long number =
        std::stoul(seen.substr(begin, end + 1 - begin));
    for (unsigned long next = number + 1; next <= number + 300; ++next) {
      uploaders.push_back(seen.substr(0, begin) + std::to_string(next) +
                          seen.substr(end + 1));
      ASSERT_TRUE(
          scratch_.MakeFile(taken + "/" + uploaders.back(), "uploader's"));
    }
    OutputOptions options;
    options.unseen = taken == "unseen";
    std::unique_ptr<OutputFile> out;
    Status status = d->CreateOutput("FILES.HTM", options, &out);
    ASSERT_TRUE(status.ok()) << status.reason();
    EXPECT_TRUE(out->Write("new page").ok());
    status = out->Commit();
    ASSERT_TRUE(status.ok()) << status.reason();
    out.reset();
    std::string bytes;
    ASSERT_TRUE(ReadAll(d.get(), "FILES.HTM", &bytes).ok());
    EXPECT_EQ(bytes, "new page");
    for (const std::string& name : uploaders) {
      ASSERT_TRUE(ReadAll(d.get(), name, &bytes).ok()) << name;
      ASSERT_EQ(bytes, "uploader's") << name;
    }
    EXPECT_EQ(Names(d.get()).size(), uploaders.size() + 1);
  }
}

TEST_F(PlatformContractTest, UncommittedOutputLeavesTheOldPageAndNoTrace) {
  ASSERT_TRUE(scratch_.MakeFile("FILES.HTM", "old page"));
  ASSERT_TRUE(scratch_.MakeFile("FILES.BBS", "a.txt A file"));
  const std::unique_ptr<Directory> root = Open();
  {
    std::unique_ptr<OutputFile> out;
    const Status status = root->CreateOutput("FILES.HTM", &out);
    ASSERT_TRUE(status.ok()) << status.reason();
    ASSERT_TRUE(out->Write("half a page").ok());
  }
  EXPECT_EQ(Names(root.get()),
            (std::vector<std::string>{"FILES.BBS", "FILES.HTM"}));
  std::string bytes;
  ASSERT_TRUE(ReadAll(root.get(), "FILES.HTM", &bytes).ok());
  EXPECT_EQ(bytes, "old page");
}

// A directory's date tells when its content last changed: writing a page
// into it, or giving up on one, leaves the date as it was, while a change
// someone else makes as the page is written keeps its own.
TEST_F(PlatformContractTest, PagesLeaveTheDirectoryDateAsItWas) {
  constexpr std::int64_t kBefore = 1560000000;     // 2019-06-08T13:20:00Z
  constexpr std::int64_t kMeanwhile = 1600000000;  // 2020-09-13T12:26:40Z
  const struct {
    const char* label;
    bool existed;
    bool unseen;
    bool commit;
    bool beside;  // a second page made after the first, committed after it
    bool meanwhile;
    std::int64_t expected;
  } kCases[] = {
      {"new page", false, false, true, false, false, kBefore},
      {"replaced page", true, false, true, false, false, kBefore},
      {"unseen until committed", true, true, true, false, false, kBefore},
      {"dropped", true, false, false, false, false, kBefore},
      {"dropped, no page before", false, false, false, false, false, kBefore},
      {"two pages at once", false, false, true, true, false, kBefore},
      {"one of two dropped", false, false, false, true, false, kBefore},
      {"an upload as the page is written", true, false, true, false, true,
       kMeanwhile},
      {"an upload as two pages are written", true, false, true, true, true,
       kMeanwhile},
  };
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    const std::string dir = "d" + std::to_string(n++);
    ASSERT_TRUE(scratch_.MakeDir(dir));
    if (c.existed) {
      ASSERT_TRUE(scratch_.MakeFile(dir + "/FILES.HTM", "old page"));
    }
    ASSERT_TRUE(scratch_.SetUtcTime(dir, kBefore));
    const std::unique_ptr<Directory> d = Open(dir);
    std::unique_ptr<OutputFile> out;
    OutputOptions options;
    options.unseen = c.unseen;
    ASSERT_TRUE(d->CreateOutput("FILES.HTM", options, &out).ok());
    ASSERT_TRUE(out->Write("new page").ok());
    std::unique_ptr<OutputFile> second;
    if (c.beside) {
      ASSERT_TRUE(d->CreateOutput("FILES.JSON", &second).ok());
      ASSERT_TRUE(second->Write("{}").ok());
    }
    if (c.meanwhile) {
      ASSERT_TRUE(scratch_.MakeFile(dir + "/upload.zip", "zip"));
      ASSERT_TRUE(scratch_.SetUtcTime(dir, kMeanwhile));
    }
    if (c.commit) {
      const Status status = out->Commit();
      ASSERT_TRUE(status.ok()) << status.reason();
    }
    out.reset();
    if (second != nullptr) {
      const Status status = second->Commit();
      ASSERT_TRUE(status.ok()) << status.reason();
      second.reset();
    }
    std::map<std::string, SearchEntry> entries = ListByName(Open().get());
    EXPECT_EQ(entries[dir].Modified, c.expected);
    std::string bytes;
    const Status read = ReadAll(d.get(), "FILES.HTM", &bytes);
    EXPECT_EQ(read.ok(), c.existed || c.commit) << read.reason();
    EXPECT_EQ(bytes, c.commit ? "new page" : c.existed ? "old page" : "");
  }
}

TEST_F(PlatformContractTest, WritesGatheredPiecesInOrder) {
  // More pieces than one call of the system takes, empty ones among them.
  std::vector<std::string> texts(3000);
  std::string expected = "head ";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i % 7 != 0) texts[i].append(std::to_string(i)).append(i % 50, '.');
    expected += texts[i];
  }
  expected += " foot";
  const std::vector<std::string_view> pieces(texts.begin(), texts.end());
  const std::unique_ptr<Directory> root = Open();
  std::unique_ptr<OutputFile> out;
  ASSERT_TRUE(root->CreateOutput("FILES.HTM", &out).ok());
  ASSERT_TRUE(out->Write("head ").ok());
  ASSERT_TRUE(out->WriteGathered(pieces).ok());
  ASSERT_TRUE(out->Write(" foot").ok());
  ASSERT_TRUE(out->Commit().ok());
  out.reset();
  std::string bytes;
  ASSERT_TRUE(ReadAll(root.get(), "FILES.HTM", &bytes).ok());
  EXPECT_TRUE(bytes == expected) << bytes.size();
}

TEST_F(PlatformContractTest, TwoOutputsInOneDirectoryDoNotCollide) {
  const std::unique_ptr<Directory> root = Open();
  std::unique_ptr<OutputFile> first;
  std::unique_ptr<OutputFile> second;
  ASSERT_TRUE(root->CreateOutput("A.HTM", &first).ok());
  ASSERT_TRUE(root->CreateOutput("A.HTM", &second).ok());
  ASSERT_TRUE(first->Write("first").ok());
  ASSERT_TRUE(second->Write("second").ok());
  ASSERT_TRUE(first->Commit().ok());
  ASSERT_TRUE(second->Commit().ok());
  first.reset();
  second.reset();
  std::string bytes;
  ASSERT_TRUE(ReadAll(root.get(), "A.HTM", &bytes).ok());
  EXPECT_EQ(bytes, "second");
  EXPECT_EQ(Names(root.get()), std::vector<std::string>{"A.HTM"});
}

TEST_F(PlatformContractTest, WorksBeyondTheSystemPathLimit) {
  // Past MAX_PATH (260 characters) on Windows, past PATH_MAX (4096 bytes) on
  // POSIX.
  const std::size_t limit = OnWindows() ? 260 : 4096;
  const std::string name = "a-directory-name-of-forty-characters-xyz";
  std::string relative;
  std::size_t length = scratch_.root().size();
  while (length <= limit + name.size()) {
    relative += (relative.empty() ? "" : "/") + name;
    ASSERT_TRUE(scratch_.MakeDir(relative)) << relative.size();
    length += name.size() + 1;
  }
  ASSERT_TRUE(scratch_.MakeFile(relative + "/FILES.BBS", "deep"));

  const std::unique_ptr<Directory> deep = Open(relative);
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(Names(deep.get()), std::vector<std::string>{"FILES.BBS"});
  std::string bytes;
  Status status = ReadAll(deep.get(), "FILES.BBS", &bytes);
  ASSERT_TRUE(status.ok()) << status.reason();
  EXPECT_EQ(bytes, "deep");

  std::unique_ptr<OutputFile> out;
  status = deep->CreateOutput("FILES.HTM", &out);
  ASSERT_TRUE(status.ok()) << status.reason();
  ASSERT_TRUE(out->Write("page").ok());
  status = out->Commit();
  ASSERT_TRUE(status.ok()) << status.reason();
  EXPECT_TRUE(scratch_.Exists(relative + "/FILES.HTM"));

  if (OnWindows()) {
    // Windows also opens the long path as typed.
    std::string full = scratch_.root() + "\\" + relative;
    std::replace(full.begin(), full.end(), '/', '\\');
    std::unique_ptr<Directory> direct;
    status = platform_->OpenDirectory(full, &direct);
    ASSERT_TRUE(status.ok()) << status.reason();
    EXPECT_EQ(Names(direct.get()),
              (std::vector<std::string>{"FILES.BBS", "FILES.HTM"}));
  }
}

TEST_F(PlatformContractTest, ListsALinkToADirectoryButNeverEntersIt) {
  ASSERT_TRUE(scratch_.MakeDir("target"));
  ASSERT_TRUE(scratch_.MakeFile("target/inside.txt", "x"));
  ASSERT_TRUE(scratch_.SetLocalTime("target", 2001, 5, 20, 12, 0));
  std::string why;
  if (!scratch_.MakeDirectoryLink("link", "target", &why)) {
    GTEST_SKIP() << "cannot make a link to a directory here (" << why
                 << "); Wine has no junctions or symbolic links";
  }
  const std::unique_ptr<Directory> root = Open();
  const auto listed = ListByName(root.get());

  const SearchEntry& link = listed.at("link");
  EXPECT_TRUE(link.IsLink());
  EXPECT_TRUE(link.IsDirectory());
  EXPECT_EQ(link.Time.year, 2001);
  EXPECT_FALSE(listed.at("target").IsLink());

  std::unique_ptr<Directory> out;
  const Status status = root->OpenSubdirectory("link", &out);
  EXPECT_FALSE(status.ok());
  EXPECT_FALSE(status.reason().empty());
  EXPECT_TRUE(root->OpenSubdirectory("target", &out).ok());
}

TEST_F(PlatformContractTest, ListsALinkToAFileWithItsTargetsSize) {
  ASSERT_TRUE(scratch_.MakeFile("target.txt", std::string(1234, 'x')));
  std::string why;
  if (!scratch_.MakeFileLink("link.txt", "target.txt", &why) ||
      !scratch_.MakeFileLink("dangling.txt", "missing.txt", &why)) {
    GTEST_SKIP() << "cannot make a symbolic link to a file here (" << why
                 << "); Wine and unprivileged Windows have none";
  }
  const auto listed = ListByName(Open().get());
  EXPECT_TRUE(listed.at("link.txt").IsLink());
  EXPECT_FALSE(listed.at("link.txt").IsDirectory());
  EXPECT_EQ(listed.at("link.txt").Size, 1234);
  EXPECT_TRUE(listed.at("dangling.txt").IsLink());
  EXPECT_FALSE(listed.at("dangling.txt").IsDirectory());
}

TEST_F(PlatformContractTest, TodayIsTheLocalDate) {
  const auto local_today = [] {
    const std::time_t now = std::time(nullptr);
    const std::tm* parts = std::localtime(&now);
    return (parts->tm_year + 1900) * 10000 + (parts->tm_mon + 1) * 100 +
           parts->tm_mday;
  };
  const int before = local_today();
  const LocalDate today = platform_->Today();
  const int after = local_today();
  const int got = today.year * 10000 + today.month * 100 + today.day;
  EXPECT_TRUE(got == before || got == after) << got << " vs " << before;
}

TEST_F(PlatformContractTest, ClockGoesOnWithRealTime) {
  const std::uint64_t start = platform_->MonotonicMs();
  std::uint64_t last = start;
  for (int i = 0; i < 1000; ++i) {
    const std::uint64_t now = platform_->MonotonicMs();
    ASSERT_GE(now, last);
    last = now;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  const std::uint64_t later = platform_->MonotonicMs();
  // The Windows tick is 10 to 16 ms coarse.
  EXPECT_GE(later - start, 40u);
  EXPECT_LT(later - start, 60000u);
}

TEST_F(PlatformContractTest, StorageReadsCountWhatTheDiskIsAskedFor) {
  // POSIX tells them; Windows keeps no count of a process's disk reads.
  const std::optional<std::uint64_t> before = platform_->StorageReads();
  ASSERT_EQ(before.has_value(), !OnWindows());
  const std::string content(1 << 20, 'x');
  ASSERT_TRUE(scratch_.MakeFile("read.bin", content));
#ifndef _WIN32
  // Out of the cache, so that reading it asks the disk.
  const std::string path = scratch_.root() + "/read.bin";
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ::fsync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
#endif
  const std::unique_ptr<Directory> dir = Open();
  std::string bytes;
  ASSERT_TRUE(ReadAll(dir.get(), "read.bin", &bytes).ok());
  EXPECT_EQ(bytes, content);
  const std::optional<std::uint64_t> after = platform_->StorageReads();
  ASSERT_EQ(after.has_value(), before.has_value());
  if (!before) return;
  EXPECT_GE(*after, *before);
  if (*after == *before) {
    GTEST_SKIP() << "the file system kept the file in memory (tmpfs?)";
  }
  // 512-byte blocks: no more than the file and what the system read ahead.
  EXPECT_LE(*after - *before, 64u * (1 << 20) / 512);
}

TEST_F(PlatformContractTest, ProcessorTimeCountsWorkNotWaiting) {
  const std::uint64_t start = platform_->ProcessorMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::uint64_t slept = platform_->ProcessorMs();
  EXPECT_GE(slept, start);
  // Windows counts in ticks of up to 16 ms.
  EXPECT_LT(slept - start, 50u);
  // Work shows long before a minute has passed, however busy the machine.
  const std::uint64_t began = platform_->MonotonicMs();
  std::uint64_t used = slept;
  volatile std::uint64_t sink = 0;
  while ((used = platform_->ProcessorMs()) < slept + 40 &&
         platform_->MonotonicMs() - began < 60000) {
    for (int i = 0; i < 100000; ++i)
      sink = sink + static_cast<std::uint64_t>(i);
  }
  EXPECT_GE(used, slept + 40);
}

TEST_F(PlatformContractTest, ReportsProcessFacts) {
  EXPECT_GT(platform_->FreeMemory(), 0u);

  const std::string program = platform_->ProgramName();
  EXPECT_FALSE(program.empty());
  EXPECT_EQ(program.find_first_of("/\\"), std::string::npos) << program;

  // An offset from the load address, not the address itself: small, and
  // the same distance apart as the addresses.
  const void* a = reinterpret_cast<const void*>(&NewPlatform);
  const void* b = reinterpret_cast<const void*>(&ListByName);
  const std::uintptr_t offset_a = platform_->CodeOffset(a);
  const std::uintptr_t offset_b = platform_->CodeOffset(b);
  EXPECT_LT(offset_a, std::uintptr_t{1} << 28);
  EXPECT_EQ(offset_a - offset_b, reinterpret_cast<std::uintptr_t>(a) -
                                     reinterpret_cast<std::uintptr_t>(b));

  std::unique_ptr<Directory> cwd;
  const std::string current = platform_->CurrentDirectory();
  ASSERT_FALSE(current.empty());
  EXPECT_TRUE(platform_->OpenDirectory(current, &cwd).ok()) << current;

  const CommandLine line = platform_->ReadCommandLine();
  if (line.one_string) {
    EXPECT_FALSE(line.line.empty());
  }
}

TEST_F(PlatformContractTest, FollowsALinkOnlyToAFileInsideTheStartTree) {
  for (const char* dir : {"tree", "tree/sub", "tree2"}) {
    ASSERT_TRUE(scratch_.MakeDir(dir));
  }
  ASSERT_TRUE(scratch_.MakeFile("tree/plain.txt", "plain"));
  ASSERT_TRUE(scratch_.MakeFile("tree/inside.txt", "inside"));
  ASSERT_TRUE(scratch_.MakeFile("tree/sub/deep.txt", "deep"));
  ASSERT_TRUE(scratch_.MakeFile("outside.txt", "outside"));
  ASSERT_TRUE(scratch_.MakeFile("tree2/near.txt", "near"));  // named like it
  const struct {
    const char* name;
    std::string target;
    const char* bytes;  // read through the link; nullptr: refused
  } kLinks[] = {
      {"to-inside", "inside.txt", "inside"},
      {"to-deep", "sub/deep.txt", "deep"},
      {"out-and-back", "../tree/inside.txt", "inside"},
      {"to-outside", "../outside.txt", nullptr},
      {"to-absolute", scratch_.root() + platform_->Separator() + "outside.txt",
       nullptr},
      {"to-sibling", "../tree2/near.txt", nullptr},
      {"through-a-link", "up/outside.txt", nullptr},
      {"absolute-inside",
       scratch_.root() + platform_->Separator() + "tree" +
           platform_->Separator() + "inside.txt",
       "inside"},
      {"to-a-link-inside", "to-inside", "inside"},
      {"to-a-link-outside", "to-outside", nullptr},
      // The second link's target is taken from where that link lies.
      {"to-a-link-below", "sub/back", "inside"},
      {"to-itself", "to-itself", nullptr},
      {"to-a-directory", "sub", nullptr},
      {"to-a-directory-slash", "sub/", nullptr},
  };
  std::string why;
  if (!scratch_.MakeDirectoryLink("tree/up", "..", &why) ||
      !scratch_.MakeDirectoryLink("alias", "tree", &why)) {
    GTEST_SKIP() << "cannot make a link to a directory here (" << why
                 << "); Wine has no junctions or symbolic links";
  }
  bool made = scratch_.MakeFileLink("tree/sub/back", "../inside.txt", &why);
  for (const auto& link : kLinks) {
    made = made && scratch_.MakeFileLink(std::string("tree/") + link.name,
                                         link.target, &why);
  }
  if (!made) {
    GTEST_SKIP() << "cannot make a symbolic link to a file here (" << why
                 << "); Wine and unprivileged Windows have none";
  }
  const std::string sep(1, platform_->Separator());
  // Started through a link to it, the tree is where the link leads.
  for (const std::string start : {"tree", "alias"}) {
    SCOPED_TRACE(start);
    std::unique_ptr<Directory> tree;
    ASSERT_TRUE(
        platform_->OpenDirectory(scratch_.root() + sep + start, &tree).ok());
    for (const Follow follow : {Follow::kInsideTree, Follow::kNever}) {
      std::string bytes;
      EXPECT_TRUE(ReadAll(tree.get(), "plain.txt", &bytes, follow).ok());
      EXPECT_EQ(bytes, "plain");
      for (const auto& link : kLinks) {
        SCOPED_TRACE(link.name);
        const bool read =
            follow == Follow::kInsideTree && link.bytes != nullptr;
        bytes.clear();
        const Status status = ReadAll(tree.get(), link.name, &bytes, follow);
        EXPECT_EQ(status.ok(), read) << status.reason();
        EXPECT_EQ(bytes, read ? link.bytes : "");
        if (!read) {
          EXPECT_FALSE(status.IsNotFound());
          EXPECT_FALSE(status.reason().empty());
        }
      }
    }
  }
}

TEST_F(PlatformContractTest,
       ReplacesALinkedTargetAndPassesOnOnlyPermissionBitsOfItsOwn) {
  ASSERT_TRUE(scratch_.MakeDir("pages"));
  ASSERT_TRUE(scratch_.MakeFile("outside", "outside"));
  std::string why;
  if (!scratch_.MakeFileLink("pages/FILES.HTM", "../outside", &why)) {
    GTEST_SKIP() << "cannot make a symbolic link to a file here (" << why
                 << "); Wine and unprivileged Windows have none";
  }
  const struct {
    const char* name;
    int before;    // of the target, -1: the link
    bool foreign;  // owned by another user than the run's
    int after;     // -1: that of a new file
  } kCases[] = {
      {"FILES.HTM", -1, false, -1},
      {"setid.htm", 06755, false, 0755},
      {"kept.htm", 0604, false, 0604},
      {"uploaded.htm", 0666, true, -1},
      {"uploaded-private.htm", 0600, true, -1},
  };
  int new_file = -1;
  if (!OnWindows()) {
    ASSERT_TRUE(scratch_.SetMode("outside", 04755));
    ASSERT_TRUE(scratch_.MakeFile("new-file", ""));
    new_file = scratch_.Mode("new-file");
  }
  const std::unique_ptr<Directory> pages = Open("pages");
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string path = std::string("pages/") + c.name;
    if (c.before >= 0) {
      ASSERT_TRUE(scratch_.MakeFile(path, "old page"));
      if (!OnWindows()) {
        ASSERT_TRUE(scratch_.SetMode(path, static_cast<unsigned>(c.before)));
      }
    }
    if (c.foreign) {
#ifdef _WIN32
      continue;  // owners don't decide permissions there
#else
      if (::geteuid() != 0) {
        std::cout << "[ SKIPPED  ] " << c.name
                  << ": giving a file to another user needs root\n";
        continue;
      }
      ASSERT_EQ(::chown((scratch_.root() + "/" + path).c_str(), 65534, 65534),
                0);
#endif
    }
    // The page as the caller compared it; a link is not opened.
    std::unique_ptr<InputFile> old;
    OutputOptions options;
    if (pages->OpenInput(c.name, Follow::kNever, &old).ok()) {
      EXPECT_EQ(old->OwnedByRun(), !c.foreign);
      options.replaced = old.get();
    }
    std::unique_ptr<OutputFile> out;
    ASSERT_TRUE(pages->CreateOutput(c.name, options, &out).ok());
    ASSERT_TRUE(out->Write("new page").ok());
    ASSERT_TRUE(out->Commit().ok());
    EXPECT_FALSE(scratch_.IsLink(path));
    std::string bytes;
    EXPECT_TRUE(ReadAll(pages.get(), c.name, &bytes).ok());
    EXPECT_EQ(bytes, "new page");
    if (!OnWindows()) {
      EXPECT_EQ(scratch_.Mode(path), c.after >= 0 ? c.after : new_file);
#ifndef _WIN32
      struct stat st;
      ASSERT_EQ(::stat((scratch_.root() + "/" + path).c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, ::geteuid());
#endif
    }
  }
  std::string bytes;
  EXPECT_TRUE(ReadAll(Open().get(), "outside", &bytes).ok());
  EXPECT_EQ(bytes, "outside");
  if (!OnWindows()) {
    EXPECT_EQ(scratch_.Mode("outside"), 04755);
  }
}

// A file with a second name is no page of the run's own, whoever owns it:
// anyone who may make files in the directory may give that name to a file
// others may write. It is replaced with a new file's permissions, and the
// file of the other name keeps its bytes and its own.
TEST_F(PlatformContractTest, FileWithASecondNameIsNotTheRunsOwnPage) {
  ASSERT_TRUE(scratch_.MakeDir("pages"));
  ASSERT_TRUE(scratch_.MakeFile("writable", "someone's file"));
  ASSERT_TRUE(scratch_.MakeFile("pages/one.htm", "old page"));
  ASSERT_TRUE(scratch_.MakeHardLink("pages/linked.htm", "writable"));
  // Bits that no new file gets under the usual umasks.
  if (!OnWindows()) {
    ASSERT_TRUE(scratch_.SetMode("writable", 0606));
    ASSERT_TRUE(scratch_.SetMode("pages/one.htm", 0606));
  }
  const std::unique_ptr<Directory> pages = Open("pages");
  for (const auto& [name, own] :
       {std::pair{"one.htm", true}, std::pair{"linked.htm", false}}) {
    SCOPED_TRACE(name);
    std::unique_ptr<InputFile> old;
    ASSERT_TRUE(pages->OpenInput(name, Follow::kNever, &old).ok());
    EXPECT_EQ(old->OwnedByRun(), own);
    OutputOptions options;
    options.replaced = old.get();
    std::unique_ptr<OutputFile> out;
    ASSERT_TRUE(pages->CreateOutput(name, options, &out).ok());
    old.reset();  // Windows replaces no file that is open
    ASSERT_TRUE(out->Write("new page").ok());
    ASSERT_TRUE(out->Commit().ok());
    std::string bytes;
    EXPECT_TRUE(ReadAll(pages.get(), name, &bytes).ok());
    EXPECT_EQ(bytes, "new page");
    if (!OnWindows()) {
      EXPECT_EQ(scratch_.Mode(std::string("pages/") + name) == 0606, own);
    }
  }
  std::string bytes;
  EXPECT_TRUE(ReadAll(Open().get(), "writable", &bytes).ok());
  EXPECT_EQ(bytes, "someone's file");
  if (!OnWindows()) {
    EXPECT_EQ(scratch_.Mode("writable"), 0606);
  }
}

// An output asked to stay unseen: dropped, it leaves no trace (where the
// system has unnamed files, not even a new modification time of the
// directory); committed, it replaces the page.
TEST_F(PlatformContractTest, UnseenOutputTouchesTheDirectoryOnlyOnCommit) {
  ASSERT_TRUE(scratch_.MakeDir("pages"));
  ASSERT_TRUE(scratch_.MakeFile("pages/FILES.HTM", "old page"));
  ASSERT_TRUE(scratch_.SetLocalTime("pages", 2019, 6, 7, 12, 0));
  const std::unique_ptr<Directory> pages = Open("pages");
  const auto directory_time = [&] {
    std::map<std::string, SearchEntry> entries = ListByName(Open().get());
    const LocalDate& t = entries["pages"].Time;
    return std::vector<int>{t.year, t.month, t.day};
  };
  const std::vector<int> before = directory_time();
  const std::string big(3u << 20, 'x');
  for (const bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "committed" : "dropped");
    std::unique_ptr<OutputFile> out;
    OutputOptions options;
    options.unseen = true;
    ASSERT_TRUE(pages->CreateOutput("FILES.HTM", options, &out).ok());
    ASSERT_TRUE(out->Write(big).ok());
#ifdef TABULON_POSIX_UNNAMED_FILES
    // Where the system has unnamed files, nothing shows before the commit.
    EXPECT_EQ(Names(pages.get()), std::vector<std::string>{"FILES.HTM"});
    EXPECT_EQ(directory_time(), before);
#else
    // Elsewhere the page is written under a hidden name of its own beside
    // the target, which the drop or the commit takes away again.
    const std::vector<std::string> names = Names(pages.get());
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0][0], '.') << names[0];
    EXPECT_EQ(names[1], "FILES.HTM");
#endif
    if (commit) {
      ASSERT_TRUE(out->Commit().ok());
    }
    out.reset();
    EXPECT_EQ(Names(pages.get()), std::vector<std::string>{"FILES.HTM"});
    std::string bytes;
    ASSERT_TRUE(ReadAll(pages.get(), "FILES.HTM", &bytes).ok());
    EXPECT_TRUE(bytes == (commit ? big : "old page")) << bytes.size();
  }
}

// An upload drop box: entered and written by strangers, read by nobody.
TEST_F(PlatformContractTest, WorksInADirectoryThatCanBeEnteredButNotRead) {
  if (OnWindows()) {
    GTEST_SKIP() << "Wine grants every listing: it keeps no access control "
                    "lists to deny one";
  }
  ASSERT_TRUE(scratch_.MakeDir("box"));
  ASSERT_TRUE(scratch_.MakeDir("box/inner"));
  ASSERT_TRUE(scratch_.MakeFile("box/inner/a.txt", "a"));
  ASSERT_TRUE(scratch_.MakeFile("box/FILES.BBS", "described"));
  ASSERT_TRUE(scratch_.MakeDir("locked"));
  ASSERT_TRUE(scratch_.SetMode("", 0711));
  ASSERT_TRUE(scratch_.SetMode("box", 0333));
  ASSERT_TRUE(scratch_.SetMode("locked", 0));
  const std::string denied = std::strerror(EACCES);
#if !defined(_WIN32) && !defined(TABULON_POSIX_SEARCH_ONLY)
  // Without a descriptor for search only, such a directory is refused with
  // the reason as a start, as one that can't be entered is; a readable one
  // below it still opens as a start. Reached from a directory whose names
  // nobody else may change, it is worked in by its name; from one others
  // may write, where a link could take its name meanwhile, it is refused.
  for (const char* parent : {"open", "shared"}) {
    const std::string box = std::string(parent) + "/box";
    ASSERT_TRUE(scratch_.MakeDir(parent));
    ASSERT_TRUE(scratch_.MakeDir(box));
    ASSERT_TRUE(scratch_.MakeFile(box + "/FILES.BBS", "described"));
    ASSERT_TRUE(scratch_.SetMode(box, 0333));
  }
  ASSERT_TRUE(scratch_.SetMode("shared", 0777));
  const std::string found = AsOrdinaryUser([&] {
    std::string wrong;
    const struct {
      const char* start;
      bool opens;
    } kStarts[] = {
        {"", false},
        {"/box", false},
        {"/locked", false},
        {"/box/inner", true},
    };
    for (const auto& c : kStarts) {
      std::unique_ptr<Directory> dir;
      const Status status =
          platform_->OpenDirectory(scratch_.root() + c.start, &dir);
      std::vector<SearchEntry> entries;
      const bool as_expected =
          c.opens ? status.ok() && dir->List(&entries).ok() &&
                        entries.size() == 1 && entries[0].Name == "a.txt"
                  : !status.ok() && status.reason() == denied;
      if (!as_expected) {
        wrong +=
            std::string("start ") + c.start + ": " + status.reason() + "\n";
      }
    }
    for (const bool others_may_write : {false, true}) {
      const std::string parent = others_may_write ? "/shared" : "/open";
      std::unique_ptr<Directory> above;
      std::unique_ptr<Directory> box;
      std::unique_ptr<OutputFile> out;
      std::string bytes;
      Status status =
          platform_->OpenDirectory(scratch_.root() + parent, &above);
      if (status.ok()) status = above->OpenSubdirectory("box", &box);
      if (status.ok()) status = ReadAll(box.get(), "FILES.BBS", &bytes);
      if (status.ok()) status = box->CreateOutput("FILES.HTM", &out);
      if (status.ok()) status = out->Write("page");
      if (status.ok()) status = out->Commit();
      if (status.ok()) status = ReadAll(box.get(), "FILES.HTM", &bytes);
      const bool as_expected = others_may_write
                                   ? !status.ok() && status.reason() == denied
                                   : status.ok() && bytes == "page";
      if (!as_expected) wrong += "box below " + parent + ": " + status.reason();
    }
    return wrong;
  });
#else
  const std::string found = AsOrdinaryUser([&] {
    std::string wrong;
    const auto check = [&wrong](bool ok, const std::string& what) {
      if (!ok) wrong += what + "\n";
    };
    // The scratch root may be entered, not read, too.
    std::unique_ptr<Directory> root;
    const Status opened = platform_->OpenDirectory(scratch_.root(), &root);
    check(opened.ok(), "root: " + opened.reason());
    for (const bool from_parent : {false, true}) {
      if (from_parent && root == nullptr) return wrong;
      const std::string how =
          from_parent ? "from its parent: " : "as a start: ";
      std::unique_ptr<Directory> box;
      Status status = from_parent ? root->OpenSubdirectory("box", &box)
                                  : platform_->OpenDirectory(
                                        scratch_.root() + "/box", &box);
      check(status.ok(), how + "open: " + status.reason());
      if (box == nullptr) continue;
      std::vector<SearchEntry> entries;
      status = box->ReadNames(&entries);
      check(!status.IsNotFound() && status.reason() == denied,
            how + "listed: " + status.reason());
      std::string bytes;
      status = ReadAll(box.get(), "FILES.BBS", &bytes);
      check(status.ok() && bytes == "described",
            how + "read: " + status.reason());
      std::unique_ptr<Directory> inner;
      status = box->OpenSubdirectory("inner", &inner);
      check(status.ok(), how + "entered: " + status.reason());
      entries.clear();
      if (inner != nullptr) status = inner->List(&entries);
      check(entries.size() == 1 && entries[0].Name == "a.txt" &&
                entries[0].Size == 1,
            how + "inner listed: " + status.reason());
      std::unique_ptr<OutputFile> out;
      status = box->CreateOutput("FILES.HTM", &out);
      if (status.ok()) status = out->Write(how);
      if (status.ok()) status = out->Commit();
      check(status.ok(), how + "page: " + status.reason());
      check(ReadAll(box.get(), "FILES.HTM", &bytes).ok() && bytes == how,
            how + "page read back");
    }
    std::unique_ptr<Directory> locked;
    const Status status = root->OpenSubdirectory("locked", &locked);
    check(!status.ok() && status.reason() == denied,
          "a directory that can't be entered: " + status.reason());
    return wrong;
  });
#endif
  EXPECT_EQ(found, "");
}

// Pieces small and large, on several threads at once: each entry gets its
// own details, with descriptors to spare and with none left (the pieces
// then make do with the directory's own), and no descriptor stays open.
TEST_F(PlatformContractTest,
       FillsInDetailsOfDisjointEntriesOnSeveralThreadsAtOnce) {
  constexpr int kFiles = 800;
  for (int i = 0; i < kFiles; ++i) {
    ASSERT_TRUE(
        scratch_.MakeFile("f" + std::to_string(i), std::string(i % 50, 'x')));
  }
  const std::unique_ptr<Directory> dir = Open();
  std::vector<SearchEntry> names;
  ASSERT_TRUE(dir->ReadNames(&names).ok());
  ASSERT_EQ(names.size(), static_cast<std::size_t>(kFiles));
  // What went wrong in filling in the names in `parts` pieces, each on a
  // thread of its own or one after another.
  const auto fill = [&dir, &names](std::size_t parts, bool threads) {
    std::vector<SearchEntry> entries = names;
    std::vector<std::thread> running;
    for (std::size_t part = 0; part < parts && dir->NamesOnly(); ++part) {
      SearchEntry* first = entries.data() + part * kFiles / parts;
      SearchEntry* last = entries.data() + (part + 1) * kFiles / parts;
      const auto piece = [&dir, first, last] { dir->FillDetails(first, last); };
      if (threads) {
        running.emplace_back(piece);
      } else {
        piece();
      }
    }
    for (std::thread& thread : running) thread.join();
    std::string wrong;
    int count = 0;
    for (const SearchEntry& entry : entries) {
      if (entry.Gone || entry.Size != std::stoi(entry.Name.substr(1)) % 50) {
        if (++count <= 3)
          wrong += entry.Name + (entry.Gone ? " gone, " : " wrong size, ");
      }
    }
    return count == 0 ? wrong : wrong + std::to_string(count) + " in all";
  };
  for (const std::size_t parts : {8u, 2u}) {
    SCOPED_TRACE(std::to_string(kFiles / parts) + " entries a piece");
    const std::uint64_t room = platform_->OpenFileRoom();
    EXPECT_EQ(fill(parts, true), "");
    if (!OnWindows()) {
      EXPECT_EQ(platform_->OpenFileRoom(), room);
    }
#ifndef _WIN32
    // One piece after another: a child of a process with threads (a
    // sanitizer's) may start none.
    EXPECT_EQ(InChild([&] {
                return TakeEveryDescriptor(nullptr) ? fill(parts, false)
                                                    : "limit";
              }),
              "");
#endif
  }
}

// A batch gets its details on a thread of its own while the names after it
// are read: every name comes once, in batches no larger than asked for,
// each with its own details.
TEST_F(PlatformContractTest, FillsInDetailsOfBatchesWhileTheRestAreRead) {
  constexpr int kFiles = 1000;
  constexpr std::size_t kFirst = 16;
  constexpr std::size_t kBatch = 64;
  for (int i = 0; i < kFiles; ++i) {
    ASSERT_TRUE(
        scratch_.MakeFile("f" + std::to_string(i), std::string(i % 50, 'x')));
  }
  const std::unique_ptr<Directory> dir = Open();
  std::deque<std::vector<SearchEntry>> batches;
  std::vector<std::thread> threads;
  const Status status = dir->ReadNamesInBatches(
      kFirst, kBatch, [&](std::vector<SearchEntry>&& batch) {
        std::vector<SearchEntry>& kept = batches.emplace_back(std::move(batch));
        if (dir->NamesOnly()) {
          threads.emplace_back([&dir, &kept] {
            dir->FillDetails(kept.data(), kept.data() + kept.size());
          });
        }
      });
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(status.ok());
  // Full batches but the last, which a reader takes for the end: a first
  // batch short of kFirst says the directory is small.
  ASSERT_GE(batches.size(), 2u);
  for (std::size_t i = 0; i < batches.size(); ++i) {
    const std::size_t limit = i == 0 ? kFirst : kBatch;
    if (i + 1 < batches.size()) {
      EXPECT_EQ(batches[i].size(), limit) << i;
    } else {
      EXPECT_FALSE(batches[i].empty());
      EXPECT_LE(batches[i].size(), limit);
    }
  }
  std::set<std::string> seen;
  for (const std::vector<SearchEntry>& batch : batches) {
    for (const SearchEntry& entry : batch) {
      EXPECT_TRUE(seen.insert(entry.Name).second) << entry.Name;
      EXPECT_FALSE(entry.Gone) << entry.Name;
      EXPECT_EQ(entry.Size, std::stoi(entry.Name.substr(1)) % 50) << entry.Name;
    }
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kFiles));
}

// Pages of several threads at once, in one directory and in several: each
// thread makes pages while the others commit theirs; then each commits or
// drops pages another thread made, in directories closed since. Every page
// on disk afterwards is one of those committed to its name, whole, and
// nothing else is left.
TEST_F(PlatformContractTest,
       OutputsOfSeveralThreadsAtOnceEndWholeOrLeaveNoTrace) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 12;
  const std::vector<std::string> subs = {"d0", "d1", "d2"};
  for (const std::string& sub : subs) ASSERT_TRUE(scratch_.MakeDir(sub));
  const std::unique_ptr<Directory> root = Open();
  struct Page {
    std::unique_ptr<OutputFile> file;
    std::string key;  // directory/name
    std::string bytes;
  };
  std::mutex mutex;
  std::map<std::string, std::set<std::string>> committed;  // by key
  std::vector<std::string> faults;
  const auto start = [&](Directory* dir, const std::string& sub,
                         const std::string& name, int serial, Page* page) {
    page->key = sub + "/" + name;
    page->bytes = std::string(300 + 97 * serial, char('a' + serial % 26)) +
                  std::to_string(serial);
    Status status = dir->CreateOutput(name, &page->file);
    for (std::size_t at = 0; status.ok() && at < page->bytes.size();
         at += 256) {
      status = page->file->Write(std::string_view(page->bytes).substr(at, 256));
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (!status.ok()) faults.push_back(page->key + ": " + status.reason());
  };
  const auto finish = [&](Page* page, bool commit) {
    if (page->file == nullptr) return;  // not made: a fault already
    const Status status = commit ? page->file->Commit() : Status();
    page->file.reset();
    std::lock_guard<std::mutex> lock(mutex);
    if (!status.ok()) faults.push_back(page->key + ": " + status.reason());
    if (status.ok() && commit) committed[page->key].insert(page->bytes);
  };
  const auto on_threads = [](const std::function<void(int)>& work) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
    for (std::thread& thread : threads) thread.join();
  };
  std::vector<Page> handed(kThreads * kRounds);
  on_threads([&](int t) {
    for (int round = 0; round < kRounds; ++round) {
      const std::string& sub = subs[(t + round) % subs.size()];
      std::unique_ptr<Directory> dir;
      if (!root->OpenSubdirectory(sub, &dir).ok()) {
        std::lock_guard<std::mutex> lock(mutex);
        faults.push_back("cannot open " + sub);
        return;
      }
      Page shared;
      if (round % 2 == 0) {
        start(root.get(), "", "SHARED.HTM", t * kRounds + round, &shared);
      } else {
        start(dir.get(), sub, "SHARED.HTM", t * kRounds + round, &shared);
      }
      finish(&shared, true);
      start(dir.get(), sub, "T" + std::to_string(t) + ".HTM",
            t * kRounds + round, &handed[t * kRounds + round]);
    }
  });
  on_threads([&](int t) {
    for (int round = 0; round < kRounds; ++round) {
      finish(&handed[(t + 1) % kThreads * kRounds + round], round % 3 != 0);
    }
  });
  EXPECT_EQ(faults, std::vector<std::string>());

  std::set<std::string> expected;
  for (const auto& [key, contents] : committed) expected.insert(key);
  std::set<std::string> found;
  for (const std::string& sub : {std::string(), subs[0], subs[1], subs[2]}) {
    const std::unique_ptr<Directory> dir = Open(sub);
    for (const std::string& name : Names(dir.get())) {
      if (sub.empty() && name.starts_with("d")) continue;
      const std::string key = sub + "/" + name;
      found.insert(key);
      std::string bytes;
      EXPECT_TRUE(ReadAll(dir.get(), name, &bytes).ok()) << key;
      EXPECT_EQ(committed[key].count(bytes), 1u) << key << ": " << bytes.size();
    }
  }
  EXPECT_EQ(found, expected);
}

TEST_F(PlatformContractTest, OpenFileRoomFallsByTheFilesKeptOpen) {
  constexpr std::uint64_t kFiles = 12;
  ASSERT_TRUE(scratch_.MakeFile("a.txt", "a"));
  const std::unique_ptr<Directory> dir = Open();
  const std::uint64_t before = platform_->OpenFileRoom();
  ASSERT_NE(before, UINT64_MAX) << "both systems know their limit";
  std::vector<std::unique_ptr<InputFile>> kept(kFiles);
  for (std::unique_ptr<InputFile>& file : kept) {
    ASSERT_TRUE(dir->OpenInput("a.txt", Follow::kNever, &file).ok());
  }
  const std::uint64_t after = platform_->OpenFileRoom();
  EXPECT_GT(after, 0u);
  if (OnWindows()) {
    GTEST_SKIP() << "Wine counts no handles of a process";
  }
  EXPECT_EQ(before - after, kFiles);
  kept.clear();
  EXPECT_EQ(platform_->OpenFileRoom(), before);
}

TEST_F(PlatformContractTest, EveryOpenTellsLackOfRoomApart) {
  if (OnWindows()) {
    GTEST_SKIP() << "Wine has no limit of handles to reach";
  }
  ASSERT_TRUE(scratch_.MakeDir("d"));
  ASSERT_TRUE(scratch_.MakeFile("a.txt", "a"));
  const std::unique_ptr<Directory> root = Open();
  const std::unique_ptr<Directory> sub = Open("d");
  ASSERT_NE(sub, nullptr);
  struct Case {
    const char* what;
    std::function<Status()> open;
  };
  const Case kCases[] = {
      {"a start directory",
       [&] {
         std::unique_ptr<Directory> out;
         return platform_->OpenDirectory(scratch_.root(), &out);
       }},
      {"a subdirectory",
       [&] {
         std::unique_ptr<Directory> out;
         return root->OpenSubdirectory("d", &out);
       }},
      {"the directory above",
       [&] {
         std::unique_ptr<Directory> out;
         return sub->OpenParent(&out);
       }},
      {"a file",
       [&] {
         std::unique_ptr<InputFile> out;
         return root->OpenInput("a.txt", Follow::kNever, &out);
       }},
      {"a page",
       [&] {
         std::unique_ptr<OutputFile> out;
         return root->CreateOutput("FILES.HTM", &out);
       }},
  };
  const std::string found = InChild([&] {
    std::string wrong;
#ifndef _WIN32
    // Each works with room, before and after: it is the room that is
    // missing in between. (The first time also spares a sanitizer's type
    // check, which needs a descriptor of its own, from running without
    // one.)
    const auto with_room = [&](const char* when) {
      for (const Case& c : kCases) {
        const Status status = c.open();
        if (!status.ok()) {
          wrong += c.what + (" with room " + (when + (": " + status.reason()))) +
                   "\n";
        }
      }
    };
    with_room("before");
    std::vector<int> taken;
    if (!TakeEveryDescriptor(&taken)) return std::string("limit");
    if (platform_->OpenFileRoom() != 0) wrong += "room left\n";
    for (const Case& c : kCases) {
      const Status status = c.open();
      if (!status.IsNoRoom()) wrong += c.what + (": " + status.reason()) + "\n";
    }
    for (int i = 0; i < 4 && !taken.empty(); ++i) {
      ::close(taken.back());
      taken.pop_back();
    }
    with_room("again");
#endif
    return wrong;
  });
  EXPECT_EQ(found, "");
}

// Touches `bytes` of the stack, so that a stack smaller than that faults.
[[gnu::noinline]] int UseStack(std::size_t bytes) {
  constexpr std::size_t kFrame = 4096;
  volatile char frame[kFrame];
  for (std::size_t i = 0; i < kFrame; i += 512) frame[i] = static_cast<char>(i);
  return bytes <= kFrame ? frame[0] : frame[512] + UseStack(bytes - kFrame);
}

TEST_F(PlatformContractTest, StartsAThreadWithTheStackAskedForAndWaitsForIt) {
  std::atomic<bool> ended{false};
  std::thread::id ran_on;
  std::unique_ptr<Thread> thread;
  // A sanitizer's frames are larger: less of the stack is used there.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr std::size_t kUsed = 64 << 10;
#else
  constexpr std::size_t kUsed = 192 << 10;
#endif
  const Status status = platform_->StartThread(
      256 << 10,
      [&] {
        UseStack(kUsed);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ran_on = std::this_thread::get_id();
        ended = true;
      },
      &thread);
  ASSERT_TRUE(status.ok()) << status.reason();
  thread.reset();
  EXPECT_TRUE(ended);
  EXPECT_NE(ran_on, std::this_thread::get_id());
}

TEST_F(PlatformContractTest, SmallStacksFitALimitOfAddressSpace) {
  if (OnWindows()) {
    GTEST_SKIP() << "Wine sets no limit of address space for a process";
  }
  const std::string found = InChild([&] {
    std::string wrong;
#ifndef _WIN32
    // Room for 64 threads of 256 KiB, not for 64 of the system's usual
    // 8 MiB, nor for one of 256 MiB.
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    if (pages == 0) return std::string("no size of the address space");
    const rlim_t room = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) +
                        (rlim_t{48} << 20);
    rlimit limit{room, room};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) return std::string("limit");
    std::atomic<bool> go{false};
    std::atomic<int> ran{0};
    std::vector<std::unique_ptr<Thread>> threads(64);
    for (std::unique_ptr<Thread>& thread : threads) {
      const Status status = platform_->StartThread(
          256 << 10,
          [&] {
            go.wait(false);
            UseStack(128 << 10);
            ++ran;
          },
          &thread);
      if (!status.ok()) {
        wrong += "small: " + status.reason() + "\n";
        break;
      }
    }
    std::unique_ptr<Thread> large;
    const Status status = platform_->StartThread(
        std::size_t{256} << 20, [] {}, &large);
    if (!status.IsNoRoom()) wrong += "large: " + status.reason() + "\n";
    go = true;
    go.notify_all();
    threads.clear();
    if (wrong.empty() && ran != 64) wrong += "not every thread ran\n";
#endif
    return wrong;
  });
  EXPECT_EQ(found, "");
}

}  // namespace
}  // namespace tabulon
