#include "driver/walk.h"

#include <algorithm>
#include <optional>

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
    const Status listed = dir.List(&entries);
    if (!listed.ok()) {
      state_.reporter.Report("cannot read directory", path_, listed.reason());
    }
    if (state_.progress != nullptr) {
      std::int64_t files = 0;
      for (const SearchEntry& entry : entries) {
        if (!entry.IsDirectory() && !entry.Name.empty() &&
            entry.Name[0] != '.') {
          ++files;
        }
      }
      state_.progress->Directory(path_, files);
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

    DescriptionList list([this] { return state_.platform.FreeMemory(); });
    // Without a page to write there is nothing to describe.
    const SearchEntry* description_file =
        page != nullptr ? FindDescriptionFile(entries) : nullptr;
    std::string_view description_name;
    if (description_file != nullptr) {
      description_name = description_file->Name;
      std::string bytes;
      const Status read = dir.ReadWholeFile(description_file->Name, &bytes);
      if (read.ok()) {
        LoadDescriptions(bytes, &list);
      } else if (!read.IsNotFound()) {
        state_.reporter.Report("cannot read description file",
                               path_ + description_file->Name, read.reason());
      }
    }

    if (page != nullptr) {
      std::size_t longest_name = 0;
      for (const SearchEntry& entry : entries) {
        longest_name = std::max(longest_name, entry.Name.size());
      }
      const DescriptionLookup lookup(list, longest_name);
      RowContext context;
      context.RunMode = settings_.RunMode;
      if (settings_.RunMode == mList || !settings_.URL.empty()) {
        context.file_link_prefix = link_;
      }
      context.description_file = description_name;
      context.list = &list;
      context.lookup = &lookup;
      for (const SearchEntry& entry : entries) {
        if (entry.Name.empty() || entry.Name[0] == '.') continue;
        WriteRow(entry, context, &state_.totals, &page->buffer());
        page->Flush();
      }
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
      if (entry.IsDirectory() && !entry.IsLink() && !entry.Name.empty() &&
          entry.Name[0] != '.') {
        frame->subdirectories.push_back(std::move(entry.Name));
      }
    }
  }

  WalkState& state_;
  const RunSettings& settings_;
  const char separator_;
  std::string path_;  // native path of the directory being visited
  std::string link_;  // converted base address and relative directory
};

}  // namespace

void Reporter::Report(std::string_view what, std::string_view path,
                      std::string_view reason) {
  ++count_;
  std::string line = "tabulon: ";
  line.append(what).append(" '");
  // A name may hold line ends and terminal escapes: shown as \xNN, so that
  // a name can neither split a report nor forge another one.
  for (const char c : path) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      line.append("\\x").push_back(kDigits[b >> 4]);
      line.push_back(kDigits[b & 15]);
    } else {
      line.push_back(c);
    }
  }
  line.append("': ").append(reason);
  line.push_back('\n');
  if (progress_ != nullptr) progress_->Clear();
  platform_.WriteStderr(line);
}

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
