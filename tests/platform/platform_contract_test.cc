// What every backend promises the core, checked on real files of a fresh
// scratch directory through the platform interface alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/scratch_dir.h"

namespace tabulon {
namespace {

// The whole file `name`, read a block at a time through OpenInput.
Status ReadAll(Directory* dir, const std::string& name, std::string* bytes) {
  std::unique_ptr<InputFile> file;
  Status status = dir->OpenInput(name, Follow::kInsideTree, &file);
  if (!status.ok()) return status;
  bytes->clear();
  char block[1 << 16];
  std::size_t got = 0;
  while ((status = file->Read(block, sizeof block, &got)).ok() && got > 0) {
    bytes->append(block, got);
  }
  return status;
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

TEST_F(PlatformContractTest, DescribesWhatWasListedAndMarksWhatVanished) {
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

}  // namespace
}  // namespace tabulon
