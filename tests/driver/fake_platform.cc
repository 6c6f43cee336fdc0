#include "driver/fake_platform.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

namespace tabulon::testing {
namespace {

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

class FakeOutput final : public OutputFile {
 public:
  FakeOutput(FakePlatform* platform, std::string dir, bool json)
      : platform_(platform), dir_(std::move(dir)), json_(json) {}
  Status Write(std::string_view bytes) override {
    if (!status_.ok()) return status_;
    status_ = platform_->Check("write:" + dir_);
    if (status_.ok()) bytes_.append(bytes);
    return status_;
  }
  Status Commit() override {
    if (!status_.ok()) return status_;
    std::lock_guard<std::mutex> lock(platform_->mutex);
    (json_ ? platform_->json_pages : platform_->pages)[dir_] = bytes_;
    return Status::Ok();
  }

 private:
  FakePlatform* platform_;
  std::string dir_;
  bool json_;
  std::string bytes_;
  Status status_;
};

// Reads a file's content as it was when opened, or as a rewrite makes it
// once it is due.
class FakeInput final : public InputFile {
 public:
  FakeInput(std::string content, bool owned,
            std::optional<FakePlatform::Rewrite> rewrite)
      : content_(std::move(content)),
        owned_(owned),
        rewrite_(std::move(rewrite)) {}
  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    if (rewrite_ && reads_++ == rewrite_->after_reads) {
      content_ = std::move(rewrite_->content);
      rewrite_.reset();
    }
    *got =
        std::min(size, content_.size() - std::min(position_, content_.size()));
    if (*got > 0) std::memcpy(buffer, content_.data() + position_, *got);
    position_ += *got;
    return Status::Ok();
  }
  Status Rewind() override {
    position_ = 0;
    return Status::Ok();
  }
  bool OwnedByRun() const override { return owned_; }

 private:
  std::string content_;
  bool owned_;
  std::optional<FakePlatform::Rewrite> rewrite_;
  int reads_ = 0;
  std::size_t position_ = 0;
};

class FakeDirectory final : public Directory {
 public:
  FakeDirectory(FakePlatform* platform, FakePlatform::Node* node,
                std::string path, int depth)
      : platform_(platform),
        node_(node),
        path_(std::move(path)),
        depth_(depth) {
    ++platform_->directories_opened;
    const int open = ++platform_->open_directories;
    std::lock_guard<std::mutex> lock(platform_->mutex);
    platform_->most_open_directories =
        std::max(platform_->most_open_directories, open);
  }
  ~FakeDirectory() override { --platform_->open_directories; }

  Status ReadNames(std::vector<SearchEntry>* entries) override {
    if (platform_->failures.count("exhaust:" + path_) != 0) {
      throw std::bad_alloc();
    }
    const Status status = platform_->Check("list:" + path_);
    if (!status.ok()) return status;
    for (const auto& child : node_->children) {
      if (platform_->details_later) {
        entries->emplace_back().Name = child->entry.Name;
      } else {
        entries->push_back(child->entry);
      }
    }
    return Status::Ok();
  }
  // Each batch goes on as soon as its names are read, so that its details
  // may be filled in before the next names are.
  Status ReadNamesInBatches(
      std::size_t first_batch, std::size_t batch,
      const std::function<void(std::vector<SearchEntry>&&)>& take) override {
    if (platform_->failures.count("exhaust:" + path_) != 0) {
      throw std::bad_alloc();
    }
    const Status status = platform_->Check("list:" + path_);
    if (!status.ok()) return status;
    std::vector<SearchEntry> entries;
    std::size_t limit = first_batch;
    for (const auto& child : node_->children) {
      if (platform_->details_later) {
        entries.emplace_back().Name = child->entry.Name;
      } else {
        entries.push_back(child->entry);
      }
      if (entries.size() == limit) {
        limit = batch;
        take(std::move(entries));
        entries = std::vector<SearchEntry>();
      }
    }
    if (!entries.empty()) take(std::move(entries));
    return Status::Ok();
  }
  bool NamesOnly() const override { return platform_->details_later; }
  void FillDetails(SearchEntry* first, SearchEntry* last) override {
    for (SearchEntry* entry = first; entry != last; ++entry) {
      const FakePlatform::Node* child = node_->Find(entry->Name);
      const bool gone = child == nullptr || platform_->vanishing.count(
                                                Join(path_, entry->Name)) > 0;
      if (gone) {
        entry->Gone = true;
      } else {
        // Only the details: other threads may be reading the names.
        entry->Attr = child->entry.Attr;
        entry->Size = child->entry.Size;
        entry->Time = child->entry.Time;
        entry->Modified = child->entry.Modified;
      }
    }
  }
  Status OpenSubdirectory(const std::string& name,
                          std::unique_ptr<Directory>* out) override {
    FakePlatform::Node* child = node_->Find(name);
    if (child == nullptr) return Status::NotFound("gone");
    if (platform_->track_paths) {
      const Status status = platform_->Check("open:" + Join(path_, name));
      if (!status.ok()) return status;
    }
    *out = platform_->NewDirectory(
        child, platform_->track_paths ? Join(path_, name) : std::string(),
        depth_ + 1);
    return Status::Ok();
  }
  Status OpenParent(std::unique_ptr<Directory>* out) override {
    if (depth_ == 0) return Status::Failed("the way up is unknown");
    if (platform_->track_paths) {
      const Status status = platform_->Check("up:" + path_);
      if (!status.ok()) return status;
    }
    const std::size_t slash = path_.rfind('/');
    *out = platform_->NewDirectory(
        node_->parent,
        slash == std::string::npos ? std::string() : path_.substr(0, slash),
        depth_ - 1);
    return Status::Ok();
  }
  Status OpenInput(const std::string& name, Follow,
                   std::unique_ptr<InputFile>* out) override {
    FakePlatform::Node* child = node_->Find(name);
    if (child == nullptr) return Status::NotFound("gone");
    const Status status = platform_->Check("read:" + Join(path_, name));
    if (!status.ok()) return status;
    if (child->entry.IsDirectory()) return Status::Failed("Is a directory");
    const auto rewrite = platform_->rewrites.find(Join(path_, name));
    *out = std::make_unique<FakeInput>(
        child->content, !child->foreign,
        rewrite == platform_->rewrites.end()
            ? std::nullopt
            : std::optional<FakePlatform::Rewrite>(rewrite->second));
    return Status::Ok();
  }
  Status CreateOutput(const std::string& name, const OutputOptions& options,
                      std::unique_ptr<OutputFile>* out) override {
    const Status status = platform_->Check("create:" + path_);
    if (!status.ok()) return status;
    ++platform_->outputs;
    if (!options.unseen) ++platform_->visible_outputs;
    *out = std::make_unique<FakeOutput>(platform_, path_, name == "FILES.JSON");
    return Status::Ok();
  }

 private:
  FakePlatform* platform_;
  FakePlatform::Node* node_;
  std::string path_;
  int depth_;
};

}  // namespace

FakePlatform::Node* FakePlatform::Node::Find(const std::string& name) {
  for (auto& child : children) {
    if (child->entry.Name == name) return child.get();
  }
  return nullptr;
}

FakePlatform::FakePlatform() { root_.entry.Attr = kAttrDirectory; }

// Tears the tree down without recursion: a chain of 100,000 directories
// would overflow a one-megabyte stack.
FakePlatform::~FakePlatform() {
  std::vector<std::unique_ptr<Node>> pending;
  for (auto& child : root_.children) pending.push_back(std::move(child));
  while (!pending.empty()) {
    std::unique_ptr<Node> node = std::move(pending.back());
    pending.pop_back();
    for (auto& child : node->children) pending.push_back(std::move(child));
  }
}

FakePlatform::Node* FakePlatform::At(const std::string& path) {
  Node* node = &root_;
  std::size_t start = 0;
  while (node != nullptr && start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    node = node->Find(path.substr(start, end - start));
    start = end + 1;
  }
  return node;
}

void FakePlatform::AddDir(const std::string& path, LocalDate date) {
  AddFile(path, "", date);
  At(path)->entry.Attr = kAttrDirectory;
}

void FakePlatform::AddFile(const std::string& path, const std::string& content,
                           LocalDate date) {
  const std::size_t slash = path.rfind('/');
  Node* parent =
      slash == std::string::npos ? &root_ : At(path.substr(0, slash));
  auto node = std::make_unique<Node>();
  node->entry.Name = slash == std::string::npos ? path : path.substr(slash + 1);
  node->entry.Size = static_cast<std::int64_t>(content.size());
  node->entry.Time = date;
  node->content = content;
  node->parent = parent;
  parent->children.push_back(std::move(node));
}

FakePlatform::Node* FakePlatform::AddChild(Node* parent,
                                           const std::string& name,
                                           bool directory) {
  if (parent == nullptr) parent = &root_;
  auto node = std::make_unique<Node>();
  node->entry.Name = name;
  node->entry.Time = {2020, 1, 2};
  node->parent = parent;
  if (directory) node->entry.Attr = kAttrDirectory;
  parent->children.push_back(std::move(node));
  return parent->children.back().get();
}

Status FakePlatform::Check(const std::string& what) const {
  if (no_room.count(what) != 0) return Status::NoRoom("Too many open files");
  const auto it = failures.find(what);
  return it == failures.end() ? Status::Ok() : Status::Failed(it->second);
}

Status FakePlatform::OpenDirectory(const std::string& path,
                                   std::unique_ptr<Directory>* out) {
  // "/" or a directory below it, as "/a/b" (its pages keyed "a/b").
  if (path.empty() || path[0] != '/') {
    return Status::NotFound("No such file or directory");
  }
  std::string below = path.substr(1);
  if (!below.empty() && below.back() == '/') below.pop_back();
  Node* node = At(below);
  if (node == nullptr || (node != &root_ && !node->entry.IsDirectory())) {
    return Status::NotFound("No such file or directory");
  }
  *out = NewDirectory(node, below, 0);
  return Status::Ok();
}

std::unique_ptr<Directory> FakePlatform::NewDirectory(Node* node,
                                                      const std::string& path,
                                                      int depth) {
  return std::make_unique<FakeDirectory>(this, node, path, depth);
}

}  // namespace tabulon::testing
