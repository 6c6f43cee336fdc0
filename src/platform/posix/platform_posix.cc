// The POSIX backend: every file operation is relative to an open directory
// descriptor, so trees deeper than PATH_MAX are walked without ever building
// (or cutting) a long path.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#if __has_include(<sys/random.h>)
#include <sys/random.h>  // getentropy, where unistd.h lacks it
#endif
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/per_thread.h"
#include "common/spare_names.h"
#include "platform/directory_dates.h"
#include "platform/pending_files.h"
#include "platform/platform.h"
#include "platform/posix/features_posix.h"
#include "platform/posix/local_dates.h"

#ifdef TABULON_POSIX_SYSINFO
#include <sys/sysinfo.h>
#endif

namespace tabulon {
namespace {

// Opens a directory for search only, where the system can: one that may be
// entered but not read (an upload drop box) is still worked in.
#if defined(TABULON_POSIX_PROC_FD)
constexpr int kSearchOnly = O_PATH;
#elif defined(TABULON_POSIX_SEARCH_ONLY)
constexpr int kSearchOnly = O_SEARCH;
#else
constexpr int kSearchOnly = 0;
#endif

// The most pieces one call of writev takes.
#if defined(IOV_MAX)
constexpr std::size_t kMostPieces = IOV_MAX;
#else
constexpr std::size_t kMostPieces = 16;  // the least POSIX allows
#endif

constexpr char kNotFollowed[] = "Is a link; links are not followed";
constexpr char kLeadsOutside[] =
    "Is a link that leads outside the start directory";
constexpr char kLeadsNowhereKnown[] =
    "Is a link, and where it leads cannot be told";
constexpr char kNotOwned[] = "Is a link not owned by the run's user";
constexpr char kOtherNames[] =
    "Has other names in a directory others may write";
constexpr char kWayUpUnknown[] = "the way up is unknown";
constexpr char kMovedMeanwhile[] =
    "the directory above is not the one it was reached from";

// strerror_r comes in two kinds: XSI returns an int and fills the buffer,
// GNU returns the text. (strerror itself is not safe on several threads
// everywhere.)
[[maybe_unused]] const char* ReasonText(int, const char* buffer) {
  return buffer;
}
[[maybe_unused]] const char* ReasonText(const char* text, const char*) {
  return text;
}

std::string Reason(int error) {
  char buffer[256] = "";
  std::string reason =
      ReasonText(::strerror_r(error, buffer, sizeof buffer), buffer);
  if (reason.empty()) reason = "Unknown error " + std::to_string(error);
  return reason;
}

Status FromErrno(int error) {
  if (error == ENOENT) return Status::NotFound(Reason(error));
  if (error == EMFILE || error == ENFILE) return Status::NoRoom(Reason(error));
  return Status::Failed(Reason(error));
}

bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' &&
         (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// All but the date, which the caller takes.
void Fill(const struct stat& st, SearchEntry* entry) {
  if (S_ISDIR(st.st_mode)) entry->Attr |= kAttrDirectory;
  if ((st.st_mode & 0222) == 0) entry->Attr |= kAttrReadOnly;
  entry->Size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::int64_t>(st.st_size);
  entry->Modified = static_cast<std::int64_t>(st.st_mtime);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

#ifdef TABULON_POSIX_PROC_FD
// The name through which the process reaches its open file `fd`.
std::string ProcFdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Where the open file `fd` lies, as the system names it; empty when the
// system can't tell.
std::string PathOf(int fd) {
  const std::string link = ProcFdPath(fd);
  std::string path(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(link.c_str(), path.data(), path.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < path.size()) {
      path.resize(static_cast<std::size_t>(n));
      break;
    }
    path.resize(path.size() * 2);
  }
  // Anything but a path (a pipe, a file of another mount namespace) is no
  // place in the tree.
  return path.starts_with('/') ? path : std::string();
}
#endif

// A file of `fd`: regular, or refused with the reason why not. `st` takes
// what the system tells of it.
Status RegularFile(int fd, struct stat* st) {
  if (::fstat(fd, st) != 0) return FromErrno(errno);
  if (S_ISREG(st->st_mode)) return Status::Ok();
  return Status::Failed(S_ISDIR(st->st_mode) ? Reason(EISDIR)
                                             : "not a regular file");
}

#ifdef TABULON_POSIX_UNNAMED_FILES
// Whether an open file can be given a name through /proc/self/fd, as an
// unnamed file must be at its commit.
bool ProcFdReachable() {
  static const bool reachable = ::access("/proc/self/fd", X_OK) == 0;
  return reachable;
}
#endif

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

#ifdef TABULON_POSIX_OWN_FD_TABLE
// The thread that takes stop signals reaches the process's descriptors
// through /proc/self/fd rather than sharing them.
bool g_stop_reaches_through_proc = false;
#endif

#ifdef TABULON_POSIX_GETDENTS64
constexpr std::size_t kNamesBlock = 32 << 10;

// A block outlives the call that asks for it.
static_assert(TABULON_KEEP_PER_THREAD, "POSIX builds keep objects per thread");
using KeptBlock = KeptPerThread<std::unique_ptr<char[]>, struct NamesBlockTag>;
[[maybe_unused]] const bool kNamesBlockReadied =
    AddPerThreadReady(&KeptBlock::Ready);

// Where this thread reads directory entries: a block per thread, not per
// directory, since allocating one this large makes the heap sort its small
// free pieces every time.
char* NamesBlock() {
  KeptBlock kept;
  std::unique_ptr<char[]>& block = *kept;
  if (!block) block.reset(new char[kNamesBlock]);
  return block.get();
}
#endif

PendingFiles& Pending() {
  static PendingFiles* pending = new PendingFiles;  // outlives every thread
  return *pending;
}

// The signals that stop the run (see StopSignals), and whether a handler
// takes them, no thread having been started for them: a step on a
// temporary file then holds them back on its own thread, since the handler
// waits for the steps under way and can't wait for the one it interrupts.
// Both set before any other thread starts.
sigset_t g_stop_signals;
bool g_stops_by_handler = false;

class StopsHeldBack {
 public:
  StopsHeldBack() {
    if (g_stops_by_handler) {
      ::pthread_sigmask(SIG_BLOCK, &g_stop_signals, &old_);
    }
  }
  ~StopsHeldBack() {
    if (g_stops_by_handler) ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  StopsHeldBack(const StopsHeldBack&) = delete;
  StopsHeldBack& operator=(const StopsHeldBack&) = delete;

 private:
  sigset_t old_;
};

DirectoryDates& Dates() {
  static DirectoryDates* dates = new DirectoryDates;  // outlives every thread
  return *dates;
}

// The modification time of the open directory `dir`; false when unknown.
bool ModifiedOf(int dir, DirectoryTime* out) {
  struct stat st;
  if (::fstat(dir, &st) != 0) return false;
  *out = {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  return true;
}

// Sets the modification time of the open directory `dir`, its access time
// left alone. One opened for search only takes no time through its
// descriptor: it is reached through its name in /proc where there is one,
// and keeps the run's time elsewhere. Only the directory's owner may set
// its times; for anyone else it keeps the run's.
void SetModified(int dir, const DirectoryTime& when) {
  const struct timespec times[2] = {
      {0, UTIME_OMIT}, {static_cast<time_t>(when.seconds), when.fraction}};
  if (::futimens(dir, times) == 0 || errno != EBADF) return;
#ifdef TABULON_POSIX_PROC_FD
  ::utimensat(AT_FDCWD, ProcFdPath(dir).c_str(), times, 0);
#endif
}

// SipHash-2-4 of one 64-bit word under a 128-bit key: what nobody can
// foretell without the key, though he sees every earlier output.
std::uint64_t SipHash(const std::uint64_t key[2], std::uint64_t word) {
  std::uint64_t v0 = key[0] ^ 0x736f6d6570736575u;
  std::uint64_t v1 = key[1] ^ 0x646f72616e646f6du;
  std::uint64_t v2 = key[0] ^ 0x6c7967656e657261u;
  std::uint64_t v3 = key[1] ^ 0x7465646279746573u;
  const auto rotl = [](std::uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
  };
  const auto round = [&] {
    v0 += v1, v1 = rotl(v1, 13), v1 ^= v0, v0 = rotl(v0, 32);
    v2 += v3, v3 = rotl(v3, 16), v3 ^= v2;
    v0 += v3, v3 = rotl(v3, 21), v3 ^= v0;
    v2 += v1, v1 = rotl(v1, 17), v1 ^= v2, v2 = rotl(v2, 32);
  };
  const std::uint64_t last = std::uint64_t{8} << 56;  // the length, 8 bytes
  for (const std::uint64_t m : {word, last}) {
    v3 ^= m;
    round();
    round();
    v0 ^= m;
  }
  v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

// A key from the system's random source, read once (early, before any
// limit of open files can stand in the way of /dev/urandom).
const std::uint64_t* NameKey() {
  static const auto key = [] {
    std::array<std::uint64_t, 2> k{};
    bool got = ::getentropy(k.data(), sizeof k) == 0;
    if (!got) {
      const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
      got = fd >= 0 &&
            ::read(fd, k.data(), sizeof k) == static_cast<ssize_t>(sizeof k);
      if (fd >= 0) ::close(fd);
    }
    if (!got) {
      // No random source at all: the clock's nanoseconds and the process's
      // number, a poor key, but taken names are still passed over.
      struct timespec now;
      ::clock_gettime(CLOCK_REALTIME, &now);
      k[0] ^= static_cast<std::uint64_t>(now.tv_nsec) << 32 ^
              static_cast<std::uint64_t>(now.tv_sec);
      k[1] ^= static_cast<std::uint64_t>(::getpid());
    }
    return k;
  }();
  return key.data();
}

// A hidden name for a page being written over `target`, its middle one
// nobody can foretell: an uploader can't make the names in advance.
std::string TemporaryName(const std::string& target) {
  static std::atomic<std::uint64_t> serial{0};
  const std::uint64_t part = SipHash(NameKey(), serial.fetch_add(1));
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx",
                static_cast<unsigned long long>(part));
  return "." + target + "." + hex + ".tmp";
}

// How many names are tried for a temporary page while each is taken. With
// unforeseeable names, one is taken only by chance; this bounds only a file
// system that calls every name taken.
constexpr int kNamesTried = 1000;

// An open directory's descriptor, closed when the last of those that hold
// it lets go: a page written into the directory holds it too, since a page
// may outlive its directory (and a stop may still remove its temporary
// file), and a copy of the descriptor for every page would cost two calls
// of the system a page.
class SharedDescriptor {
 public:
  explicit SharedDescriptor(int fd) : fd_(fd) {}
  ~SharedDescriptor() { ::close(fd_); }
  SharedDescriptor(const SharedDescriptor&) = delete;
  SharedDescriptor& operator=(const SharedDescriptor&) = delete;
  int fd() const { return fd_; }

 private:
  const int fd_;
};

class PosixOutputFile final : public OutputFile, public PendingFile {
 public:
  explicit PosixOutputFile(std::string target)
      : temp_(TemporaryName(target)), target_(std::move(target)) {}
  ~PosixOutputFile() override {
    if (!created_) return;
    if (fd_ >= 0) ::close(fd_);
    if (!committed_ && !unnamed_) {
      Unname([this] {
        ::unlinkat(dir_, temp_.c_str(), 0);
        return true;
      });
    }
  }

  // Creates the file in `dir`, which the file holds from then on: without
  // a name when `unseen` and the file system can, else under its temporary
  // name. Returns false with the reason in `error`.
  bool Create(std::shared_ptr<const SharedDescriptor> dir, bool unseen,
              int* error) {
    dir_held_ = std::move(dir);
    dir_ = dir_held_->fd();
    struct stat st;
    if (::fstat(dir_, &st) == 0) {
      key_ = {static_cast<std::uint64_t>(st.st_dev),
              static_cast<std::uint64_t>(st.st_ino)};
      // The time before the name made right below: a page costs one call
      // of the system fewer.
      before_ = DirectoryTime{st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
      have_before_ = true;
    }
#ifdef TABULON_POSIX_UNNAMED_FILES
    if (unseen && ProcFdReachable()) {
      // Nothing to remove on a stop until it has a name.
      fd_ = ::openat(dir_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
      if (fd_ >= 0) {
        // Named later, when the time read now may be old.
        have_before_ = false;
        created_ = unnamed_ = true;
        return true;
      }
      // A file system without unnamed files: the name is made now.
    }
#else
    (void)unseen;
#endif
    created_ = NameKeepingDate([this, error] {
      const StopsHeldBack held;
      return Pending().Add(this, [this, error] {
        fd_ = ::openat(dir_, temp_.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0) *error = errno;
        return fd_ >= 0;
      });
    });
    return created_;
  }
  void SetMode(mode_t mode) { ::fchmod(fd_, mode); }

  Status Write(std::string_view bytes) override {
    if (!status_.ok()) return status_;
    if (!WriteAll(fd_, bytes.data(), bytes.size())) status_ = FromErrno(errno);
    return status_;
  }

  Status WriteGathered(std::span<const std::string_view> pieces) override {
    // One call of the system for many pieces, up to its limit of pieces; a
    // call that writes less is taken up where it stopped.
    std::vector<struct iovec> left;
    left.reserve(pieces.size());
    for (const std::string_view piece : pieces) {
      if (!piece.empty()) {
        left.push_back({const_cast<char*>(piece.data()), piece.size()});
      }
    }
    std::size_t first = 0;
    while (status_.ok() && first < left.size()) {
      const int count = static_cast<int>(
          std::min<std::size_t>(left.size() - first, kMostPieces));
      ssize_t written = ::writev(fd_, left.data() + first, count);
      if (written < 0) {
        if (errno != EINTR) status_ = FromErrno(errno);
        continue;
      }
      while (written > 0) {
        struct iovec& piece = left[first];
        const std::size_t taken =
            std::min(static_cast<std::size_t>(written), piece.iov_len);
        piece.iov_base = static_cast<char*>(piece.iov_base) + taken;
        piece.iov_len -= taken;
        written -= static_cast<ssize_t>(taken);
        if (piece.iov_len == 0) ++first;
      }
    }
    return status_;
  }

  Status Commit() override {
#ifdef TABULON_POSIX_UNNAMED_FILES
    // An unnamed file is gone once closed: it is named first.
    if (status_.ok() && unnamed_) Name();
#endif
    if (::close(fd_) != 0 && status_.ok()) status_ = FromErrno(errno);
    fd_ = -1;
    if (!status_.ok()) return status_;
    int error = 0;
    committed_ = Unname([this, &error] {
      if (::renameat(dir_, temp_.c_str(), dir_, target_.c_str()) == 0) {
        return true;
      }
      error = errno;
      return false;
    });
    if (!committed_) status_ = FromErrno(error);
    return status_;
  }

  // Runs on the thread that takes stop signals, whose descriptors are not
  // the others' when it could reach theirs through /proc. Only named files
  // are registered, and `dir_` stays open while one is.
  void RemoveForStop() override {
#ifdef TABULON_POSIX_OWN_FD_TABLE
    if (g_stop_reaches_through_proc) {
      const int dir =
          ::open(ProcFdPath(dir_).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (dir < 0) return;
      ::unlinkat(dir, temp_.c_str(), 0);
      ::close(dir);
      return;
    }
#endif
    ::unlinkat(dir_, temp_.c_str(), 0);
  }

 private:
  // Runs `step`, which gives the file its name, noting the directory's
  // time for Unname.
  template <typename Step>
  bool NameKeepingDate(Step step) {
    return Dates().Name(
        key_, &dated_,
        [this](DirectoryTime* t) {
          if (!have_before_) return ModifiedOf(dir_, t);
          *t = before_;
          have_before_ = false;
          return true;
        },
        step);
  }
  // Takes the name away through the pending files (`step`: a rename or a
  // removal), then gives the directory back the time it had before.
  template <typename Step>
  bool Unname(Step step) {
    return Dates().Unname(
        key_, dated_, [this](DirectoryTime* t) { return ModifiedOf(dir_, t); },
        [this](const DirectoryTime& t) { SetModified(dir_, t); },
        [this, &step] {
          const StopsHeldBack held;
          return Pending().Settle(this, step);
        });
  }

#ifdef TABULON_POSIX_UNNAMED_FILES
  // Links the unnamed file under a temporary name; another name is taken
  // while one is in the way (someone may make the next name first).
  void Name() {
    for (int attempt = 0;; ++attempt) {
      int error = 0;
      const bool named = NameKeepingDate([this, &error] {
        const StopsHeldBack held;
        return Pending().Add(this, [this, &error] {
          if (::linkat(AT_FDCWD, ProcFdPath(fd_).c_str(), dir_, temp_.c_str(),
                       AT_SYMLINK_FOLLOW) == 0) {
            return true;
          }
          error = errno;
          return false;
        });
      });
      if (named) {
        unnamed_ = false;
        return;
      }
      if (error != EEXIST || attempt >= kNamesTried) {
        status_ = FromErrno(error);
        return;
      }
      temp_ = TemporaryName(target_);
    }
  }
#endif

  std::shared_ptr<const SharedDescriptor> dir_held_;
  int dir_ = -1;  // dir_held_'s
  int fd_ = -1;
  std::string temp_;  // changed only while the file is not registered
  const std::string target_;
  Status status_;
  bool created_ = false;
  bool unnamed_ = false;
  bool committed_ = false;
  DirectoryKey key_;
  bool dated_ = false;  // whether Unname puts the directory's time back
  // The directory's time as Create read it, until the name is made.
  DirectoryTime before_;
  bool have_before_ = false;
};

class PosixInputFile final : public InputFile {
 public:
  // `st`: what fstat told of `fd` (a regular file) when it was opened.
  PosixInputFile(int fd, const struct stat& st) : fd_(fd), st_(st) {
#ifdef TABULON_POSIX_HOLES
    // Holes are looked for only where the file stores much less than its
    // size: most files have none, and then cost no call.
    constexpr off_t kUnstored = off_t{1} << 20;
    holes_ = st.st_size - st.st_blocks * off_t{512} > kUnstored;
#endif
  }
  ~PosixInputFile() override { ::close(fd_); }
  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    *got = 0;
    for (;;) {
      // The place is the file's own, kept here: looking for holes moves
      // the descriptor's.
      const ssize_t n = ::pread(fd_, buffer, size, position_);
      if (n >= 0) {
        *got = static_cast<std::size_t>(n);
        position_ += n;
        return Status::Ok();
      }
      if (errno != EINTR) return FromErrno(errno);
    }
  }
  Status Rewind() override {
    position_ = 0;
#ifdef TABULON_POSIX_HOLES
    next_hole_ = 0;
#endif
    return Status::Ok();
  }
#ifdef TABULON_POSIX_HOLES
  std::uint64_t ZerosAhead() override {
    if (!holes_ || position_ < next_hole_) return 0;
    off_t data = ::lseek(fd_, position_, SEEK_DATA);
    if (data < 0 && errno == ENXIO) {
      // A hole up to the end, or the end passed already.
      data = std::max(::lseek(fd_, 0, SEEK_END), position_);
      next_hole_ = data;
    } else if (data >= 0) {
      next_hole_ = ::lseek(fd_, data, SEEK_HOLE);
    }
    if (data < 0 || next_hole_ < 0) {
      holes_ = false;  // the file system can't tell
      return 0;
    }
    return static_cast<std::uint64_t>(data - position_);
  }
  Status Skip(std::uint64_t count) override {
    position_ += static_cast<off_t>(count);
    return Status::Ok();
  }
#endif
  bool OwnedByRun() const override {
    return st_.st_uid == ::geteuid() && st_.st_nlink == 1;
  }
  // The permission bits a page replacing this file takes on: its own for a
  // regular file that is the run's own, none (those of a new file)
  // otherwise.
  std::optional<mode_t> PassedOnMode() const {
    if (!S_ISREG(st_.st_mode) || !OwnedByRun()) return std::nullopt;
    return st_.st_mode & 0777;
  }

 private:
  int fd_;
  const struct stat st_;
  off_t position_ = 0;
#ifdef TABULON_POSIX_HOLES
  bool holes_ = false;
  // Where the data ZerosAhead last found ends: no hole begins before it.
  off_t next_hole_ = 0;
#endif
};

// Which directory an open one is (device and inode), and the same of the
// directory it was reached from, up to the start directory: the way back up
// is taken only to the directory recorded on the way down.
struct Lineage {
  Lineage(const struct stat& st, std::shared_ptr<const Lineage> above)
      : device(st.st_dev), inode(st.st_ino), up(std::move(above)) {}
  ~Lineage() {
    // One at a time: a chain a hundred thousand deep would otherwise be let
    // go of by as deep a recursion.
    std::shared_ptr<const Lineage> next = std::move(up);
    while (next != nullptr && next.use_count() == 1) {
      std::shared_ptr<const Lineage> after =
          std::move(const_cast<Lineage&>(*next).up);
      next = std::move(after);
    }
  }
  bool Is(const struct stat& st) const {
    return st.st_dev == device && st.st_ino == inode;
  }

  const dev_t device;
  const ino_t inode;
  std::shared_ptr<const Lineage> up;  // nullptr: the start directory
};

// The start directory of a tree, against which the target of a link is
// judged: which directory it is and, where the system names open files,
// where it lies.
struct TreeStart {
  bool identified = false;  // device and inode are known
  dev_t device = 0;
  ino_t inode = 0;
  std::string path;  // "" when unknown
};

// As many links in a row as are followed to a file (Linux's own limit).
constexpr int kMostLinks = 40;

// The text of the link `name` in `dir` ("" with a link opened for its place
// as `dir`, where the system can).
Status LinkText(int dir, const char* name, std::string* text) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(dir, name, buffer.data(), buffer.size());
    if (n < 0) return FromErrno(errno);
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      *text = std::move(buffer);
      return Status::Ok();
    }
    buffer.resize(buffer.size() * 2);
  }
}

// Whether others than its owner may write into the open directory `dir`
// (so may give a file there another name); true when unknown.
bool OthersMayWrite(int dir) {
  struct stat st;
  return ::fstat(dir, &st) != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

class PosixDirectory final : public Directory {
  // Entries from which FillDetails opens a descriptor of its own: fewer
  // are a small directory's, filled in by one thread, and would not repay
  // the two calls.
  static constexpr std::ptrdiff_t kOwnDescriptorFrom =
      kSearchOnly != 0 ? 128 : std::numeric_limits<std::ptrdiff_t>::max();

 public:
  // `listable`: `fd` was opened for reading, not for search only. `start`:
  // the start directory of its tree. `above`: the lineage of the directory
  // it was reached from (nullptr for the start directory); `self`: its own,
  // when already known.
  PosixDirectory(int fd, bool listable, std::shared_ptr<const TreeStart> start,
                 std::shared_ptr<const Lineage> above = nullptr,
                 std::shared_ptr<const Lineage> self = nullptr)
      : fd_(fd),
        descriptor_(Hold(fd)),
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
    const int own =
        last - first >= kOwnDescriptorFrom
            ? ::openat(fd_, ".", kSearchOnly | O_DIRECTORY | O_CLOEXEC)
            : -1;
    const int at = own >= 0 ? own : fd_;
    // Each entry's date is taken once the next entry is described: that
    // call of the system gives the word LocalDateOf reads for the date the
    // time to come from memory.
    SearchEntry* undated = nullptr;
    time_t undated_time = 0;
    for (SearchEntry* entry = first; entry != last; ++entry) {
      const char* name = entry->Name.c_str();
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
    bool listable = false;
    const int fd = OpenDirectoryAt(fd_, name.c_str(), O_NOFOLLOW, &listable);
    if (fd < 0) return FromErrno(errno);
    *out = std::make_unique<PosixDirectory>(fd, listable, start_, Self());
    return Status::Ok();
  }

  Status OpenParent(std::unique_ptr<Directory>* out) override {
    const std::shared_ptr<const Lineage> self = Self();
    if (self == nullptr || self->up == nullptr) {
      return Status::Failed(kWayUpUnknown);
    }
    bool listable = false;
    const int fd = OpenDirectoryAt(fd_, "..", O_NOFOLLOW, &listable);
    if (fd < 0) return FromErrno(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !self->up->Is(st)) {
      ::close(fd);
      return Status::Failed(kMovedMeanwhile);
    }
    *out = std::make_unique<PosixDirectory>(fd, listable, start_, self->up->up,
                                            self->up);
    return Status::Ok();
  }

  Status OpenInput(const std::string& name, Follow follow,
                   std::unique_ptr<InputFile>* out) override {
    int fd = ::openat(fd_, name.c_str(), kRead | O_NOFOLLOW);
    int in = fd_;                    // the directory the file lies in
    if (fd < 0 && errno == ELOOP) {  // a symbolic link
      if (follow == Follow::kNever) return Status::Failed(kNotFollowed);
      const Status status = OpenThroughLink(name, &fd, &in);
      if (!status.ok()) return status;
    }
    if (fd < 0) return FromErrno(errno);
    struct stat st;
    Status status = RegularFile(fd, &st);
    // Another name made by whoever may write into the directory could be
    // that of a file he may not read.
    if (status.ok() && follow == Follow::kInsideTree && st.st_nlink > 1 &&
        OthersMayWrite(in)) {
      status = Status::Failed(kOtherNames);
    }
    if (in != fd_) ::close(in);
    if (!status.ok()) {
      ::close(fd);
      return status;
    }
    *out = std::make_unique<PosixInputFile>(fd, st);
    return Status::Ok();
  }

  Status CreateOutput(const std::string& name, const OutputOptions& options,
                      std::unique_ptr<OutputFile>* out) override {
    // Permission bits come only from the page opened and judged, never from
    // whatever the name holds by now: in a directory where others may make
    // files, an uploader's page would otherwise pass on its own.
    const auto* replaced =
        dynamic_cast<const PosixInputFile*>(options.replaced);
    // One the run may not read is judged by what the system tells of it.
    const auto unread_mode = [&]() -> std::optional<mode_t> {
      struct stat st;
      if (!options.replaced_unread ||
          ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
          st.st_nlink != 1) {
        return std::nullopt;
      }
      return st.st_mode & 0777;
    };
    const std::optional<mode_t> mode =
        replaced != nullptr ? replaced->PassedOnMode() : unread_mode();
    for (int attempt = 0;; ++attempt) {
      auto file = std::make_unique<PosixOutputFile>(name);
      int error = 0;
      if (file->Create(descriptor_, options.unseen, &error)) {
        if (mode) file->SetMode(*mode);
        *out = std::move(file);
        return Status::Ok();
      }
      if (error == EEXIST && attempt < kNamesTried) continue;
      return FromErrno(error);
    }
  }

 private:
  // O_NONBLOCK: a FIFO named like a description file must not hang the run.
  static constexpr int kRead = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

  // Opens the file that the link `name` leads to, when that lies inside the
  // start directory's tree and every link on the way belongs to the run's
  // user: an uploader's link could lead to a file of the tree he may not
  // read. The links are followed by hand, one at a time, to the directory
  // the last one leads into (the system takes the links on the way there),
  // whose descriptor goes to *dir. Only a regular file is opened, so a
  // device is never touched.
  Status OpenThroughLink(const std::string& name, int* out, int* dir) const {
    int at = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
    if (at < 0) return FromErrno(errno);
    std::string last = name;  // in `at`
    struct stat st;
    Status status;
#ifdef TABULON_POSIX_PROC_FD
    // Each name is judged on what it opens for its place, so changing it
    // meanwhile gains nothing.
    int place = -1;
    const auto step = [&](std::string* text) {
      if (place >= 0) ::close(place);
      place = ::openat(at, last.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
      if (place < 0 || ::fstat(place, &st) != 0) return FromErrno(errno);
      return S_ISLNK(st.st_mode) ? LinkText(place, "", text) : Status::Ok();
    };
#else
    // Without a way to open a link itself, it is judged by its name: one
    // put in its place meanwhile is refused by the caller or followed as
    // the links on the way, and an uploader can make no device.
    const auto step = [&](std::string* text) {
      if (::fstatat(at, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return FromErrno(errno);
      }
      return S_ISLNK(st.st_mode) ? LinkText(at, last.c_str(), text)
                                 : Status::Ok();
    };
#endif
    for (int links = 0; status.ok(); ++links) {
      std::string target;
      if (!(status = step(&target)).ok() || !S_ISLNK(st.st_mode)) break;
      if (st.st_uid != ::geteuid()) {
        status = Status::Failed(kNotOwned);
      } else if (links == kMostLinks) {
        status = FromErrno(ELOOP);
      } else {
        const std::size_t slash = target.rfind('/');
        if (slash != std::string::npos) {
          const std::string head = slash == 0 ? "/" : target.substr(0, slash);
          bool listable = false;
          const int next = OpenDirectoryAt(at, head.c_str(), 0, &listable);
          if (next < 0) {
            status = FromErrno(errno);
          } else {
            ::close(at);
            at = next;
            target.erase(0, slash + 1);
          }
        }
        // A target ending in a slash names a directory.
        last = target.empty() ? "." : std::move(target);
      }
    }
#ifdef TABULON_POSIX_PROC_FD
    if (status.ok()) {
      const std::string path = PathOf(place);
      if (path.empty() || start_->path.empty()) {
        status = Status::Failed(kLeadsNowhereKnown);
      } else if (!Inside(path)) {
        status = Status::Failed(kLeadsOutside);
      }
    }
    if (status.ok()) status = RegularFile(place, &st);
    if (status.ok()) {
      *out = ::open(ProcFdPath(place).c_str(), kRead);
      if (*out < 0) status = FromErrno(errno);
    }
    if (place >= 0) ::close(place);
#else
    if (status.ok()) status = LiesInTree(at);
    if (status.ok() && !S_ISREG(st.st_mode)) {
      status = Status::Failed(S_ISDIR(st.st_mode) ? Reason(EISDIR)
                                                  : "not a regular file");
    }
    if (status.ok()) {
      *out = ::openat(at, last.c_str(), kRead | O_NOFOLLOW);
      if (*out < 0) status = FromErrno(errno);
    }
#endif
    if (status.ok()) {
      *dir = at;
    } else {
      ::close(at);
    }
    return status;
  }

#ifdef TABULON_POSIX_PROC_FD
  bool Inside(const std::string& path) const {
    const std::string& start = start_->path;
    return path.size() > start.size() && path.starts_with(start) &&
           (start.back() == '/' || path[start.size()] == '/');
  }
#else
  // Whether the directory `dir` is the start directory or lies below it:
  // ok, kLeadsOutside, or kLeadsNowhereKnown where a directory on the way
  // up can't be opened.
  Status LiesInTree(int dir) const {
    struct stat st;
    if (!start_->identified || ::fstat(dir, &st) != 0) {
      return Status::Failed(kLeadsNowhereKnown);
    }
    int at = -1;  // the directory `st` tells of, when not `dir`
    Status status = Status::Failed(kLeadsNowhereKnown);
    for (;;) {
      if (st.st_dev == start_->device && st.st_ino == start_->inode) {
        status = Status::Ok();
        break;
      }
      bool listable = false;
      const int up = OpenDirectoryAt(at < 0 ? dir : at, "..", 0, &listable);
      if (up < 0) break;
      if (at >= 0) ::close(at);
      at = up;
      struct stat above;
      if (::fstat(up, &above) != 0) break;
      // Only the root is its own parent.
      if (above.st_dev == st.st_dev && above.st_ino == st.st_ino) {
        status = Status::Failed(kLeadsOutside);
        break;
      }
      st = above;
    }
    if (at >= 0) ::close(at);
    return status;
  }
#endif

  // Reads the directory once from its start, calling each(name, size) for
  // every entry but "." and "..".
  template <typename Each>
  Status EachName(Each&& each) {
#ifdef TABULON_POSIX_GETDENTS64
    // The descriptor is read as it is, with no stream around it and no copy
    // of it: six calls fewer per directory. Its offset is moved by nothing
    // but this, on one thread at a time. A search-only one can't be read:
    // opening the directory again for reading gives the reason.
    int fd = fd_;
    int opened = -1;
    if (!listable_) {
      opened = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (opened < 0) return FromErrno(errno);
      fd = opened;
    } else if (read_before_ && ::lseek(fd_, 0, SEEK_SET) != 0) {
      return FromErrno(errno);
    }
    read_before_ = listable_;
    char* const block = NamesBlock();
    Status status;
    for (;;) {
      const ssize_t got = ::getdents64(fd, block, kNamesBlock);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        if (got < 0) status = FromErrno(errno);
        break;
      }
      for (ssize_t at = 0; at < got;) {
        const auto* d = reinterpret_cast<const struct dirent64*>(block + at);
        at += d->d_reclen;
        if (!IsDotOrDotDot(d->d_name)) each(d->d_name, std::strlen(d->d_name));
      }
    }
    if (opened >= 0) ::close(opened);
    return status;
#else
    // A stream over a copy of the descriptor, which the stream closes. A
    // search-only one can't be read: opening the directory again for
    // reading gives the reason.
    const int fd = listable_
                       ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0)
                       : ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno);
    const std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(fd),
                                                     &::closedir);
    if (stream == nullptr) {
      const int error = errno;
      ::close(fd);
      return FromErrno(error);
    }
    // The copy shares the offset, which a reading before left at the end.
    ::rewinddir(stream.get());
    for (;;) {
      errno = 0;
      const struct dirent* d = ::readdir(stream.get());
      if (d == nullptr) return errno == 0 ? Status::Ok() : FromErrno(errno);
      if (!IsDotOrDotDot(d->d_name)) each(d->d_name, std::strlen(d->d_name));
    }
#endif
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
      if (self_ == nullptr && ::fstat(fd_, &st) == 0) {
        self_ = std::make_shared<Lineage>(st, above_);
      }
    }
    return self_;
  }

  // `fd` held, or closed when that fails.
  static std::shared_ptr<const SharedDescriptor> Hold(int fd) {
    try {
      return std::make_shared<const SharedDescriptor>(fd);
    } catch (...) {
      ::close(fd);
      throw;
    }
  }

  const int fd_;
  const std::shared_ptr<const SharedDescriptor> descriptor_;  // holds fd_
  const bool listable_;
#ifdef TABULON_POSIX_GETDENTS64
  bool read_before_ = false;  // the descriptor's offset is past its start
#endif
  const std::shared_ptr<const TreeStart> start_;
  const std::shared_ptr<const Lineage> above_;
  std::mutex identifying_;
  bool identified_ = false;              // under identifying_
  std::shared_ptr<const Lineage> self_;  // set once, under identifying_
};

// Each of the descriptors 0, 1 and 2 that is not open is opened to
// /dev/null: otherwise the next file opened, maybe a page, would take its
// number, and the banner or a report would be written into it.
void OpenStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    // Without /dev/null (a bare chroot) a directory will do: nothing can be
    // written to it.
    if (opened < 0) opened = ::open("/", O_RDONLY | O_DIRECTORY);
    if (opened < 0) ::_exit(2);
    if (opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

// The signals whose default ends the process, but for those that come of a
// fault in the program itself (SIGSEGV, SIGABRT...) and those ignored at
// start (nohup; SIGINT of a background job), which stay as they are.
sigset_t StopSignals() {
  static const int kSignals[] = {
      SIGHUP,    SIGINT,  SIGQUIT,   SIGTERM, SIGALRM,
      SIGUSR1,   SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU,
#ifdef SIGPOLL
      SIGPOLL,
#endif
#ifdef SIGPWR
      SIGPWR,
#endif
#ifdef SIGSTKFLT
      SIGSTKFLT,
#endif
  };
  sigset_t set;
  sigemptyset(&set);
  const auto add = [&set](int sig) {
    struct sigaction current;
    if (::sigaction(sig, nullptr, &current) == 0 &&
        (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN) {
      return;
    }
    sigaddset(&set, sig);
  };
  for (const int sig : kSignals) add(sig);
#ifdef SIGRTMIN
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) add(sig);
#endif
  return set;
}

// The stack of the thread below (or the system's least, if more).
constexpr std::size_t kStopStack = std::size_t{128} << 10;

// Takes the first stop signal, removes every temporary page, and ends the
// process by that signal, so that its exit status shows it.
void TakeStopSignals(sigset_t set, std::atomic<bool>* started) {
  // A table of descriptors of its own: while the other threads share theirs
  // with no one else (a run on one thread), the system gives them files
  // without counting references, which a walk does hundreds of thousands of
  // times. The copy holds only what was open when the process began.
#ifdef TABULON_POSIX_OWN_FD_TABLE
  if (g_stop_reaches_through_proc) ::unshare(CLONE_FILES);
#endif
  started->store(true);
  started->notify_one();
  int sig = 0;
  while (::sigwait(&set, &sig) != 0) {
  }
  Pending().RemoveAllAndHold();
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(sig, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(sig);
  ::_exit(128 + sig);
}

// Where no thread could be started for them (a limit of processes), the
// stop signals come here, on whichever thread they land.
void OnStopSignal(int sig) {
  Pending().RemoveAllFromHandler([] {
    const struct timespec pause = {0, 1000000};
    ::nanosleep(&pause, nullptr);
  });
  ::signal(sig, SIG_DFL);
  // Held back while this runs: it ends the process once this returns.
  ::raise(sig);
}

// The stop signals are held back in this thread, and so in every thread it
// starts, and taken by one thread of their own: a signal handler could not
// wait for a thread that is between creating a temporary page and
// registering it, unless every such step holds them back (two calls of the
// system more a step), which is done only where no thread can be started.
// Called before any other thread is started.
void HandleStops() {
  static std::once_flag once;
  std::call_once(once, [] {
    // A report that can't be written (standard error piped into head) is
    // dropped: the run's output is its pages.
    ::signal(SIGPIPE, SIG_IGN);
    // Under a file-size limit a write past it fails with EFBIG and is
    // reported, the previous page kept, instead of the signal ending the run.
    ::signal(SIGXFSZ, SIG_IGN);
#ifdef TABULON_POSIX_OWN_FD_TABLE
    g_stop_reaches_through_proc = ::access("/proc/self/fd", X_OK) == 0;
#endif
    Pending();  // made before a handler may need it
    g_stop_signals = StopSignals();
    static const sigset_t set = g_stop_signals;
    sigset_t old;
    ::pthread_sigmask(SIG_BLOCK, &set, &old);
    static std::atomic<bool> started{false};
    // The thread waits and removes files: a small stack will do. The
    // system's default (8 MiB) took most of a tight limit of address space,
    // and the run then ran out of memory before it could report it.
    pthread_attr_t attributes;
    pthread_t thread;
    bool running = false;
    if (::pthread_attr_init(&attributes) == 0) {
      const std::size_t stack = std::max(
          kStopStack, static_cast<std::size_t>(PTHREAD_STACK_MIN));
      running = ::pthread_attr_setstacksize(&attributes, stack) == 0 &&
                ::pthread_attr_setdetachstate(&attributes,
                                              PTHREAD_CREATE_DETACHED) == 0 &&
                ::pthread_create(
                    &thread, &attributes,
                    [](void*) -> void* {
                      TakeStopSignals(set, &started);
                      return nullptr;
                    },
                    nullptr) == 0;
      ::pthread_attr_destroy(&attributes);
    }
    if (running) {
      // Nothing is opened before the thread has its own table, so that it
      // keeps no file of the run open.
      started.wait(false);
    } else {
#ifdef TABULON_POSIX_OWN_FD_TABLE
      g_stop_reaches_through_proc = false;  // the descriptors are shared
#endif
      g_stops_by_handler = true;
      struct sigaction action;
      std::memset(&action, 0, sizeof action);
      action.sa_handler = &OnStopSignal;
      action.sa_mask = set;
      action.sa_flags = SA_RESTART;
#ifdef NSIG
      constexpr int kSignalsEnd = NSIG;
#else
      constexpr int kSignalsEnd = 128;  // sigismember refuses those past
#endif
      for (int sig = 1; sig < kSignalsEnd; ++sig) {
        if (sigismember(&set, sig) == 1) ::sigaction(sig, &action, nullptr);
      }
      ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
  });
}

// The descriptors open now: counted in /proc/self/fd where there is one,
// else probed below `limit` (a limit so large that probing it would take
// long leaves room enough not to count).
std::uint64_t OpenFiles(rlim_t limit) {
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    std::uint64_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count > 0 ? count - 1 : 0;  // less the one reading it
  }
  std::uint64_t count = 0;
  const rlim_t probed = std::min<rlim_t>(limit, 1 << 16);
  for (rlim_t fd = 0; fd < probed; ++fd) {
    if (::fcntl(static_cast<int>(fd), F_GETFD) != -1) ++count;
  }
  return count;
}

// Lack of room for a thread (EAGAIN: a limit of threads or of memory) is a
// kind of its own; pthread functions return their error.
Status FromThreadError(int error) {
  if (error == EAGAIN || error == ENOMEM) return Status::NoRoom(Reason(error));
  return Status::Failed(Reason(error));
}

class PosixThread final : public Thread {
 public:
  explicit PosixThread(std::function<void()> body) : body_(std::move(body)) {}
  ~PosixThread() override {
    if (started_) ::pthread_join(thread_, nullptr);
  }

  // Returns 0 or the error of pthread_create.
  int Start(std::size_t stack_bytes) {
    pthread_attr_t attributes;
    int error = ::pthread_attr_init(&attributes);
    if (error != 0) return error;
    // Never below what the system needs for a thread of its own.
    std::size_t stack =
        std::max(stack_bytes, static_cast<std::size_t>(PTHREAD_STACK_MIN));
    const long page = ::sysconf(_SC_PAGESIZE);
    if (page > 0) {
      const auto size = static_cast<std::size_t>(page);
      stack = (stack + size - 1) / size * size;
    }
    error = ::pthread_attr_setstacksize(&attributes, stack);
    if (error == 0) {
      error =
          ::pthread_create(&thread_, &attributes, &PosixThread::Enter, this);
    }
    ::pthread_attr_destroy(&attributes);
    started_ = error == 0;
    return error;
  }

 private:
  static void* Enter(void* self) {
    static_cast<PosixThread*>(self)->body_();
    return nullptr;
  }

  std::function<void()> body_;
  pthread_t thread_{};
  bool started_ = false;
};

class PosixPlatform final : public Platform {
 public:
  PosixPlatform(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) args_.emplace_back(argv[i]);
    if (argc > 0 && argv[0] != nullptr) {
      program_ = argv[0];
      const size_t slash = program_.rfind('/');
      if (slash != std::string::npos) program_.erase(0, slash + 1);
    }
    if (program_.empty()) program_ = "tabulon";
    tzset();
    ForgetLocalDates();  // they were of the zone before
  }

  CommandLine ReadCommandLine() override {
    CommandLine line;
    line.args = args_;
    return line;
  }

  std::string CurrentDirectory() override {
    std::string buffer(4096, '\0');
    for (;;) {
      if (::getcwd(buffer.data(), buffer.size()) != nullptr) {
        buffer.resize(std::strlen(buffer.c_str()));
        return buffer;
      }
      if (errno != ERANGE) return std::string();
      buffer.resize(buffer.size() * 2);
    }
  }

  char Separator() const override { return '/'; }

  Status OpenDirectory(const std::string& path,
                       std::unique_ptr<Directory>* out) override {
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
#ifdef TABULON_POSIX_PROC_FD
    start->path = PathOf(fd);
#endif
    *out = std::make_unique<PosixDirectory>(fd, listable, std::move(start),
                                            nullptr, std::move(self));
    return Status::Ok();
  }

  LocalDate Today() override { return LocalDateFromSystem(::time(nullptr)); }
  std::uint64_t MonotonicMs() override {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  }

  std::uint64_t ProcessorMs() override {
    struct rusage usage;
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    const auto ms = [](const struct timeval& t) {
      return static_cast<std::uint64_t>(t.tv_sec) * 1000u +
             static_cast<std::uint64_t>(t.tv_usec) / 1000u;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
  }

  std::optional<std::uint64_t> StorageReads() override {
    struct rusage usage;
    if (::getrusage(RUSAGE_SELF, &usage) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(usage.ru_inblock);
  }

  std::uint64_t FreeMemory() override {
    std::uint64_t free = UINT64_MAX;
#ifdef TABULON_POSIX_SYSINFO
    struct sysinfo info;
    if (::sysinfo(&info) == 0) {
      free = (static_cast<std::uint64_t>(info.freeram) + info.bufferram +
              info.freeswap) *
             info.mem_unit;
    }
#elif defined(_SC_AVPHYS_PAGES)
    const long available = ::sysconf(_SC_AVPHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (available > 0 && page_size > 0) {
      free = static_cast<std::uint64_t>(available) *
             static_cast<std::uint64_t>(page_size);
    }
#endif
#ifdef RLIMIT_AS  // not every system limits the address space
    struct rlimit limit;
    if (::getrlimit(RLIMIT_AS, &limit) == 0 &&
        limit.rlim_cur != RLIM_INFINITY) {
      std::uint64_t used = 0;
      if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        unsigned long pages = 0;
        if (std::fscanf(statm, "%lu", &pages) == 1) {
          used = static_cast<std::uint64_t>(pages) *
                 static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        }
        std::fclose(statm);
      }
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 33)
      // What the heap holds free is mapped already and taken again before
      // the heap grows: a directory's buffers freed make room for the
      // next one's, as they do without a limit.
      const std::uint64_t held = mallinfo2().fordblks;
      used -= std::min(used, held);
#endif
      const std::uint64_t left =
          limit.rlim_cur > used ? limit.rlim_cur - used : 0;
      if (left < free) free = left;
    }
#endif
    return std::min(free, ControlGroupRoom());
  }

  // A memory limit of the process's control group (a container): its
  // bytes and the file that tells the group's usage.
  struct GroupLimit {
    std::uint64_t bytes;
    std::string usage;
  };

  // The number a control group file holds; nothing for "max", a file
  // that can't be read, or a v1 "no limit" (near 2^63).
  static std::optional<std::uint64_t> GroupNumber(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return std::nullopt;
    unsigned long long value = 0;
    const bool read = std::fscanf(file, "%llu", &value) == 1;
    std::fclose(file);
    if (!read || value >= (std::uint64_t{1} << 62)) return std::nullopt;
    return value;
  }

  // The limits set on the process's group and on those above it, from
  // /proc/self/cgroup: cgroup v2 (memory.max, memory.current) where it
  // sets one, else v1 (memory.limit_in_bytes, memory.usage_in_bytes).
  static std::vector<GroupLimit> ControlGroupLimits() {
    std::vector<GroupLimit> limits;
    FILE* groups = std::fopen("/proc/self/cgroup", "r");
    if (groups == nullptr) return limits;
    std::string v2, v1;  // the group's path in each hierarchy
    bool in_v1 = false;
    char line[4096];
    while (std::fgets(line, sizeof line, groups) != nullptr) {
      const std::string text(line, std::strcspn(line, "\n"));
      const std::size_t first = text.find(':');
      const std::size_t second = text.find(':', first + 1);
      if (first == std::string::npos || second == std::string::npos) continue;
      const std::string controllers =
          "," + text.substr(first + 1, second - first - 1) + ",";
      if (text.compare(0, first, "0") == 0 && controllers == ",,") {
        v2 = text.substr(second + 1);
      } else if (controllers.find(",memory,") != std::string::npos) {
        v1 = text.substr(second + 1);
        in_v1 = true;
      }
    }
    std::fclose(groups);
    const auto add = [&limits](const std::string& root, std::string group,
                               const char* limit, const char* usage) {
      // Inside a container the group's path may be the host's, and the
      // hierarchy mounted there the container's own group.
      struct stat info;
      if (::stat((root + group).c_str(), &info) != 0) group.clear();
      while (!group.empty() && group.back() == '/') group.pop_back();
      for (;;) {
        const std::string at = root + group + "/";
        if (const auto bytes = GroupNumber(at + limit)) {
          limits.push_back({*bytes, at + usage});
        }
        const std::size_t slash = group.rfind('/');
        if (slash == std::string::npos) break;
        group.erase(slash);
      }
    };
    add("/sys/fs/cgroup", v2, "memory.max", "memory.current");
    if (limits.empty() && in_v1) {
      add("/sys/fs/cgroup/memory", v1, "memory.limit_in_bytes",
          "memory.usage_in_bytes");
    }
    return limits;
  }

  // What the memory limits of the process's control groups leave: the
  // least of limit less usage; UINT64_MAX without one. The limits are read
  // once; the usage, a file read the guard may ask for at every
  // description file, again only after kGroupUsageMs while the room is
  // wide (no single file takes it in that time), else every time.
  static std::uint64_t ControlGroupRoom() {
    static const std::vector<GroupLimit> limits = ControlGroupLimits();
    if (limits.empty()) return UINT64_MAX;
    constexpr std::uint64_t kGroupUsageMs = 20;
    constexpr std::uint64_t kWide = std::uint64_t{256} << 20;
    static std::atomic<std::uint64_t> read_at{0};  // ms, 0: never
    static std::atomic<std::uint64_t> last{0};
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000 +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000 +
                             1;
    const std::uint64_t at = read_at.load(std::memory_order_relaxed);
    if (at != 0 && ms - at < kGroupUsageMs &&
        last.load(std::memory_order_relaxed) >= kWide) {
      return last.load(std::memory_order_relaxed);
    }
    std::uint64_t room = UINT64_MAX;
    for (const GroupLimit& limit : limits) {
      // A usage that can't be read counts as the whole limit used.
      const std::uint64_t used = GroupNumber(limit.usage).value_or(limit.bytes);
      room = std::min(room, limit.bytes > used ? limit.bytes - used : 0);
    }
    last.store(room, std::memory_order_relaxed);
    read_at.store(ms, std::memory_order_relaxed);
    return room;
  }

  int Processors() override {
#ifdef __linux__
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
      const int count = CPU_COUNT(&set);
      if (count > 0) return count;
    }
#endif
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
  }

  std::uint64_t OpenFileRoom() override {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
        limit.rlim_cur == RLIM_INFINITY) {
      return UINT64_MAX;
    }
    const std::uint64_t open = OpenFiles(limit.rlim_cur);
    return limit.rlim_cur > open ? limit.rlim_cur - open : 0;
  }

  Status StartThread(std::size_t stack_bytes, std::function<void()> body,
                     std::unique_ptr<Thread>* out) override {
    auto thread = std::make_unique<PosixThread>(std::move(body));
    const int error = thread->Start(stack_bytes);
    if (error != 0) return FromThreadError(error);
    *out = std::move(thread);
    return Status::Ok();
  }

  std::string ProgramName() override { return program_; }

  std::uintptr_t CodeOffset(const void* address) override {
    Dl_info info;
    if (::dladdr(address, &info) != 0 && info.dli_fbase != nullptr) {
      return reinterpret_cast<std::uintptr_t>(address) -
             reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    }
    return reinterpret_cast<std::uintptr_t>(address);
  }

  void WriteStdout(std::string_view bytes) override {
    WriteAll(STDOUT_FILENO, bytes.data(), bytes.size());
  }
  void WriteStderr(std::string_view bytes) override {
    WriteAll(STDERR_FILENO, bytes.data(), bytes.size());
  }
  bool StderrIsTerminal() override { return ::isatty(STDERR_FILENO) == 1; }
  int TerminalWidth() override {
    struct winsize size;
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0) return size.ws_col;
    return 0;
  }

 private:
  std::vector<std::string> args_;
  std::string program_;
};

#ifdef __GLIBC__
// Grows the heap once by what a large directory needs and asks for that
// part in large pages. A page fault can cost more than the work done on the
// page (on a virtual machine, several microseconds): a directory of 50,000
// files touches some 20 MiB, which in 4 KiB pages took a third of the run.
// Pages are still only taken when touched.
void HeapInLargePages() {
#ifdef MADV_HUGEPAGE
  constexpr std::size_t kLarge = std::size_t{2} << 20;
  constexpr std::size_t kGrowth = std::size_t{32} << 20;
  const std::uintptr_t before = reinterpret_cast<std::uintptr_t>(::sbrk(0));
  mallopt(M_TOP_PAD, static_cast<int>(kGrowth));
  // A block larger than what is left on top makes the heap grow now
  // (volatile: a block that is only freed again may be optimised away).
  void* volatile block = std::malloc(256 << 10);
  std::free(block);
  mallopt(M_TOP_PAD, 0);
  const std::uintptr_t after = reinterpret_cast<std::uintptr_t>(::sbrk(0));
  const std::uintptr_t first = (before + kLarge - 1) & ~(kLarge - 1);
  const std::uintptr_t last = after & ~(kLarge - 1);
  if (before == static_cast<std::uintptr_t>(-1) || last <= first) return;
  ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}
#endif

}  // namespace

std::unique_ptr<Platform> NewPlatform(int argc, char** argv) {
  OpenStandardDescriptors();
#ifdef __GLIBC__
  // A directory's large buffers (its description file, records, index) are
  // freed before the next ones are made: kept in the heap rather than given
  // back, their pages are reused instead of being faulted in anew.
  // (32 MiB is the most glibc takes; it refuses more.)
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  // One heap for every thread, so that the pages freed by one are used by
  // the others (each further arena would also reserve 64 MiB of address
  // space).
  mallopt(M_ARENA_MAX, 1);
  HeapInLargePages();
#endif
  HandleStops();
  NameKey();
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace tabulon
