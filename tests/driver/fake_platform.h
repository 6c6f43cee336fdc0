#ifndef TABULON_TESTS_DRIVER_FAKE_PLATFORM_H_
#define TABULON_TESTS_DRIVER_FAKE_PLATFORM_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tabulon::testing {

// An in-memory tree behind the platform interface: entries come back in the
// order they were added, the date is fixed, and any one operation on any
// path can be made to fail.
class FakePlatform final : public Platform {
 public:
  struct Node {
    SearchEntry entry;
    std::string content;
    std::vector<std::unique_ptr<Node>> children;
    Node* parent = nullptr;
    bool foreign = false;  // owned by a user other than the run's
    Node* Find(const std::string& name);
  };

  FakePlatform();
  ~FakePlatform() override;

  // Paths are "/"-separated below the root, e.g. "a/b".
  void AddDir(const std::string& path, LocalDate date = {2020, 1, 2});
  void AddFile(const std::string& path, const std::string& content,
               LocalDate date = {2020, 1, 2});
  Node* At(const std::string& path);
  // Adds an entry below `parent` (nullptr: the root) without a path lookup.
  Node* AddChild(Node* parent, const std::string& name, bool directory);

  // Operations that fail: "list:a/b", "open:a/b", "create:a/b", "write:a/b",
  // "read:a/b/FILES.BBS"; "exhaust:a/b" runs out of memory reading a/b;
  // "up:a/b": the way up from a/b is not the way it was reached (moved).
  // Set before a run; read by every thread.
  std::map<std::string, std::string> failures;
  // Operations that fail for lack of room ("Too many open files"), named
  // the same way.
  std::set<std::string> no_room;
  // Committed pages by directory path ("" for the root).
  std::map<std::string, std::string> pages;
  // Committed FILES.JSON, the same way.
  std::map<std::string, std::string> json_pages;
  // Outputs made, and those of them under a name that a directory listing
  // shows.
  std::atomic<int> outputs{0};
  std::atomic<int> visible_outputs{0};
  // Someone writing into a file while the run reads it: after `after_reads`
  // reads of the file at the path (say "a/FILES.HTM"), what is read from the
  // same place on comes from `content`. Set before a run.
  struct Rewrite {
    int after_reads = 0;
    std::string content;
  };
  std::map<std::string, Rewrite> rewrites;
  std::string err;
  std::string std_out;  // standard output
  // Paths cost time linear in the depth; a very deep tree can do without.
  bool track_paths = true;
  std::atomic<int> open_directories = 0;
  std::atomic<int> directories_opened = 0;  // every open, up or down
  int most_open_directories = 0;
  // Guards what directories on several threads change.
  std::mutex mutex;

  // Directories hand over names first and details on FillDetails, as on
  // POSIX, in batches as they read them; the entries at these paths vanish
  // in between.
  bool details_later = false;
  std::set<std::string> vanishing;

  std::vector<std::string> args;

  CommandLine ReadCommandLine() override {
    CommandLine line;
    line.args = args;
    return line;
  }
  std::string CurrentDirectory() override { return "/"; }
  char Separator() const override { return '/'; }
  Status OpenDirectory(const std::string& path,
                       std::unique_ptr<Directory>* out) override;
  LocalDate Today() override { return {2026, 12, 7}; }
  std::uint64_t MonotonicMs() override { return now_ms += tick_ms; }
  std::uint64_t ProcessorMs() override {
    return processor_ms += processor_tick_ms;
  }
  std::optional<std::uint64_t> StorageReads() override {
    if (!sees_storage_reads) return std::nullopt;
    return storage_reads += storage_reads_tick;
  }
  std::uint64_t FreeMemory() override { return free_memory(); }
  // The free-memory figure, set before a run; called on any thread.
  std::function<std::uint64_t()> free_memory = [] { return 1ull << 40; };
  int Processors() override { return processors; }
  int processors = 2;
  std::string ProgramName() override { return "tabulon"; }
  std::uintptr_t CodeOffset(const void*) override { return 0; }
  void WriteStdout(std::string_view bytes) override { std_out.append(bytes); }
  void WriteStderr(std::string_view bytes) override { err.append(bytes); }
  bool StderrIsTerminal() override { return terminal; }
  int TerminalWidth() override { return terminal_width; }

  // Standard error as a terminal of this width, and the clock it reads.
  bool terminal = false;
  int terminal_width = 0;
  std::atomic<std::uint64_t> now_ms = 0;
  std::uint64_t tick_ms = 0;  // added at every reading; set before a run
  // The processor time used, the same way: a tick well below the clock's
  // times the processors makes a run whose threads wait.
  std::atomic<std::uint64_t> processor_ms = 0;
  std::uint64_t processor_tick_ms = 0;
  // The blocks read from a disk, the same way, where the system tells.
  bool sees_storage_reads = false;
  std::atomic<std::uint64_t> storage_reads = 0;
  std::uint64_t storage_reads_tick = 0;
  // Threads started through StartThread.
  std::atomic<int> threads_started = 0;
  Status StartThread(std::size_t stack_bytes, std::function<void()> body,
                     std::unique_ptr<Thread>* out) override {
    const Status started =
        Platform::StartThread(stack_bytes, std::move(body), out);
    if (started.ok()) ++threads_started;
    return started;
  }

  // Fails with the configured reason when `what` is listed.
  Status Check(const std::string& what) const;
  // `depth`: names below the start directory, which has no way up.
  std::unique_ptr<Directory> NewDirectory(Node* node, const std::string& path,
                                          int depth);

 private:
  Node root_;
};

// A directory that passes every call on to another: tests derive from it
// to watch or hold back the calls they care about.
class ForwardingDirectory : public Directory {
 public:
  explicit ForwardingDirectory(std::unique_ptr<Directory> inner)
      : inner_(std::move(inner)) {}
  Status ReadNames(std::vector<SearchEntry>* entries) override {
    return inner_->ReadNames(entries);
  }
  Status ReadNamesInBatches(
      std::size_t first_batch, std::size_t batch,
      const std::function<void(std::vector<SearchEntry>&&)>& take) override {
    return inner_->ReadNamesInBatches(first_batch, batch, take);
  }
  bool NamesOnly() const override { return inner_->NamesOnly(); }
  void FillDetails(SearchEntry* first, SearchEntry* last) override {
    inner_->FillDetails(first, last);
  }
  Status DetailsFailure(int code) const override {
    return inner_->DetailsFailure(code);
  }
  Status OpenSubdirectory(const std::string& name,
                          std::unique_ptr<Directory>* out) override {
    return inner_->OpenSubdirectory(name, out);
  }
  Status OpenParent(std::unique_ptr<Directory>* out) override {
    return inner_->OpenParent(out);
  }
  Status OpenInput(const std::string& name, Follow follow,
                   std::unique_ptr<InputFile>* out) override {
    return inner_->OpenInput(name, follow, out);
  }
  using Directory::CreateOutput;
  Status CreateOutput(const std::string& name, const OutputOptions& options,
                      std::unique_ptr<OutputFile>* out) override {
    return inner_->CreateOutput(name, options, out);
  }

 private:
  std::unique_ptr<Directory> inner_;
};

}  // namespace tabulon::testing

#endif  // TABULON_TESTS_DRIVER_FAKE_PLATFORM_H_
