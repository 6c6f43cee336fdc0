// A tree on which every call that opens something fails for lack of room
// while another such call is under way, as files run short when several
// directories are read at once: with any job count, the run gives what one
// job gives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/fake_platform.h"
#include "driver/run.h"

namespace tabulon {
namespace {

#ifdef _WIN32
constexpr bool kThreadsStartSlowly = true;
#else
constexpr bool kThreadsStartSlowly = false;
#endif

using testing::FakePlatform;

// Room for one call at a time: a call of the kind `refusing` (or of a kind
// it begins) fails while another call of any kind is under way.
struct Room {
  std::string refusing;
  std::atomic<int> in_call = 0;
  std::atomic<int> refused = 0;

  Status Take(const std::string& what) {
    const bool crowded = in_call++ > 0;
    // Long enough for calls of other threads to overlap it.
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    const bool still = in_call.load() > 1;
    --in_call;
    if (what.rfind(refusing, 0) != 0 || (!crowded && !still)) {
      return Status::Ok();
    }
    ++refused;
    return Status::NoRoom("Too many open files");
  }
};

class CrowdedDirectory final : public Directory {
 public:
  CrowdedDirectory(std::unique_ptr<Directory> inner, Room* room)
      : inner_(std::move(inner)), room_(room) {}

  Status ReadNames(std::vector<SearchEntry>* entries) override {
    const Status room = room_->Take("list");
    return room.ok() ? inner_->ReadNames(entries) : room;
  }
  bool NamesOnly() const override { return inner_->NamesOnly(); }
  void FillDetails(SearchEntry* first, SearchEntry* last) override {
    inner_->FillDetails(first, last);
  }
  Status OpenSubdirectory(const std::string& name,
                          std::unique_ptr<Directory>* out) override {
    return Wrapped(room_->Take("open"), inner_->OpenSubdirectory(name, out),
                   out);
  }
  Status OpenParent(std::unique_ptr<Directory>* out) override {
    return Wrapped(room_->Take("open"), inner_->OpenParent(out), out);
  }
  Status OpenInput(const std::string& name, Follow follow,
                   std::unique_ptr<InputFile>* out) override {
    const Status room = room_->Take("read");
    return room.ok() ? inner_->OpenInput(name, follow, out) : room;
  }
  Status CreateOutput(const std::string& name, const OutputOptions& options,
                      std::unique_ptr<OutputFile>* out) override {
    const Status room =
        room_->Take(name == "FILES.JSON" ? "create json" : "create html");
    return room.ok() ? inner_->CreateOutput(name, options, out) : room;
  }

 private:
  Status Wrapped(const Status& room, Status opened,
                 std::unique_ptr<Directory>* out) {
    if (!room.ok()) {
      out->reset();
      return room;
    }
    if (opened.ok()) {
      *out = std::make_unique<CrowdedDirectory>(std::move(*out), room_);
    }
    return opened;
  }

  std::unique_ptr<Directory> inner_;
  Room* room_;
};

// The fake platform with a room of one call.
class CrowdedPlatform final : public Platform {
 public:
  CommandLine ReadCommandLine() override { return fake.ReadCommandLine(); }
  std::string CurrentDirectory() override { return fake.CurrentDirectory(); }
  char Separator() const override { return fake.Separator(); }
  Status OpenDirectory(const std::string& path,
                       std::unique_ptr<Directory>* out) override {
    const Status status = fake.OpenDirectory(path, out);
    if (status.ok()) {
      *out = std::make_unique<CrowdedDirectory>(std::move(*out), &room);
    }
    return status;
  }
  LocalDate Today() override { return fake.Today(); }
  std::uint64_t MonotonicMs() override { return fake.MonotonicMs(); }
  std::uint64_t ProcessorMs() override { return fake.ProcessorMs(); }
  std::optional<std::uint64_t> StorageReads() override {
    return fake.StorageReads();
  }
  // Memory, like files, is short while another thread asks for it.
  std::uint64_t FreeMemory() override {
    return room.Take("memory").ok() ? fake.FreeMemory() : 0;
  }
  int Processors() override { return fake.Processors(); }
  std::string ProgramName() override { return fake.ProgramName(); }
  std::uintptr_t CodeOffset(const void* at) override {
    return fake.CodeOffset(at);
  }
  void WriteStdout(std::string_view bytes) override { fake.WriteStdout(bytes); }
  void WriteStderr(std::string_view bytes) override { fake.WriteStderr(bytes); }
  bool StderrIsTerminal() override { return false; }
  int TerminalWidth() override { return 0; }

  FakePlatform fake;
  Room room;
};

// Twenty directories of a file and a description each, one of them with a
// subdirectory.
void Populate(FakePlatform* fake) {
  fake->AddFile("FILES.BBS", "A.TXT at the top\r\n");
  fake->AddFile("a.txt", "1");
  for (int i = 0; i < 20; ++i) {
    const std::string dir = "d" + std::to_string(i);
    fake->AddDir(dir);
    fake->AddFile(dir + "/x.txt", std::string(i + 1, 'x'));
    fake->AddFile(dir + "/FILES.BBS", "X.TXT described in " + dir + "\r\n");
  }
  fake->AddDir("d3/deeper");
  fake->AddFile("d3/deeper/y.txt", "yy");
}

TEST(WalkRoomTest, ShortOfRoomWithSeveralJobsGivesWhatOneJobGives) {
  struct Case {
    std::vector<std::string> args;
    const char* failure;  // one that fails on one job too
    int exit_code;
    const char* err;
  };
  const Case kCases[] = {
      {{"/", "/t"}, nullptr, 0, ""},
      {{"/", "/t", "--json"}, nullptr, 0, ""},
      {{"/"}, nullptr, 0, ""},
      {{"/", "--json"}, nullptr, 0, ""},
      {{"/", "/t"},
       "create:d5",
       2,
       "tabulon: cannot create listing '/d5/FILES.HTM': disk full\n"},
      {{"/"},
       "read:d7/FILES.BBS",
       2,
       "tabulon: cannot read description file '/d7/FILES.BBS': disk full\n"},
  };
  for (const Case& c : kCases) {
    for (const char* refusing :
         {"list", "open", "read", "create", "create json", "memory"}) {
      std::map<std::string, std::string> one_job;
      for (const int jobs : {1, 2, 8}) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : "list");
        SCOPED_TRACE(c.failure != nullptr ? c.failure : "");
        SCOPED_TRACE(std::string("no room to ") + refusing);
        SCOPED_TRACE(std::to_string(jobs) + " jobs");
        CrowdedPlatform platform;
        platform.room.refusing = refusing;
        Populate(&platform.fake);
        if (c.failure != nullptr)
          platform.fake.failures[c.failure] = "disk full";
        platform.fake.args = c.args;
        platform.fake.args.push_back("--jobs=" + std::to_string(jobs));
        EXPECT_EQ(tabulon::Run(platform), c.exit_code);
        EXPECT_EQ(platform.fake.err, c.err);
        if (jobs == 1) {
          EXPECT_EQ(platform.room.refused, 0);
          one_job = platform.fake.pages;
          EXPECT_FALSE(one_job.empty());
        } else {
          EXPECT_EQ(platform.fake.pages, one_job);
        }
        // Twenty directories read side by side: calls overlap. (In a list
        // no page is made while directories are read.) Wine starts threads
        // too slowly for them to be sure to.
        const bool tree = c.args.size() > 1 && c.args[1] == "/t";
        const bool json = c.args.back() == "--json";
        const std::string kind = refusing;
        if (jobs == 8 && (tree || kind.rfind("create", 0) != 0) &&
            (json || kind != "create json") && !kThreadsStartSlowly) {
          EXPECT_GT(platform.room.refused, 0);
        }
      }
    }
  }
}

// A description file that can't be opened for lack of room even when its
// directory is read alone: the directory is listed without descriptions and
// the tree below it is walked, in both modes and with any job count.
TEST(WalkRoomTest, ShortOfRoomAloneStillListsTheDirectoryAndItsTree) {
  for (const std::string at : {"", "d3/"}) {
    for (const bool tree : {false, true}) {
      for (const int jobs : {1, 8}) {
        SCOPED_TRACE("/" + at + (tree ? " /t, " : ", ") + std::to_string(jobs) +
                     " jobs");
        FakePlatform fake;
        Populate(&fake);
        fake.no_room.insert("read:" + at + "FILES.BBS");
        fake.args = {"/", "--jobs=" + std::to_string(jobs)};
        if (tree) fake.args.push_back("/t");
        EXPECT_EQ(tabulon::Run(fake), 2);
        EXPECT_EQ(fake.err, "tabulon: cannot read description file '/" + at +
                                "FILES.BBS': Too many open files\n");
        const std::string& top = fake.pages[""];
        const std::string& d3 = fake.pages[tree ? "d3" : ""];
        const std::string& deeper = fake.pages[tree ? "d3/deeper" : ""];
        EXPECT_NE(top.find(">a.txt</a>"), std::string::npos) << top;
        EXPECT_EQ(top.find("at the top") == std::string::npos, at.empty());
        EXPECT_NE(d3.find(">x.txt</a>"), std::string::npos) << d3;
        EXPECT_EQ(d3.find("described in d3") == std::string::npos, !at.empty());
        EXPECT_NE(deeper.find(">y.txt</a>"), std::string::npos) << deeper;
        EXPECT_NE(fake.pages[tree ? "d19" : ""].find("described in d19"),
                  std::string::npos);
      }
    }
  }
}

// Memory for one record of each description file, even read alone: each
// is told as cut short, once, in walk order, and its page keeps that
// record, with any job count.
TEST(WalkRoomTest, DescriptionFileCutShortAloneIsToldOnceAndKeepsWhatWasRead) {
  for (const bool tree : {false, true}) {
    for (const int jobs : {1, 8}) {
      SCOPED_TRACE(std::string(tree ? "/t, " : "") + std::to_string(jobs) +
                   " jobs");
      FakePlatform fake;
      fake.free_memory = [] { return std::uint64_t{8192 + 1}; };
      std::string cut;
      for (const std::string dir : {"/", "/a/", "/b/"}) {
        if (dir != "/") fake.AddDir(dir.substr(1, 1));
        fake.AddFile(dir.substr(1) + "FILES.BBS", "X first\r\nY second\r\n");
        fake.AddFile(dir.substr(1) + "x", "x");
        fake.AddFile(dir.substr(1) + "y", "y");
        cut += "tabulon: description file cut short '" + dir +
               "FILES.BBS': not enough memory\n";
      }
      fake.args = {"/", "--jobs=" + std::to_string(jobs)};
      if (tree) fake.args.push_back("/t");
      EXPECT_EQ(tabulon::Run(fake), 2);
      EXPECT_EQ(fake.err, cut);
      const std::string& b = fake.pages[tree ? "b" : ""];
      EXPECT_NE(b.find("first"), std::string::npos) << b;
      EXPECT_EQ(b.find("second"), std::string::npos) << b;
    }
  }
}

// A directory that can't be opened for lack of room even when read alone
// (its attempts beside others read again) is told once, as with one job.
TEST(WalkRoomTest, DirectoryThatCannotBeOpenedAloneIsToldOnce) {
  for (const bool tree : {false, true}) {
    for (const int jobs : {1, 8}) {
      SCOPED_TRACE(std::string(tree ? "/t, " : "") + std::to_string(jobs) +
                   " jobs");
      // Calls slow enough to overlap, none refused for being crowded.
      CrowdedPlatform platform;
      platform.room.refusing = "nothing";
      Populate(&platform.fake);
      platform.fake.no_room.insert("open:d3");
      platform.fake.args = {"/", "--jobs=" + std::to_string(jobs)};
      if (tree) platform.fake.args.push_back("/t");
      EXPECT_EQ(tabulon::Run(platform), 2);
      EXPECT_EQ(platform.fake.err,
                "tabulon: cannot read directory '/d3/': Too many open files\n");
      const std::string& d19 = platform.fake.pages[tree ? "d19" : ""];
      EXPECT_NE(d19.find("described in d19"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace tabulon
