// The Windows backend. Wide calls only; names are converted at this boundary
// (see utf16_win32.h). A directory keeps its absolute path in the \\?\ form,
// so every call works past MAX_PATH and no DOS device name (CON, NUL) or
// trailing dot is reinterpreted.
#include <process.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cwctype>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/directory_dates.h"
#include "platform/pending_files.h"
#include "platform/platform.h"
#include "platform/win32/utf16_win32.h"

namespace tabulon {
namespace {

std::string SystemReason(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring reason(text != nullptr ? text : L"", length);
  LocalFree(text);
  // The messages end in ".\r\n"; a report line has its own end.
  while (!reason.empty() && (reason.back() == L'\n' || reason.back() == L'\r' ||
                             reason.back() == L' ' || reason.back() == L'.')) {
    reason.pop_back();
  }
  if (reason.empty()) return "Windows error " + std::to_string(error);
  return Utf16ToUtf8(reason);
}

Status FromError(DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return Status::NotFound(SystemReason(error));
  }
  if (error == ERROR_TOO_MANY_OPEN_FILES ||
      error == ERROR_NO_SYSTEM_RESOURCES || error == ERROR_NOT_ENOUGH_MEMORY ||
      error == ERROR_OUTOFMEMORY) {
    return Status::NoRoom(SystemReason(error));
  }
  return Status::Failed(SystemReason(error));
}

Status LastError() { return FromError(GetLastError()); }

// A symbolic link, junction or mounted volume: a name that stands for
// another place. Other reparse points (cloud files, deduplicated files) are
// ordinary files and directories to the user and are entered.
bool IsNameSurrogate(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         IsReparseTagNameSurrogate(tag);
}

LocalDate ToLocalDate(const FILETIME& time) {
  SYSTEMTIME utc;
  SYSTEMTIME local;
  LocalDate date;
  if (!FileTimeToSystemTime(&time, &utc)) return date;
  // Unlike FileTimeToLocalFileTime, this applies the daylight rule in force
  // on that date, not today's.
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
  date.year = local.wYear;
  date.month = local.wMonth;
  date.day = local.wDay;
  if (date.year > 9999) date = LocalDate{9999, 12, 31};
  return date;
}

// Seconds since 1970-01-01T00:00:00Z; FILETIME counts 100 ns from 1601.
std::int64_t ToUnixSeconds(const FILETIME& time) {
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
      time.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL;
}

std::int64_t ToSize(DWORD high, DWORD low) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) |
                                   low);
}

// An absolute path in the \\?\ form.
Status ExtendedPath(const std::wstring& path, std::wstring* out) {
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFullPathNameW(
        path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) return LastError();
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);
  }
  if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) {
    *out = full;
  } else if (full.rfind(L"\\\\", 0) == 0) {
    *out = L"\\\\?\\UNC\\" + full.substr(2);
  } else {
    *out = L"\\\\?\\" + full;
  }
  return Status::Ok();
}

constexpr char kNotFollowed[] = "Is a link; links are not followed";
constexpr char kLeadsOutside[] =
    "Is a link that leads outside the start directory";
constexpr char kLeadsNowhereKnown[] =
    "Is a link, and where it leads cannot be told";

// The path the system gives an open file or directory, every link resolved
// (\\?\C:\... or \\?\UNC\...); empty when it gives none.
std::wstring FinalPath(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(
        handle, path.data(), static_cast<DWORD>(path.size()),
        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return std::wstring();
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);  // the length asked for, terminator included
  }
}

// Whether `path` lies below `start`, compared as Windows compares names.
bool Below(const std::wstring& path, const std::wstring& start) {
  const std::size_t n = start.size();
  return !start.empty() && path.size() > n &&
         CompareStringOrdinal(path.data(), static_cast<int>(n), start.data(),
                              static_cast<int>(n), TRUE) == CSTR_EQUAL &&
         (start.back() == L'\\' || path[n] == L'\\');
}

// Temporary pages not yet committed, so that Ctrl-C, Ctrl-Break or closing
// the console removes them before the process ends. The handler runs on a
// thread of its own.
PendingFiles& Pending() {
  static PendingFiles* pending = new PendingFiles;  // outlives every handle
  return *pending;
}

BOOL WINAPI OnConsoleStop(DWORD) {
  Pending().RemoveAllAndHold();
  return FALSE;  // the default handler ends the process
}

std::atomic<unsigned long> g_serial{0};  // tells temporary names apart

// Two renames over one target at once may fail with "access denied", the
// target being replaced by the other: those over one target take turns.
std::mutex& TargetTurn(const std::wstring& target) {
  static std::mutex turns[64];
  std::size_t hash = 0;
  for (const wchar_t c : target) hash = hash * 31 + std::towupper(c);
  return turns[hash % 64];
}

DirectoryDates& Dates() {
  static DirectoryDates* dates = new DirectoryDates;  // outlives every thread
  return *dates;
}

bool LastWriteOf(HANDLE dir, DirectoryTime* out) {
  FILETIME time;
  if (!GetFileTime(dir, nullptr, nullptr, &time)) return false;
  *out = {static_cast<std::int64_t>(time.dwHighDateTime),
          static_cast<std::int64_t>(time.dwLowDateTime)};
  return true;
}

// Only who may change the directory's attributes can set its time; for
// anyone else it keeps the run's.
void SetLastWrite(HANDLE dir, const DirectoryTime& when) {
  FILETIME time;
  time.dwHighDateTime = static_cast<DWORD>(when.seconds);
  time.dwLowDateTime = static_cast<DWORD>(when.fraction);
  SetFileTime(dir, nullptr, nullptr, &time);
}

bool WriteAllTo(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(
        bytes.size() < (1u << 30) ? bytes.size() : (1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), chunk, &written, nullptr)) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

class Win32OutputFile final : public OutputFile, public PendingFile {
 public:
  Win32OutputFile(std::wstring temp, std::wstring target)
      : temp_(std::move(temp)), target_(std::move(target)) {}

  ~Win32OutputFile() override {
    if (created_) {  // else the temporary name may be another's
      if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
      if (!committed_) {
        Unname([this] {
          DeleteFileW(temp_.c_str());
          return true;
        });
      }
    }
    if (directory_ != INVALID_HANDLE_VALUE) CloseHandle(directory_);
  }

  // Creates the temporary file in `directory` (a path ending in a
  // backslash); false with the system's error in `error`.
  bool Create(const std::wstring& directory, DWORD* error) {
    // Held to read and put back the directory's time; without it the
    // time is left as the system sets it.
    directory_ = CreateFileW(
        directory.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = directory_ != INVALID_HANDLE_VALUE &&
                       GetFileInformationByHandle(directory_, &info);
    if (known) {
      key_ = {info.dwVolumeSerialNumber,
              (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
                  info.nFileIndexLow};
    }
    const auto create = [this, error] {
      return Pending().Add(this, [this, error] {
        // Shared for deletion, so that a stop can remove the name while
        // the file is open.
        handle_ = CreateFileW(temp_.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) *error = GetLastError();
        return handle_ != INVALID_HANDLE_VALUE;
      });
    };
    created_ = known ? Dates().Name(
                           key_, &dated_,
                           [this](DirectoryTime* t) {
                             return LastWriteOf(directory_, t);
                           },
                           create)
                     : create();
    return created_;
  }

  Status Write(std::string_view bytes) override {
    if (!status_.ok()) return status_;
    if (!WriteAllTo(handle_, bytes)) status_ = LastError();
    return status_;
  }

  Status Commit() override {
    const bool closed = CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    if (status_.ok() && !closed) status_ = LastError();
    if (!status_.ok()) return status_;
    DWORD error = 0;
    committed_ = Unname([this, &error] {
      std::lock_guard<std::mutex> turn(TargetTurn(target_));
      if (MoveFileExW(temp_.c_str(), target_.c_str(),
                      MOVEFILE_REPLACE_EXISTING)) {
        return true;
      }
      error = GetLastError();
      return false;
    });
    if (!committed_) status_ = FromError(error);
    return status_;
  }

  // The data goes when the last handle closes; the name goes now.
  void RemoveForStop() override { DeleteFileW(temp_.c_str()); }

 private:
  // Takes the name away through the pending files (`step`: a rename or a
  // removal), then gives the directory back the time it had before.
  template <typename Step>
  bool Unname(Step step) {
    return Dates().Unname(
        key_, dated_,
        [this](DirectoryTime* t) { return LastWriteOf(directory_, t); },
        [this](const DirectoryTime& t) { SetLastWrite(directory_, t); },
        [this, &step] { return Pending().Settle(this, step); });
  }

  HANDLE directory_ = INVALID_HANDLE_VALUE;
  DirectoryKey key_;
  bool dated_ = false;  // whether Unname puts the directory's time back
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  const std::wstring temp_;
  const std::wstring target_;
  Status status_;
  bool created_ = false;
  bool committed_ = false;
};

class Win32InputFile final : public InputFile {
 public:
  // `own`: whether the file is the page's alone, with no other name.
  Win32InputFile(HANDLE file, bool own) : file_(file), own_(own) {}
  ~Win32InputFile() override { CloseHandle(file_); }
  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    const DWORD chunk =
        static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
    DWORD read = 0;
    *got = 0;
    if (!ReadFile(file_, buffer, chunk, &read, nullptr)) return LastError();
    *got = read;
    return Status::Ok();
  }
  Status Rewind() override {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN)) return LastError();
    return Status::Ok();
  }
  bool OwnedByRun() const override { return own_; }

 private:
  HANDLE file_;
  bool own_;
};

class Win32Directory final : public Directory {
 public:
  // `path` is in the \\?\ form and ends in a backslash; `start` is the
  // final path of the start directory of its tree (empty when unknown);
  // `depth`: how many names below the start directory it lies.
  Win32Directory(std::wstring path, std::shared_ptr<const std::wstring> start,
                 std::size_t depth = 0)
      : path_(std::move(path)), start_(std::move(start)), depth_(depth) {}

  Status ReadNames(std::vector<SearchEntry>* entries) override {
    WIN32_FIND_DATAW data;
    const HANDLE search = FindFirstFileExW(
        (path_ + L"*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
        nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
      // A root directory has no "." or "..", so it may have no entry at all.
      const DWORD error = GetLastError();
      return error == ERROR_FILE_NOT_FOUND ? Status::Ok() : FromError(error);
    }
    Status status;
    do {
      const std::wstring_view name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      entries->push_back(ToEntry(data));
    } while (FindNextFileW(search, &data));
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) status = FromError(error);
    FindClose(search);
    return status;
  }

  Status OpenSubdirectory(const std::string& name,
                          std::unique_ptr<Directory>* out) override {
    const std::wstring path = path_ + Utf8ToUtf16(name);
    WIN32_FIND_DATAW data;
    // The search, unlike GetFileAttributesW, also gives the reparse tag.
    const HANDLE search = FindFirstFileExW(path.c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return LastError();
    FindClose(search);
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return FromError(ERROR_DIRECTORY);
    }
    if (IsNameSurrogate(data.dwFileAttributes, data.dwReserved0)) {
      return Status::Failed("Is a link; links are not followed");
    }
    *out = std::make_unique<Win32Directory>(path + L"\\", start_, depth_ + 1);
    return Status::Ok();
  }

  Status OpenParent(std::unique_ptr<Directory>* out) override {
    // Reached by its path, like every directory here: the one above is that
    // path less its last name, never above the start directory.
    if (depth_ == 0) return Status::Failed("the way up is unknown");
    const std::size_t last = path_.find_last_of(L'\\', path_.size() - 2);
    *out = std::make_unique<Win32Directory>(path_.substr(0, last + 1), start_,
                                            depth_ - 1);
    return Status::Ok();
  }

  Status OpenInput(const std::string& name, Follow follow,
                   std::unique_ptr<InputFile>* out) override {
    const std::wstring path = path_ + Utf8ToUtf16(name);
    // The name itself first, so that a link shows as one.
    HANDLE file = OpenForReading(path, FILE_FLAG_OPEN_REPARSE_POINT);
    if (file == INVALID_HANDLE_VALUE) return LastError();
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) {
      const Status status = LastError();
      CloseHandle(file);
      return status;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      FILE_ATTRIBUTE_TAG_INFO tag;
      // Without the tag, taken for a link.
      const bool link = !GetFileInformationByHandleEx(
                            file, FileAttributeTagInfo, &tag, sizeof tag) ||
                        IsNameSurrogate(tag.FileAttributes, tag.ReparseTag);
      CloseHandle(file);
      if (link && follow == Follow::kNever) return Status::Failed(kNotFollowed);
      // Other reparse points (deduplicated or cloud files) are read as what
      // they stand for. Either way the file opened now is the one judged,
      // so changing the name meanwhile gains nothing.
      file = OpenForReading(path, 0);
      if (file == INVALID_HANDLE_VALUE) return LastError();
      Status status = InsideTree(file);
      if (status.ok() && !GetFileInformationByHandle(file, &info)) {
        status = LastError();
      }
      if (!status.ok()) {
        CloseHandle(file);
        return status;
      }
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      CloseHandle(file);
      return Status::Failed("Is a directory");
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
      CloseHandle(file);
      return Status::Failed("not a regular file");
    }
    *out = std::make_unique<Win32InputFile>(file, info.nNumberOfLinks == 1);
    return Status::Ok();
  }

  // New files take the directory's access control, whoever made the page
  // replaced, and a temporary file is made at once whatever `unseen` asks.
  Status CreateOutput(const std::string& name, const OutputOptions&,
                      std::unique_ptr<OutputFile>* out) override {
    const std::wstring target = path_ + Utf8ToUtf16(name);
    const std::wstring prefix = path_ + L"." + Utf8ToUtf16(name) + L"." +
                                std::to_wstring(GetCurrentProcessId()) + L".";
    for (int attempt = 0;; ++attempt) {
      // Everything that may throw comes before the file exists on disk.
      auto output = std::make_unique<Win32OutputFile>(
          prefix + std::to_wstring(g_serial.fetch_add(1)) + L".tmp", target);
      DWORD error = 0;
      if (output->Create(path_, &error)) {
        *out = std::move(output);
        return Status::Ok();
      }
      if (error == ERROR_FILE_EXISTS && attempt < 100) continue;
      return FromError(error);
    }
  }

 private:
  SearchEntry ToEntry(const WIN32_FIND_DATAW& data) const {
    SearchEntry entry;
    entry.Name = Utf16ToUtf8(data.cFileName);
    entry.Attr =
        data.dwFileAttributes & (kAttrReadOnly | kAttrHidden | kAttrSystem |
                                 kAttrDirectory | kAttrArchive);
    FILETIME time = data.ftLastWriteTime;
    entry.Size = ToSize(data.nFileSizeHigh, data.nFileSizeLow);
    if (IsNameSurrogate(data.dwFileAttributes, data.dwReserved0)) {
      entry.Attr |= kAttrLink;
      // The search describes the link itself; a link to a file shows its
      // target's size and date, a dangling one its own.
      const HANDLE target = CreateFileW(
          (path_ + data.cFileName).c_str(), FILE_READ_ATTRIBUTES,
          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      BY_HANDLE_FILE_INFORMATION info;
      if (target != INVALID_HANDLE_VALUE) {
        if (GetFileInformationByHandle(target, &info)) {
          time = info.ftLastWriteTime;
          entry.Size = ToSize(info.nFileSizeHigh, info.nFileSizeLow);
        }
        CloseHandle(target);
      }
    }
    if (entry.IsDirectory()) entry.Size = 0;
    entry.Time = ToLocalDate(time);
    entry.Modified = ToUnixSeconds(time);
    return entry;
  }

  // Backup semantics let a directory open too, so that it is refused with
  // a reason of its own instead of "access denied".
  static HANDLE OpenForReading(const std::wstring& path, DWORD flags) {
    return CreateFileW(
        path.c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN | flags,
        nullptr);
  }

  // Whether the open `file` lies inside the start directory's tree.
  Status InsideTree(HANDLE file) const {
    const std::wstring path = FinalPath(file);
    if (path.empty() || start_->empty()) {
      return Status::Failed(kLeadsNowhereKnown);
    }
    if (!Below(path, *start_)) return Status::Failed(kLeadsOutside);
    return Status::Ok();
  }

  const std::wstring path_;
  const std::shared_ptr<const std::wstring> start_;
  const std::size_t depth_;
};

class Win32Thread final : public Thread {
 public:
  explicit Win32Thread(std::function<void()> body) : body_(std::move(body)) {}
  ~Win32Thread() override {
    if (handle_ == nullptr) return;
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
  }

  // The C runtime's own start, so that its per-thread state is set up and
  // freed; the size reserves the stack rather than committing it.
  Status Start(std::size_t stack_bytes) {
    SetLastError(ERROR_SUCCESS);
    errno = 0;
    handle_ = reinterpret_cast<HANDLE>(_beginthreadex(
        nullptr, static_cast<unsigned>(stack_bytes), &Win32Thread::Enter, this,
        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (handle_ != nullptr) return Status::Ok();
    const int error = errno;
    const DWORD system = GetLastError();
    if (system != ERROR_SUCCESS) return FromError(system);
    return error == EAGAIN || error == ENOMEM
               ? Status::NoRoom("no room for another thread")
               : Status::Failed("a thread could not be started");
  }

 private:
  static unsigned __stdcall Enter(void* self) {
    static_cast<Win32Thread*>(self)->body_();
    return 0;
  }

  std::function<void()> body_;
  HANDLE handle_ = nullptr;
};

// A process may hold some sixteen million handles; no setting lowers that.
constexpr std::uint64_t kHandleLimit = std::uint64_t{1} << 24;

class Win32Platform final : public Platform {
 public:
  Win32Platform() {
    static const bool installed = SetConsoleCtrlHandler(OnConsoleStop, TRUE);
    (void)installed;
  }

  CommandLine ReadCommandLine() override {
    CommandLine line;
    line.one_string = true;
    line.line = Utf16ToUtf8(::GetCommandLineW());
    return line;
  }

  std::string CurrentDirectory() override {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length =
          GetCurrentDirectoryW(static_cast<DWORD>(path.size()), path.data());
      if (length == 0) return std::string();
      if (length < path.size()) {
        path.resize(length);
        return Utf16ToUtf8(path);
      }
      path.resize(length);
    }
  }

  char Separator() const override { return '\\'; }

  Status OpenDirectory(const std::string& path,
                       std::unique_ptr<Directory>* out) override {
    std::wstring full;
    const Status status = ExtendedPath(Utf8ToUtf16(path), &full);
    if (!status.ok()) return status;
    const DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return FromError(ERROR_DIRECTORY);
    }
    if (full.back() != L'\\') full.push_back(L'\\');
    // Its final path tells whether a link leads inside the tree. No right is
    // asked for, so a directory whose listing is denied opens too.
    auto start = std::make_shared<std::wstring>();
    const HANDLE dir = CreateFileW(
        full.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir != INVALID_HANDLE_VALUE) {
      *start = FinalPath(dir);
      CloseHandle(dir);
    }
    *out = std::make_unique<Win32Directory>(full, std::move(start));
    return Status::Ok();
  }

  std::uint64_t MonotonicMs() override { return GetTickCount64(); }

  std::uint64_t ProcessorMs() override {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel,
                         &user)) {
      return 0;
    }
    // In units of 100 ns.
    const auto ms = [](const FILETIME& t) {
      return ((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
              t.dwLowDateTime) /
             10000u;
    };
    return ms(kernel) + ms(user);
  }

  LocalDate Today() override {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LocalDate{now.wYear, now.wMonth, now.wDay};
  }

  std::uint64_t FreeMemory() override {
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    // Unknown is no reason to refuse memory; a real shortage still throws.
    if (!GlobalMemoryStatusEx(&status)) {
      return std::numeric_limits<std::uint64_t>::max();
    }
    return status.ullAvailPhys < status.ullAvailVirtual
               ? status.ullAvailPhys
               : status.ullAvailVirtual;
  }

  int Processors() override {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) &&
        process != 0) {
      int count = 0;
      for (; process != 0; process &= process - 1) ++count;
      return count;
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0
               ? static_cast<int>(info.dwNumberOfProcessors)
               : 1;
  }

  std::uint64_t OpenFileRoom() override {
    DWORD open = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &open)) return kHandleLimit;
    return kHandleLimit > open ? kHandleLimit - open : 0;
  }

  Status StartThread(std::size_t stack_bytes, std::function<void()> body,
                     std::unique_ptr<Thread>* out) override {
    auto thread = std::make_unique<Win32Thread>(std::move(body));
    const Status status = thread->Start(stack_bytes);
    if (status.ok()) *out = std::move(thread);
    return status;
  }

  std::string ProgramName() override {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length = GetModuleFileNameW(nullptr, path.data(),
                                              static_cast<DWORD>(path.size()));
      if (length == 0) return "tabulon.exe";
      if (length < path.size()) {
        path.resize(length);
        break;
      }
      path.resize(path.size() * 2);
    }
    const std::size_t slash = path.find_last_of(L"\\/");
    if (slash != std::wstring::npos) path.erase(0, slash + 1);
    return Utf16ToUtf8(path);
  }

  std::uintptr_t CodeOffset(const void* address) override {
    return reinterpret_cast<std::uintptr_t>(address) -
           reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
  }

  void WriteStdout(std::string_view bytes) override {
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
      WriteAllTo(handle, bytes);
    }
  }

  void WriteStderr(std::string_view bytes) override {
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode;
    if (!GetConsoleMode(handle, &mode)) {
      WriteAllTo(handle, bytes);
      return;
    }
    // A console shows bytes in its own code page; names in a report are
    // UTF-8, so it gets them as UTF-16.
    std::wstring text = Utf8ToUtf16(bytes);
    std::wstring_view rest = text;
    while (!rest.empty()) {
      const DWORD chunk =
          static_cast<DWORD>(rest.size() < 16384 ? rest.size() : 16384);
      DWORD written = 0;
      if (!WriteConsoleW(handle, rest.data(), chunk, &written, nullptr) ||
          written == 0) {
        return;
      }
      rest.remove_prefix(written);
    }
  }

  bool StderrIsTerminal() override {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
  }

  int TerminalWidth() override {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
      return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
  }
};

}  // namespace

std::unique_ptr<Platform> NewPlatform(int, char**) {
  return std::make_unique<Win32Platform>();
}

}  // namespace tabulon
