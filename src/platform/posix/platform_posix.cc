// The POSIX backend: every file operation is relative to an open directory
// descriptor, so trees deeper than PATH_MAX are walked without ever building
// (or cutting) a long path.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace tabulon {
namespace {

Status FromErrno(int error) {
  if (error == ENOENT) return Status::NotFound(std::strerror(error));
  return Status::Failed(std::strerror(error));
}

LocalDate ToLocalDate(time_t t) {
  struct tm parts;
  LocalDate date;
  if (localtime_r(&t, &parts) != nullptr) {
    date.year = parts.tm_year + 1900;
    date.month = parts.tm_mon + 1;
    date.day = parts.tm_mday;
  }
  return date;
}

void Fill(const struct stat& st, SearchEntry* entry) {
  if (S_ISDIR(st.st_mode)) entry->Attr |= kAttrDirectory;
  if ((st.st_mode & 0222) == 0) entry->Attr |= kAttrReadOnly;
  entry->Size = S_ISDIR(st.st_mode) ? 0 : static_cast<std::int64_t>(st.st_size);
  entry->Time = ToLocalDate(st.st_mtime);
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

// The temporary page being written, so that SIGINT and SIGTERM can remove it
// before the process dies. Only one page is open at a time.
volatile sig_atomic_t g_temp_active = 0;
int g_temp_dir = -1;
char g_temp_name[64];

void RemoveTempAndDie(int sig) {
  if (g_temp_active) ::unlinkat(g_temp_dir, g_temp_name, 0);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// Holds back the signals that remove the temporary page while one is being
// created and registered: a signal in between would leave it behind.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

class PosixOutputFile final : public OutputFile {
 public:
  PosixOutputFile(std::string temp, std::string target)
      : temp_(std::move(temp)), target_(std::move(target)) {}
  // Takes the directory and the new temporary file and registers the file
  // for removal on a signal. Allocates nothing.
  void Adopt(int dir, int fd) {
    dir_ = dir;
    fd_ = fd;
    g_temp_dir = dir_;
    std::snprintf(g_temp_name, sizeof g_temp_name, "%s", temp_.c_str());
    g_temp_active = 1;
  }
  bool adopted() const { return dir_ >= 0; }
  const std::string& temp() const { return temp_; }
  void SetMode(mode_t mode) { ::fchmod(fd_, mode); }
  ~PosixOutputFile() override {
    if (!adopted()) return;
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlinkat(dir_, temp_.c_str(), 0);
    g_temp_active = 0;
    ::close(dir_);
  }

  Status Write(std::string_view bytes) override {
    if (!status_.ok()) return status_;
    if (!WriteAll(fd_, bytes.data(), bytes.size())) status_ = FromErrno(errno);
    return status_;
  }

  Status Commit() override {
    if (status_.ok() && ::close(fd_) != 0) status_ = FromErrno(errno);
    else if (!status_.ok()) ::close(fd_);
    fd_ = -1;
    if (!status_.ok()) return status_;
    if (::renameat(dir_, temp_.c_str(), dir_, target_.c_str()) != 0) {
      return status_ = FromErrno(errno);
    }
    committed_ = true;
    return status_;
  }

 private:
  int dir_ = -1;
  int fd_ = -1;
  std::string temp_;
  std::string target_;
  Status status_;
  bool committed_ = false;
};

class PosixInputFile final : public InputFile {
 public:
  explicit PosixInputFile(int fd) : fd_(fd) {}
  ~PosixInputFile() override { ::close(fd_); }
  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    *got = 0;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) {
        *got = static_cast<std::size_t>(n);
        return Status::Ok();
      }
      if (errno != EINTR) return FromErrno(errno);
    }
  }
  Status Rewind() override {
    if (::lseek(fd_, 0, SEEK_SET) != 0) return FromErrno(errno);
    return Status::Ok();
  }

 private:
  int fd_;
};

class PosixDirectory final : public Directory {
 public:
  explicit PosixDirectory(int fd) : fd_(fd) {}
  ~PosixDirectory() override { ::close(fd_); }

  Status ReadNames(std::vector<SearchEntry>* entries) override {
    const int fd = ::dup(fd_);
    if (fd < 0) return FromErrno(errno);
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
      const int error = errno;
      ::close(fd);
      return FromErrno(error);
    }
    ::rewinddir(dir);
    Status status;
    // The names first, then the entries in a vector of the right size: a
    // vector grown one entry at a time touches about twice the memory.
    std::string names;  // each name ended by a NUL
    std::size_t count = 0;
    for (;;) {
      errno = 0;
      const struct dirent* d = ::readdir(dir);
      if (d == nullptr) {
        if (errno != 0) status = FromErrno(errno);
        break;
      }
      const char* name = d->d_name;
      if (name[0] == '.' &&
          (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
        continue;
      }
      names.append(name, std::strlen(name) + 1);
      ++count;
    }
    ::closedir(dir);
    entries->reserve(entries->size() + count);
    const char* name = names.data();
    for (; count > 0; --count, name += std::strlen(name) + 1) {
      entries->emplace_back().Name = name;
    }
    return status;
  }

  bool NamesOnly() const override { return true; }

  void FillDetails(SearchEntry* first, SearchEntry* last) override {
    for (SearchEntry* entry = first; entry != last; ++entry) {
      const char* name = entry->Name.c_str();
      struct stat st;
      if (::fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        entry->Gone = true;  // vanished since the directory was read
        continue;
      }
      if (S_ISLNK(st.st_mode)) {
        entry->Attr |= kAttrLink;
        struct stat target;
        if (::fstatat(fd_, name, &target, 0) == 0) st = target;
      }
      Fill(st, entry);
    }
  }

  Status OpenSubdirectory(const std::string& name,
                          std::unique_ptr<Directory>* out) override {
    const int fd = ::openat(fd_, name.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno);
    *out = std::make_unique<PosixDirectory>(fd);
    return Status::Ok();
  }

  Status OpenInput(const std::string& name, Follow follow,
                   std::unique_ptr<InputFile>* out) override {
    // O_NONBLOCK: a FIFO named like a description file must not hang the run.
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC |
                      (follow == Follow::kNever ? O_NOFOLLOW : 0);
    const int fd = ::openat(fd_, name.c_str(), flags);
    if (fd < 0) return FromErrno(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      const int error = errno;
      ::close(fd);
      return FromErrno(error);
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      return Status::Failed(S_ISDIR(st.st_mode) ? std::strerror(EISDIR)
                                                : "not a regular file");
    }
    *out = std::make_unique<PosixInputFile>(fd);
    return Status::Ok();
  }

  Status CreateOutput(const std::string& name,
                      std::unique_ptr<OutputFile>* out) override {
    const int dir = ::dup(fd_);
    if (dir < 0) return FromErrno(errno);
    // A page that is replaced keeps its permissions; a new one gets those of
    // any newly created file.
    struct stat old;
    const bool replaces = ::fstatat(dir, name.c_str(), &old, 0) == 0 &&
                          S_ISREG(old.st_mode);
    for (int attempt = 0;; ++attempt) {
      // Everything that may throw comes before the file exists on disk.
      auto file = std::make_unique<PosixOutputFile>(
          "." + name + "." + std::to_string(::getpid()) + "." +
              std::to_string(attempt) + ".tmp",
          name);
      int error = 0;
      {
        SignalsHeld held;
        const int fd = ::openat(dir, file->temp().c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
          file->Adopt(dir, fd);
        } else {
          error = errno;
        }
      }
      if (!file->adopted()) {
        if (error == EEXIST && attempt < 100) continue;
        ::close(dir);
        return FromErrno(error);
      }
      if (replaces) file->SetMode(old.st_mode & 07777);
      *out = std::move(file);
      return Status::Ok();
    }
  }

 private:
  int fd_;
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
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = RemoveTempAndDie;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    tzset();
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
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno);
    *out = std::make_unique<PosixDirectory>(fd);
    return Status::Ok();
  }

  LocalDate Today() override { return ToLocalDate(::time(nullptr)); }
  std::uint64_t MonotonicMs() override {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  }

  std::uint64_t FreeMemory() override {
    struct sysinfo info;
    std::uint64_t free = UINT64_MAX;
    if (::sysinfo(&info) == 0) {
      free = (static_cast<std::uint64_t>(info.freeram) + info.bufferram +
              info.freeswap) * info.mem_unit;
    }
    struct rlimit limit;
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
      std::uint64_t used = 0;
      if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        unsigned long pages = 0;
        if (std::fscanf(statm, "%lu", &pages) == 1) {
          used = static_cast<std::uint64_t>(pages) *
                 static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
        }
        std::fclose(statm);
      }
      const std::uint64_t left = limit.rlim_cur > used ? limit.rlim_cur - used : 0;
      if (left < free) free = left;
    }
    return free;
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

}  // namespace

std::unique_ptr<Platform> NewPlatform(int argc, char** argv) {
#ifdef __GLIBC__
  // A directory's large buffers (its description file, records, index) are
  // freed before the next ones are made: kept in the heap rather than given
  // back, their pages are reused instead of being faulted in anew.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  // One heap for both threads of a large directory, so that the pages freed
  // by one are used by the other (a second arena would also reserve 64 MiB
  // of address space).
  mallopt(M_ARENA_MAX, 1);
#endif
  // Under a file-size limit a write past it fails with EFBIG and is
  // reported, the previous page kept, instead of the signal ending the run
  // with a temporary page left behind.
  ::signal(SIGXFSZ, SIG_IGN);
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace tabulon
