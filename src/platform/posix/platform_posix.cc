// The POSIX platform object and its factory; the backend's parts lie in the
// files beside this one (see posix_internal.h).
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/local_dates.h"
#include "platform/posix/posix_internal.h"

namespace tabulon {
namespace {

// strerror_r comes in two kinds: XSI returns an int and fills the buffer,
// GNU returns the text. (strerror itself is not safe on several threads
// everywhere.)
[[maybe_unused]] const char* ReasonText(int, const char* buffer) {
  return buffer;
}
[[maybe_unused]] const char* ReasonText(const char* text, const char*) {
  return text;
}

}  // namespace

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

namespace {

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
    return OpenStartDirectory(path, out);
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

  std::uint64_t FreeMemory() override { return tabulon::FreeMemory(); }

  int Processors() override {
    const int allowed = AffinityProcessors();
    if (allowed > 0) return allowed;
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

}  // namespace

std::unique_ptr<Platform> NewPlatform(int argc, char** argv) {
  OpenStandardDescriptors();
  TuneHeap();
  HandleStops();
  ReadNameKey();
  return std::make_unique<PosixPlatform>(argc, argv);
}

}  // namespace tabulon
