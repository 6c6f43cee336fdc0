#include "driver/walk.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "descriptions/description_list.h"
#include "descriptions/loader.h"
#include "descriptions/lookup.h"
#include "html/page.h"
#include "html/row.h"
#include "html/text.h"

namespace tabulon {
namespace {

constexpr std::size_t kFlushSize = 1 << 20;
// Directories held open at once; deeper ones are reopened from an ancestor,
// so a chain of any depth is walked within the open-file limit.
constexpr std::size_t kOpenDirectories = 128;

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// A directory of at least this many entries has its rows written on a
// thread of their own while the entries are described, a block at a time.
constexpr std::size_t kDescribedBeside = 1024;
constexpr std::size_t kDescribeBlock = 1024;

// The rows of one directory: its description file read and indexed, then
// the row of each entry once the entry is described. Where describing takes
// a system call per entry, this can run beside it, so that reading the
// descriptions and writing the markup add no time to the file system's.
class RowWriter {
 public:
  RowWriter(Directory& dir, const std::vector<SearchEntry>& entries,
            const RowContext& context, std::size_t longest_name,
            PageWriter* page, WalkState* state)
      : dir_(dir),
        entries_(entries),
        context_(context),
        longest_name_(longest_name),
        page_(page),
        state_(*state) {}
  RowWriter(const RowWriter&) = delete;
  RowWriter& operator=(const RowWriter&) = delete;
  // Only when unwinding is the thread still running here.
  ~RowWriter() {
    if (thread_.joinable()) {
      described_.store(kAbandoned, std::memory_order_release);
      described_.notify_one();
      thread_.join();
    }
  }

  // Runs the rows on a thread of their own; without a thread to be had,
  // Finish runs them.
  void Start() {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
    }
  }
  bool started() const { return thread_.joinable(); }

  // Entries [0, count) are described.
  void Described(std::size_t count) {
    described_.store(count, std::memory_order_release);
    if (started()) described_.notify_one();
  }

  // Writes every row, then passes on what went wrong there.
  void Finish() {
    if (thread_.joinable()) {
      thread_.join();
    } else {
      Run();
    }
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  }

  // How reading the description file went; ok when there is none.
  const Status& description_read() const { return description_read_; }

 private:
  static constexpr std::size_t kAbandoned = SIZE_MAX;

  void Run() noexcept {
    try {
      WriteRows();
    } catch (...) {
      error_ = std::current_exception();
    }
  }

  void WriteRows() {
    DescriptionList list([this] { return state_.platform.FreeMemory(); });
    if (!context_.description_file.empty()) {
      std::unique_ptr<InputFile> file;
      description_read_ = dir_.OpenInput(std::string(context_.description_file),
                                         Follow::kInsideTree, &file);
      if (description_read_.ok()) description_read_ = LoadDescriptions(*file, &list);
    }
    const DescriptionLookup lookup(list, longest_name_);
    RowContext context = context_;
    context.list = &list;
    context.lookup = &lookup;
    const std::size_t count = entries_.size();
    std::size_t done = 0;
    while (done < count) {
      const std::size_t ready = described_.load(std::memory_order_acquire);
      if (ready == kAbandoned) return;
      if (ready == done) {
        described_.wait(done, std::memory_order_acquire);
        continue;
      }
      for (; done < ready; ++done) {
        const SearchEntry& entry = entries_[done];
        if (entry.Gone || entry.Name[0] == '.') continue;
        WriteRow(entry, context, &state_.totals, &page_->buffer());
        page_->Flush();
      }
    }
  }

  Directory& dir_;
  const std::vector<SearchEntry>& entries_;
  const RowContext context_;
  const std::size_t longest_name_;
  PageWriter* const page_;
  WalkState& state_;
  std::atomic<std::size_t> described_{0};
  std::thread thread_;
  std::exception_ptr error_;
  Status description_read_;
};

struct Frame {
  std::string name;  // empty for the start directory
  std::unique_ptr<Directory> dir;
  std::vector<std::string> subdirectories;
  std::size_t next = 0;
  std::size_t path_length = 0;
  std::size_t link_length = 0;
};

class Walker {
 public:
  explicit Walker(WalkState* state)
      : state_(*state),
        settings_(state->settings),
        separator_(state->platform.Separator()) {}

  void Walk(std::unique_ptr<Directory> root, const std::string& path) {
    path_ = path;
    AppendUrl(settings_.URL, &link_);
    std::vector<Frame> frames(1);
    frames[0].dir = std::move(root);
    frames[0].path_length = path_.size();
    frames[0].link_length = link_.size();
    Visit(&frames[0]);
    while (!frames.empty()) {
      Frame& top = frames.back();
      if (top.next == top.subdirectories.size()) {
        frames.pop_back();
        continue;
      }
      path_.resize(top.path_length);
      link_.resize(top.link_length);
      if (!top.dir && !Reopen(&frames)) {
        top.next = top.subdirectories.size();
        continue;
      }
      Frame child;
      child.name = std::move(top.subdirectories[top.next++]);
      path_.append(child.name).push_back(separator_);
      AppendLinkName(child.name, &link_);
      link_.push_back('/');
      child.path_length = path_.size();
      child.link_length = link_.size();
      const Status status = top.dir->OpenSubdirectory(child.name, &child.dir);
      if (!status.ok()) {
        state_.reporter.Report("cannot read directory", path_, status.reason());
        continue;
      }
      Visit(&child);
      frames.push_back(std::move(child));
      if (frames.size() > kOpenDirectories) {
        frames[frames.size() - kOpenDirectories].dir.reset();
      }
    }
  }

 private:
  // Opens the directory of the last frame again, from the nearest ancestor
  // that is still open. Of the directories opened on the way, those near the
  // top of the stack stay open, so going back up needs no new reopening for
  // a while.
  bool Reopen(std::vector<Frame>* frames) {
    std::vector<Frame>& f = *frames;
    std::size_t open = f.size() - 1;
    while (!f[open].dir) --open;
    std::unique_ptr<Directory> passing;
    Directory* from = f[open].dir.get();
    for (std::size_t i = open + 1; i < f.size(); ++i) {
      std::unique_ptr<Directory> dir;
      const Status status = from->OpenSubdirectory(f[i].name, &dir);
      if (!status.ok()) {
        state_.reporter.Report("cannot read directory",
                               std::string_view(path_).substr(0, f[i].path_length),
                               status.reason());
        return false;
      }
      if (i + kOpenDirectories >= f.size()) {
        f[i].dir = std::move(dir);
        from = f[i].dir.get();
      } else {
        passing = std::move(dir);
        from = passing.get();
      }
    }
    return true;
  }

  void Visit(Frame* frame) {
    Directory& dir = *frame->dir;
    std::vector<SearchEntry> entries;
    const Status listed = dir.ReadNames(&entries);
    if (!listed.ok()) {
      state_.reporter.Report("cannot read directory", path_, listed.reason());
    }

    std::optional<PageWriter> own_page;
    PageWriter* page = state_.list_page;
    if (settings_.RunMode == mTree) {
      page = nullptr;
      std::unique_ptr<OutputFile> file;
      const Status created = dir.CreateOutput("FILES.HTM", &file);
      if (created.ok()) {
        own_page.emplace(std::move(file));
        page = &*own_page;
        WriteHeader(DirectoryTitle(path_, separator_), &page->buffer());
      } else {
        state_.reporter.Report("cannot create listing", path_ + "FILES.HTM",
                               created.reason());
      }
      state_.totals = Totals();
    }

    // Names are all the rows need until the entries are described, so the
    // description file is found now; without a page there is nothing to
    // describe.
    const SearchEntry* description_file =
        page != nullptr ? FindDescriptionFile(entries) : nullptr;
    RowContext context;
    context.RunMode = settings_.RunMode;
    if (settings_.RunMode == mList || !settings_.URL.empty()) {
      context.file_link_prefix = link_;
    }
    std::string description_name;
    if (description_file != nullptr) description_name = description_file->Name;
    context.description_file = description_name;
    std::size_t longest_name = 0;
    for (const SearchEntry& entry : entries) {
      longest_name = std::max(longest_name, entry.Name.size());
    }
    RowWriter rows(dir, entries, context, longest_name, page, &state_);

    if (page != nullptr && dir.NamesOnly() &&
        entries.size() >= kDescribedBeside) {
      rows.Start();
    }
    DescribeAll(dir, &entries, &rows);
    if (state_.progress != nullptr) {
      std::int64_t files = 0;
      for (const SearchEntry& entry : entries) {
        if (!entry.IsDirectory() && !entry.Gone && entry.Name[0] != '.') {
          ++files;
        }
      }
      state_.progress->Directory(path_, files);
    }
    if (page != nullptr) rows.Finish();
    const Status read = rows.description_read();
    if (!read.ok() && !read.IsNotFound()) {
      state_.reporter.Report("cannot read description file",
                             path_ + description_name, read.reason());
    }

    if (own_page) {
      WriteFooter(state_.totals, state_.platform.Today(), &own_page->buffer());
      const Status closed = own_page->Close();
      if (!closed.ok()) {
        state_.reporter.Report("cannot write listing", path_ + "FILES.HTM",
                               closed.reason());
      }
    }

    for (SearchEntry& entry : entries) {
      if (entry.IsDirectory() && !entry.IsLink() && !entry.Gone &&
          entry.Name[0] != '.') {
        frame->subdirectories.push_back(std::move(entry.Name));
      }
    }
  }

  // Completes the entries a block at a time, handing each block to the rows
  // as it is done.
  static void DescribeAll(Directory& dir, std::vector<SearchEntry>* entries,
                          RowWriter* rows) {
    if (!dir.NamesOnly()) {
      rows->Described(entries->size());
      return;
    }
    SearchEntry* const first = entries->data();
    const std::size_t count = entries->size();
    std::size_t done = 0;
    while (done < count) {
      const std::size_t next =
          rows->started() ? std::min(count, done + kDescribeBlock) : count;
      dir.FillDetails(first + done, first + next);
      done = next;
      rows->Described(done);
    }
  }

  WalkState& state_;
  const RunSettings& settings_;
  const char separator_;
  std::string path_;  // native path of the directory being visited
  std::string link_;  // converted base address and relative directory
};

}  // namespace

PageWriter::PageWriter(std::unique_ptr<OutputFile> file)
    : file_(std::move(file)) {}

void PageWriter::Flush(bool always) {
  if (buffer_.size() < kFlushSize && !always) return;
  if (status_.ok()) status_ = file_->Write(buffer_);
  buffer_.clear();
}

Status PageWriter::Close() {
  Flush(true);
  if (!status_.ok()) return status_;
  return file_->Commit();
}

std::string DirectoryTitle(std::string_view path, char separator) {
  std::size_t n = path.size();
  if (n > 0 && path[n - 1] == separator) --n;
  const std::size_t k = path.substr(0, n).rfind(separator);
  return std::string(k == std::string_view::npos ? path.substr(0, n)
                                                 : path.substr(k + 1, n - k - 1));
}

const SearchEntry* FindDescriptionFile(const std::vector<SearchEntry>& entries) {
  const SearchEntry* found = nullptr;
  for (const SearchEntry& entry : entries) {
    if (entry.Name == "FILES.BBS") return &entry;
    if (found == nullptr && EqualsIgnoringAsciiCase(entry.Name, "FILES.BBS")) {
      found = &entry;
    }
  }
  return found;
}

void WalkDirectory(std::unique_ptr<Directory> root, const std::string& path,
                   WalkState* state) {
  Walker(state).Walk(std::move(root), path);
}

}  // namespace tabulon
