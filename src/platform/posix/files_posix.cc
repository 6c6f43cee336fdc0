// Files: a description file read, a page written under a temporary name
// and renamed over its target, the directory's time kept.
#include <fcntl.h>
#include <limits.h>
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
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/posix_internal.h"

// The most pieces one call of writev takes.
#if defined(IOV_MAX)
constexpr std::size_t kMostPieces = IOV_MAX;
#else
constexpr std::size_t kMostPieces = 16;  // the least POSIX allows
#endif

namespace tabulon {

// A file of `fd`: regular, or refused with the reason why not. `st` takes
// what the system tells of it.
Status RegularFile(int fd, struct stat* st) {
  if (::fstat(fd, st) != 0) return FromErrno(errno);
  if (S_ISREG(st->st_mode)) return Status::Ok();
  return Status::Failed(S_ISDIR(st->st_mode) ? Reason(EISDIR)
                                             : "not a regular file");
}

namespace {

DirectoryDates& Dates() {
  static DirectoryDates* dates = new DirectoryDates;  // outlives every thread
  return *dates;
}

// The modification time of the directory at `dir`; false when unknown.
bool ModifiedOf(const DirectoryPlace& dir, DirectoryTime* out) {
  struct stat st;
  if (dir.Stat(&st) != 0) return false;
  *out = {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  return true;
}

// Sets the modification time of the directory at `dir`, its access time
// left alone. One opened for search only takes no time through its
// descriptor: it is reached through its name in /proc where there is one,
// and keeps the run's time elsewhere. Only the directory's owner may set
// its times; for anyone else it keeps the run's.
void SetModified(const DirectoryPlace& dir, const DirectoryTime& when) {
  const struct timespec times[2] = {
      {0, UTIME_OMIT}, {static_cast<time_t>(when.seconds), when.fraction}};
  if (!dir.prefix.empty()) {
    ::utimensat(dir.fd(), (dir.prefix + ".").c_str(), times, 0);
    return;
  }
  if (::futimens(dir.fd(), times) == 0 || errno != EBADF) return;
  SetTimesThroughPlace(dir.fd(), times);
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

class PosixOutputFile final : public OutputFile, public PendingFile {
 public:
  // `prefix`: that of the directory's place, before every name in it.
  PosixOutputFile(const std::string& prefix, const std::string& target)
      : temp_(prefix + TemporaryName(target)),
        target_(prefix + target),
        name_(target) {}
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

  // Creates the file in the directory at `place`, which the file holds from
  // then on: without a name when `unseen` and the file system can, else
  // under its temporary name. Returns false with the reason in `error`.
  bool Create(const DirectoryPlace& place, bool unseen, int* error) {
    place_ = place;
    dir_ = place_.fd();
    struct stat st;
    if (place_.Stat(&st) == 0) {
      key_ = {static_cast<std::uint64_t>(st.st_dev),
              static_cast<std::uint64_t>(st.st_ino)};
      // The time before the name made right below: a page costs one call
      // of the system fewer.
      before_ = DirectoryTime{st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
      have_before_ = true;
    }
    // Nothing to remove on a stop until it has a name.
    if (unseen && place_.prefix.empty()) {
      fd_ = CreateUnnamed(dir_);
      if (fd_ >= 0) {
        // Named later, when the time read now may be old.
        have_before_ = false;
        created_ = unnamed_ = true;
        return true;
      }
      // A system or file system without unnamed files: the name is made
      // now.
    }
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
    // An unnamed file is gone once closed: it is named first.
    if (status_.ok() && unnamed_) Name();
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
    if (StopReachesThroughProc()) {
      const int dir = ReopenShared(dir_);
      if (dir < 0) return;
      ::unlinkat(dir, temp_.c_str(), 0);
      ::close(dir);
      return;
    }
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
          if (!have_before_) return ModifiedOf(place_, t);
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
        key_, dated_,
        [this](DirectoryTime* t) { return ModifiedOf(place_, t); },
        [this](const DirectoryTime& t) { SetModified(place_, t); },
        [this, &step] {
          const StopsHeldBack held;
          return Pending().Settle(this, step);
        });
  }

  // Links the unnamed file under a temporary name; another name is taken
  // while one is in the way (someone may make the next name first).
  void Name() {
    for (int attempt = 0;; ++attempt) {
      int error = 0;
      const bool named = NameKeepingDate([this, &error] {
        const StopsHeldBack held;
        return Pending().Add(this, [this, &error] {
          if (NameUnnamed(fd_, dir_, temp_.c_str())) return true;
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
      temp_ = place_.prefix + TemporaryName(name_);
    }
  }

  DirectoryPlace place_;
  int dir_ = -1;  // place_'s descriptor
  int fd_ = -1;
  std::string temp_;  // changed only while the file is not registered
  const std::string target_;
  const std::string name_;  // target_ without the place's prefix
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
    // Holes are looked for only where the file stores much less than its
    // size: most files have none, and then cost no call.
    constexpr off_t kUnstored = off_t{1} << 20;
    holes_ = kFindsHoles && st.st_size - st.st_blocks * off_t{512} > kUnstored;
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
    next_hole_ = 0;
    return Status::Ok();
  }
  std::uint64_t ZerosAhead() override {
    if (!holes_ || position_ < next_hole_) return 0;
    off_t data = 0;
    if (!FindData(fd_, position_, &data, &next_hole_)) {
      holes_ = false;  // the file system can't tell
      return 0;
    }
    return static_cast<std::uint64_t>(data - position_);
  }
  Status Skip(std::uint64_t count) override {
    position_ += static_cast<off_t>(count);
    return Status::Ok();
  }
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
  bool holes_ = false;
  // Where the data ZerosAhead last found ends: no hole begins before it.
  off_t next_hole_ = 0;
};

}  // namespace

void ReadNameKey() { NameKey(); }

std::unique_ptr<InputFile> NewInputFile(int fd, const struct stat& st) {
  return std::make_unique<PosixInputFile>(fd, st);
}

bool PassedOnMode(const InputFile* replaced, std::optional<mode_t>* mode) {
  const auto* file = dynamic_cast<const PosixInputFile*>(replaced);
  if (file == nullptr) return false;
  *mode = file->PassedOnMode();
  return true;
}

Status NewOutputFile(const DirectoryPlace& place, const std::string& name,
                     bool unseen, std::optional<mode_t> mode,
                     std::unique_ptr<OutputFile>* out) {
  for (int attempt = 0;; ++attempt) {
    auto file = std::make_unique<PosixOutputFile>(place.prefix, name);
    int error = 0;
    if (file->Create(place, unseen, &error)) {
      if (mode) file->SetMode(*mode);
      *out = std::move(file);
      return Status::Ok();
    }
    if (error == EEXIST && attempt < kNamesTried) continue;
    return FromErrno(error);
  }
}

}  // namespace tabulon
