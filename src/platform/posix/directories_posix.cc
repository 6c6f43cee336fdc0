// Directories: opened (for search only where reading is refused), their
// names read, their entries' details filled in, and the ways down and up.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/chain_release.h"
#include "common/spare_names.h"
#include "platform/posix/local_dates.h"
#include "platform/posix/posix_internal.h"

namespace tabulon {
namespace {

constexpr char kOtherNames[] =
    "Has other names in a directory others may write";
constexpr char kWayUpUnknown[] = "the way up is unknown";
constexpr char kMovedMeanwhile[] =
    "the directory above is not the one it was reached from";

// All but the date, which the caller takes.
void Fill(const struct stat& st, SearchEntry* entry) {
  if (S_ISDIR(st.st_mode)) entry->Attr |= kAttrDirectory;
  if ((st.st_mode & 0222) == 0) entry->Attr |= kAttrReadOnly;
  entry->Size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::int64_t>(st.st_size);
  entry->Modified = static_cast<std::int64_t>(st.st_mtime);
}

// Which directory an open one is (device and inode), and the same of the
// directory it was reached from, up to the start directory: the way back up
// is taken only to the directory recorded on the way down.
struct Lineage {
  Lineage(const struct stat& st, std::shared_ptr<const Lineage> above)
      : device(st.st_dev), inode(st.st_ino), up(std::move(above)) {}
  ~Lineage() { ReleaseChain(std::move(up), &Lineage::up); }
  bool Is(const struct stat& st) const {
    return st.st_dev == device && st.st_ino == inode;
  }

  const dev_t device;
  const ino_t inode;
  std::shared_ptr<const Lineage> up;  // nullptr: the start directory
};

// Whether others than its owner may write into the directory of which
// `st` tells (so may give a file there another name).
bool OthersMayWrite(const struct stat& st) {
  return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Whether nobody but the run's user and the administrator may change the
// names in the directory of which `st` tells.
bool OnlyRunMayRename(const struct stat& st) {
  return (st.st_uid == ::geteuid() || st.st_uid == 0) && !OthersMayWrite(st);
}

// Hands each name to `each`.
template <typename Each>
class EachNameSink final : public NameSink {
 public:
  explicit EachNameSink(Each& each) : each_(each) {}
  void Take(const char* name, std::size_t size) override { each_(name, size); }

 private:
  Each& each_;
};

DirectoryPlace Own(int fd);

class PosixDirectory final : public Directory {
 public:
  // `place`: where its files are named (see DirectoryPlace). `listable`:
  // its descriptor was opened for reading, not for search only. `start`:
  // the start directory of its tree. `above`: the lineage of the directory
  // it was reached from (nullptr for the start directory); `self`: its own,
  // when already known.
  PosixDirectory(DirectoryPlace place, bool listable,
                 std::shared_ptr<const TreeStart> start,
                 std::shared_ptr<const Lineage> above = nullptr,
                 std::shared_ptr<const Lineage> self = nullptr)
      : place_(std::move(place)),
        fd_(place_.fd()),
        listable_(listable),
        start_(std::move(start)),
        above_(std::move(above)),
        self_(std::move(self)) {}

  Status ReadNames(std::vector<SearchEntry>* entries) override {
    // The names first, then the entries in a vector of the right size: a
    // vector grown one entry at a time touches about twice the memory.
    std::string names;  // each name ended by a NUL
    std::size_t count = 0;
    const Status status = EachName([&](const char* name, std::size_t size) {
      names.append(name, size + 1);
      ++count;
    });
    entries->reserve(entries->size() + count);
    const char* name = names.data();
    for (; count > 0; --count, name += std::strlen(name) + 1) {
      AssignName(name, &entries->emplace_back().Name);
    }
    return status;
  }

  Status ReadNamesInBatches(
      std::size_t first_batch, std::size_t batch,
      const std::function<void(std::vector<SearchEntry>&&)>& take) override {
    // The first batch grows as names come: most directories hold far fewer
    // names than a batch, and a whole batch reserved for each would cost
    // every thread fresh pages of memory.
    std::vector<SearchEntry> entries;
    entries.reserve(std::min<std::size_t>(first_batch, 64));
    std::size_t limit = first_batch;
    const Status status = EachName([&](const char* name, std::size_t size) {
      AssignName(std::string_view(name, size), &entries.emplace_back().Name);
      if (entries.size() == limit) {
        limit = batch;
        take(std::move(entries));
        entries = std::vector<SearchEntry>();
        entries.reserve(batch);
      }
    });
    if (!entries.empty()) take(std::move(entries));
    return status;
  }

  bool NamesOnly() const override { return true; }

  void FillDetails(SearchEntry* first, SearchEntry* last) override {
    // A piece of a large directory goes through a descriptor of its own:
    // the system counts every use of one that several threads share, and
    // the threads filling in pieces beside the one reading the names would
    // each wait for that count to come over from the others' caches. It is
    // opened for search only, which asks nothing of the file system; where
    // none can be had (no room left, no such way to open), the directory's
    // own serves.
    // Fewer entries are a small directory's, filled in by one thread, and
    // would not repay the two calls.
    const std::ptrdiff_t own_from =
        kSearchOnly != 0 ? 128 : std::numeric_limits<std::ptrdiff_t>::max();
    const int own = last - first >= own_from
                        ? ::openat(fd_, SelfPath().c_str(),
                                   kSearchOnly | O_DIRECTORY | O_CLOEXEC)
                        : -1;
    const int at = own >= 0 ? own : fd_;
    const std::string prefix = own >= 0 ? std::string() : place_.prefix;
    std::string path;
    // Each entry's date is taken once the next entry is described: that
    // call of the system gives the word LocalDateOf reads for the date the
    // time to come from memory.
    SearchEntry* undated = nullptr;
    time_t undated_time = 0;
    for (SearchEntry* entry = first; entry != last; ++entry) {
      const char* name = entry->Name.c_str();
      if (!prefix.empty()) name = (path = prefix + entry->Name).c_str();
      struct stat st;
      if (::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // Vanished since the directory was read, or refused: a directory
        // that may be read but not searched gives names and nothing more.
        entry->Gone = true;
        if (errno != ENOENT) entry->DetailsError = errno;
        continue;
      }
      if (S_ISLNK(st.st_mode)) {
        entry->Attr |= kAttrLink;
        struct stat target;
        if (::fstatat(at, name, &target, 0) == 0) st = target;
      }
      Fill(st, entry);
      PrefetchLocalDate(st.st_mtime);
      if (undated != nullptr) undated->Time = LocalDateOf(undated_time);
      undated = entry;
      undated_time = st.st_mtime;
    }
    if (undated != nullptr) undated->Time = LocalDateOf(undated_time);
    if (own >= 0) ::close(own);
  }

  Status DetailsFailure(int code) const override { return FromErrno(code); }

  Status OpenSubdirectory(const std::string& name,
                          std::unique_ptr<Directory>* out) override {
    std::string path;
    bool listable = false;
    const int fd =
        OpenDirectoryAt(fd_, Named(name, &path), O_NOFOLLOW, &listable);
    if (fd < 0) {
      if (errno == EACCES && kSearchOnly == 0) return EnterByName(name, out);
      return FromErrno(errno);
    }
    *out = std::make_unique<PosixDirectory>(Own(fd), listable, start_, Self());
    return Status::Ok();
  }

  Status OpenParent(std::unique_ptr<Directory>* out) override {
    const std::shared_ptr<const Lineage> self = Self();
    if (self == nullptr || self->up == nullptr) {
      return Status::Failed(kWayUpUnknown);
    }
    std::string path;
    bool listable = false;
    const int fd =
        OpenDirectoryAt(fd_, Named("..", &path), O_NOFOLLOW, &listable);
    if (fd < 0) return FromErrno(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !self->up->Is(st)) {
      ::close(fd);
      return Status::Failed(kMovedMeanwhile);
    }
    *out = std::make_unique<PosixDirectory>(Own(fd), listable, start_,
                                            self->up->up, self->up);
    return Status::Ok();
  }

  Status OpenInput(const std::string& name, Follow follow,
                   std::unique_ptr<InputFile>* out) override {
    std::string path;
    int fd = ::openat(fd_, Named(name, &path), kRead | O_NOFOLLOW);
    int in = fd_;                    // the directory the file lies in
    if (fd < 0 && errno == ELOOP) {  // a symbolic link
      // One in a directory reached by its name is not followed: the way
      // would be judged from the directory above.
      if (follow == Follow::kNever || !place_.prefix.empty()) {
        return Status::Failed(kNotFollowed);
      }
      const Status status = OpenThroughLink(fd_, name, *start_, &fd, &in);
      if (!status.ok()) return status;
    }
    if (fd < 0) return FromErrno(errno);
    struct stat st;
    Status status = RegularFile(fd, &st);
    // Another name made by whoever may write into the directory could be
    // that of a file he may not read (true when unknown).
    struct stat dir;
    if (status.ok() && follow == Follow::kInsideTree && st.st_nlink > 1 &&
        ((in == fd_ ? place_.Stat(&dir) : ::fstat(in, &dir)) != 0 ||
         OthersMayWrite(dir))) {
      status = Status::Failed(kOtherNames);
    }
    if (in != fd_) ::close(in);
    if (!status.ok()) {
      ::close(fd);
      return status;
    }
    *out = NewInputFile(fd, st);
    return Status::Ok();
  }

  Status CreateOutput(const std::string& name, const OutputOptions& options,
                      std::unique_ptr<OutputFile>* out) override {
    // Permission bits come only from the page opened and judged, never from
    // whatever the name holds by now: in a directory where others may make
    // files, an uploader's page would otherwise pass on its own.
    // One the run may not read is judged by what the system tells of it.
    const auto unread_mode = [&]() -> std::optional<mode_t> {
      struct stat st;
      std::string path;
      if (!options.replaced_unread ||
          ::fstatat(fd_, Named(name, &path), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
          st.st_nlink != 1) {
        return std::nullopt;
      }
      return st.st_mode & 0777;
    };
    std::optional<mode_t> mode;
    if (!PassedOnMode(options.replaced, &mode)) mode = unread_mode();
    return NewOutputFile(place_, name, options.unseen, mode, out);
  }

 private:
  // `name` as the system is given it, relative to fd_; `buffer` may hold
  // it.
  const char* Named(const std::string& name, std::string* buffer) const {
    if (place_.prefix.empty()) return name.c_str();
    *buffer = place_.prefix + name;
    return buffer->c_str();
  }
  // The directory itself, relative to fd_.
  std::string SelfPath() const { return place_.prefix + "."; }

  // Where no descriptor can be had for a directory that may be entered but
  // not read (neither O_PATH nor O_SEARCH), it is reached by its name in
  // this one, which every file in it is then named through: it gets its
  // page as it would elsewhere. Only where nobody but the run's user and
  // the administrator may change the names here, so that nobody can put a
  // link in its place meanwhile; never below another such one, whose names
  // strangers may well change. Refused as before (EACCES) otherwise.
  Status EnterByName(const std::string& name, std::unique_ptr<Directory>* out) {
    struct stat here;
    struct stat st;
    if (!place_.prefix.empty() || ::fstat(fd_, &here) != 0 ||
        !OnlyRunMayRename(here) ||
        ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(st.st_mode)) {
      return FromErrno(EACCES);
    }
    // Entered as every file in it will be: one that may not be searched
    // either is refused with the reason.
    const std::string prefix = name + "/";
    struct stat entered;
    if (::fstatat(fd_, (prefix + ".").c_str(), &entered, 0) != 0) {
      return FromErrno(errno);
    }
    if (entered.st_dev != st.st_dev || entered.st_ino != st.st_ino) {
      return FromErrno(EACCES);
    }
    const std::shared_ptr<const Lineage> above = Self();
    *out = std::make_unique<PosixDirectory>(
        DirectoryPlace{place_.held, prefix}, false, start_, above,
        std::make_shared<Lineage>(entered, above));
    return Status::Ok();
  }

  // Reads the directory once from its start, calling each(name, size) for
  // every entry but "." and "..".
  template <typename Each>
  Status EachName(Each&& each) {
    EachNameSink<Each> sink(each);
    return ReadEachName(fd_, SelfPath().c_str(), listable_, &read_before_,
                        sink);
  }

  // Its lineage, taken from the descriptor the first time it is needed: a
  // directory without subdirectories never needs it. nullptr when the
  // system can't tell. (A lock, not std::call_once, whose every first call
  // wakes waiters through the system even when there are none.)
  std::shared_ptr<const Lineage> Self() {
    std::lock_guard<std::mutex> lock(identifying_);
    if (!identified_) {
      identified_ = true;
      struct stat st;
      if (self_ == nullptr && place_.Stat(&st) == 0) {
        self_ = std::make_shared<Lineage>(st, above_);
      }
    }
    return self_;
  }

  const DirectoryPlace place_;
  const int fd_;  // place_'s descriptor
  const bool listable_;
  bool read_before_ = false;  // the descriptor's offset is past its start
  const std::shared_ptr<const TreeStart> start_;
  const std::shared_ptr<const Lineage> above_;
  std::mutex identifying_;
  bool identified_ = false;              // under identifying_
  std::shared_ptr<const Lineage> self_;  // set once, under identifying_
};

// The directory of `fd`, its own place: `fd` held, or closed when that
// fails.
DirectoryPlace Own(int fd) {
  try {
    return DirectoryPlace{std::make_shared<const SharedDescriptor>(fd), ""};
  } catch (...) {
    ::close(fd);
    throw;
  }
}

}  // namespace

SharedDescriptor::~SharedDescriptor() { ::close(fd_); }

int DirectoryPlace::Stat(struct stat* st) const {
  if (prefix.empty()) return ::fstat(fd(), st);
  return ::fstatat(fd(), (prefix + ".").c_str(), st, 0);
}

// Opens the directory `path` (relative to `at`) to read its names, or for
// search only when reading is refused but searching is not. Returns -1 with
// errno set when neither works.
int OpenDirectoryAt(int at, const char* path, int flags, bool* listable) {
  const int fd = ::openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
  *listable = fd >= 0;
  if (fd >= 0 || errno != EACCES || kSearchOnly == 0) return fd;
  // Lack of room is told as it is: with fewer files open the directory may
  // well be read.
  const auto refused = [] {
    if (errno != EMFILE && errno != ENFILE) errno = EACCES;
    return -1;
  };
  const int search =
      ::openat(at, path, kSearchOnly | O_DIRECTORY | O_CLOEXEC | flags);
  if (search < 0) return refused();
  // O_PATH asks nothing of the directory itself: one that may not be
  // searched either is refused as before.
  const int probe =
      ::openat(search, ".", kSearchOnly | O_DIRECTORY | O_CLOEXEC);
  if (probe < 0) {
    const int error = errno;
    ::close(search);
    errno = error;
    return refused();
  }
  ::close(probe);
  return search;
}

Status OpenStartDirectory(const std::string& path,
                          std::unique_ptr<Directory>* out) {
  bool listable = false;
  const int fd = OpenDirectoryAt(AT_FDCWD, path.c_str(), 0, &listable);
  if (fd < 0) return FromErrno(errno);
  auto start = std::make_shared<TreeStart>();
  std::shared_ptr<const Lineage> self;
  struct stat st;
  if (::fstat(fd, &st) == 0) {
    start->identified = true;
    start->device = st.st_dev;
    start->inode = st.st_ino;
    self = std::make_shared<Lineage>(st, nullptr);
  }
  start->path = StartPathOf(fd);
  *out = std::make_unique<PosixDirectory>(Own(fd), listable, std::move(start),
                                          nullptr, std::move(self));
  return Status::Ok();
}

}  // namespace tabulon
