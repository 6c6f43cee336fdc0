// The Windows backend. Wide calls only; names are converted at this boundary
// (see utf16_win32.h). A directory is held open, and what lies in it is
// opened relative to that handle, never by a path resolved again: an
// uploader who swaps a directory, or one above it, for a junction while the
// run is inside gains nothing, and no DOS device name (CON, NUL), trailing
// dot or wildcard in a name is reinterpreted.
#include <process.h>
#include <windows.h>
#include <winternl.h>

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

#include "common/chain_release.h"
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

constexpr ULONG kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens `name` in the open directory `dir` (an empty name: `dir` itself
// again), as the system's own calls would with the \\?\ form; the handle
// is for synchronous calls. INVALID_HANDLE_VALUE with the system's error in
// `error` when it can't.
HANDLE OpenIn(HANDLE dir, const std::wstring& name, ACCESS_MASK access,
              ULONG share, ULONG disposition, ULONG options, DWORD* error) {
  if (name.size() > 32767) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return INVALID_HANDLE_VALUE;
  }
  UNICODE_STRING object;
  object.Buffer = const_cast<wchar_t*>(name.data());
  object.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  object.MaximumLength = object.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &object, OBJ_CASE_INSENSITIVE, dir,
                             nullptr);
  // A link an uploader made may lead to a named pipe: its server may learn
  // who runs the program, but never act as them.
  SECURITY_QUALITY_OF_SERVICE quality;
  quality.Length = sizeof quality;
  quality.ImpersonationLevel = SecurityIdentification;
  quality.ContextTrackingMode = SECURITY_STATIC_TRACKING;
  quality.EffectiveOnly = TRUE;
  attributes.SecurityQualityOfService = &quality;
  IO_STATUS_BLOCK io;
  HANDLE handle = INVALID_HANDLE_VALUE;
  const NTSTATUS status = NtCreateFile(
      &handle, access | SYNCHRONIZE, &attributes, &io, nullptr,
      FILE_ATTRIBUTE_NORMAL, share, disposition,
      options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT,
      nullptr, 0);
  if (!NT_SUCCESS(status)) {
    *error = RtlNtStatusToDosError(status);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

// Where a directory lies: the volume and the file's number on it.
DirectoryKey KeyOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) |
              info.nFileIndexLow};
}

// A symbolic link, junction or mounted volume: a name that stands for
// another place. Other reparse points (cloud files, deduplicated files) are
// ordinary files and directories to the user and are entered.
bool IsNameSurrogate(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         IsReparseTagNameSurrogate(tag);
}

// Whether the open `handle`, with these attributes, is such a name; one
// whose tag can't be read is taken for one.
bool IsNameSurrogate(HANDLE handle, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  FILE_ATTRIBUTE_TAG_INFO tag;
  return !GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag,
                                       sizeof tag) ||
         IsNameSurrogate(tag.FileAttributes, tag.ReparseTag);
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
  if (full.rfind(L"\\\\?\\", 0) == 0) {
    *out = full;
  } else if (full.rfind(L"\\\\.\\", 0) == 0) {
    // Paths in this form are still normalized: "x." would reach "x".
    *out = L"\\\\?\\" + full.substr(4);
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

// The system's random source (advapi32's RtlGenRandom), which its headers
// declare only under another name.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

// A hidden name for a page being written over `target`, its middle one
// nobody can foretell: an uploader can't make the names in advance.
std::wstring TemporaryName(const std::wstring& target) {
  static std::atomic<std::uint64_t> serial{0};
  std::uint64_t part = 0;
  if (!SystemFunction036(&part, sizeof part)) {
    // No random source: taken names are still passed over.
    part = (std::uint64_t{GetCurrentProcessId()} << 32) ^ GetTickCount64() ^
           (serial.fetch_add(1) * 0x9E3779B97F4A7C15u);
  }
  wchar_t hex[17];
  for (int i = 0; i < 16; ++i) {
    hex[i] = L"0123456789abcdef"[(part >> (60 - 4 * i)) & 0xF];
  }
  hex[16] = L'\0';
  return L"." + target + L"." + hex + L".tmp";
}

// How many names are tried for a temporary page while each is taken. With
// unforeseeable names, one is taken only by chance; this bounds only a file
// system that calls every name taken.
constexpr int kNamesTried = 1000;

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
  // `name`: the page's name in the directory; `turn`: a path naming it, by
  // which renames over one target take turns.
  Win32OutputFile(std::wstring temp, std::wstring name, std::wstring turn)
      : temp_(std::move(temp)),
        name_(std::move(name)),
        turn_(std::move(turn)) {}

  ~Win32OutputFile() override {
    if (created_ && !committed_) {  // else the temporary name may be another's
      Unname([this] {
        Discard();
        return true;
      });
    }
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    if (directory_ != INVALID_HANDLE_VALUE) CloseHandle(directory_);
    if (dated_directory_ != INVALID_HANDLE_VALUE) {
      CloseHandle(dated_directory_);
    }
  }

  // Creates the temporary file in the open directory `dir`; false with the
  // system's error in `error`.
  bool Create(HANDLE dir, DWORD* error) {
    // A handle of its own, for the page may outlive the directory.
    if (!DuplicateHandle(GetCurrentProcess(), dir, GetCurrentProcess(),
                         &directory_, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
      directory_ = INVALID_HANDLE_VALUE;
      *error = GetLastError();
      return false;
    }
    // Held to read and put back the directory's time; without it the
    // time is left as the system sets it.
    DWORD ignored = 0;
    dated_directory_ = OpenIn(
        dir, std::wstring(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
        kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &ignored);
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = dated_directory_ != INVALID_HANDLE_VALUE &&
                       GetFileInformationByHandle(dated_directory_, &info);
    if (known) key_ = KeyOf(info);
    const auto create = [this, error] {
      return Pending().Add(this, [this, error] {
        // Renamed and, if need be, removed through this handle.
        handle_ = OpenIn(directory_, temp_, GENERIC_WRITE | DELETE,
                         FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_CREATE,
                         FILE_NON_DIRECTORY_FILE, error);
        return handle_ != INVALID_HANDLE_VALUE;
      });
    };
    created_ = known ? Dates().Name(
                           key_, &dated_,
                           [this](DirectoryTime* t) {
                             return LastWriteOf(dated_directory_, t);
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
    if (!status_.ok()) return status_;
    DWORD error = 0;
    committed_ = Unname([this, &error] {
      std::lock_guard<std::mutex> turn(TargetTurn(turn_));
      // In the directory the page was begun in, wherever its path leads now.
      std::vector<std::uint64_t> buffer(
          (sizeof(FILE_RENAME_INFORMATION) + name_.size() * sizeof(wchar_t)) /
              8 +
          1);
      auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
      rename->ReplaceIfExists = TRUE;
      rename->RootDirectory = directory_;
      rename->FileNameLength =
          static_cast<ULONG>(name_.size() * sizeof(wchar_t));
      name_.copy(rename->FileName, name_.size());
      IO_STATUS_BLOCK io;
      const NTSTATUS status = NtSetInformationFile(
          handle_, &io, rename,
          static_cast<ULONG>(buffer.size() * sizeof(std::uint64_t)),
          FileRenameInformation);
      if (!NT_SUCCESS(status)) {
        error = RtlNtStatusToDosError(status);
        return false;
      }
      // Closed before the next rename over the page: an open page can't be
      // replaced.
      if (!CloseHandle(handle_)) error = GetLastError();
      handle_ = INVALID_HANDLE_VALUE;
      return true;
    });
    if (!committed_ || error != 0) status_ = FromError(error);
    return status_;
  }

  // The name goes when the process ends and its handles close.
  void RemoveForStop() override { MarkForRemoval(); }

 private:
  void MarkForRemoval() {
    FILE_DISPOSITION_INFO removal;
    removal.DeleteFile = TRUE;
    SetFileInformationByHandle(handle_, FileDispositionInfo, &removal,
                               sizeof removal);
  }

  // Removes the temporary file: its name goes as its handle closes.
  void Discard() {
    MarkForRemoval();
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  // Takes the name away through the pending files (`step`: a rename or a
  // removal), then gives the directory back the time it had before.
  template <typename Step>
  bool Unname(Step step) {
    return Dates().Unname(
        key_, dated_,
        [this](DirectoryTime* t) { return LastWriteOf(dated_directory_, t); },
        [this](const DirectoryTime& t) { SetLastWrite(dated_directory_, t); },
        [this, &step] { return Pending().Settle(this, step); });
  }

  HANDLE directory_ = INVALID_HANDLE_VALUE;
  HANDLE dated_directory_ = INVALID_HANDLE_VALUE;
  DirectoryKey key_;
  bool dated_ = false;  // whether Unname puts the directory's time back
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  const std::wstring temp_;
  const std::wstring name_;
  const std::wstring turn_;
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

// A directory as it was reached: where it lies, and the same of the one it
// was reached from (none for the start directory).
struct Lineage {
  ~Lineage() { ReleaseChain(std::move(up), &Lineage::up); }
  DirectoryKey key;
  std::shared_ptr<const Lineage> up;
};

// Opens the directory `name` in `dir` (through a path when `dir` is null)
// to open what lies in it; no right to list it is asked for, so one that may
// be entered but not read opens too, and reading its names then fails with
// the reason.
HANDLE OpenDirectoryIn(HANDLE dir, const std::wstring& name, ULONG options,
                       DWORD* error) {
  const ACCESS_MASK access = FILE_TRAVERSE | FILE_READ_ATTRIBUTES;
  if (dir != nullptr) {
    return OpenIn(dir, name, access, kShareAll, FILE_OPEN,
                  FILE_DIRECTORY_FILE | options, error);
  }
  const HANDLE handle = CreateFileW(
      name.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | ((options & FILE_OPEN_REPARSE_POINT) != 0
                                        ? FILE_FLAG_OPEN_REPARSE_POINT
                                        : 0),
      nullptr);
  if (handle == INVALID_HANDLE_VALUE) *error = GetLastError();
  return handle;
}

class Win32Directory final : public Directory {
 public:
  // `handle`: the directory, open; `path`: where it was reached, in the
  // \\?\ form and ending in a backslash (only the way up takes it, and
  // checks what it finds there); `start`: the final path of the start
  // directory of its tree (empty when unknown).
  Win32Directory(HANDLE handle, std::wstring path,
                 std::shared_ptr<const std::wstring> start,
                 std::shared_ptr<const Lineage> lineage)
      : handle_(handle),
        path_(std::move(path)),
        start_(std::move(start)),
        lineage_(std::move(lineage)) {}

  ~Win32Directory() override { CloseHandle(handle_); }

  Status ReadNames(std::vector<SearchEntry>* entries) override {
    // A handle for this reading alone: a reading begun on another thread
    // shares nothing with it, and some systems read a handle's directory
    // only once, however often it is read from the start.
    DWORD error = 0;
    const HANDLE listing =
        OpenIn(handle_, std::wstring(), FILE_LIST_DIRECTORY, kShareAll,
               FILE_OPEN, FILE_DIRECTORY_FILE, &error);
    if (listing == INVALID_HANDLE_VALUE) return FromError(error);
    const Status status = ReadNamesFrom(listing, entries);
    CloseHandle(listing);
    return status;
  }

  Status ReadNamesFrom(HANDLE listing, std::vector<SearchEntry>* entries) {
    // Aligned for the records; about what a search fetches at a time.
    std::vector<std::uint64_t> buffer(8192);
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    for (;;) {
      if (!GetFileInformationByHandleEx(
              listing, kind, buffer.data(),
              static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)))) {
        // A root directory has no "." or "..", so it may have no entry at
        // all.
        const DWORD error = GetLastError();
        return error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND
                   ? Status::Ok()
                   : FromError(error);
      }
      kind = FileIdBothDirectoryInfo;
      const char* at = reinterpret_cast<const char*>(buffer.data());
      for (;;) {
        const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
        const std::wstring_view name(info->FileName,
                                     info->FileNameLength / sizeof(wchar_t));
        if (name != L"." && name != L"..") entries->push_back(ToEntry(*info));
        if (info->NextEntryOffset == 0) break;
        at += info->NextEntryOffset;
      }
    }
  }

  Status OpenSubdirectory(const std::string& name,
                          std::unique_ptr<Directory>* out) override {
    DWORD error = 0;
    const std::wstring wide = Utf8ToUtf16(name);
    const HANDLE sub =
        OpenDirectoryIn(handle_, wide, FILE_OPEN_REPARSE_POINT, &error);
    if (sub == INVALID_HANDLE_VALUE) return FromError(error);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(sub, &info)) {
      const Status status = LastError();
      CloseHandle(sub);
      return status;
    }
    if (IsNameSurrogate(sub, info.dwFileAttributes)) {
      CloseHandle(sub);
      return Status::Failed(kNotFollowed);
    }
    *out = std::make_unique<Win32Directory>(
        sub, path_ + wide + L"\\", start_,
        std::make_shared<const Lineage>(Lineage{KeyOf(info), lineage_}));
    return Status::Ok();
  }

  Status OpenParent(std::unique_ptr<Directory>* out) override {
    // No name leads up from an open directory here: the one above is found
    // by its path, and taken only if it is the one this was reached from.
    if (lineage_ == nullptr || lineage_->up == nullptr) {
      return Status::Failed("the way up is unknown");
    }
    const std::size_t last = path_.find_last_of(L'\\', path_.size() - 2);
    std::wstring above = path_.substr(0, last + 1);
    DWORD error = 0;
    const HANDLE dir =
        OpenDirectoryIn(nullptr, above, FILE_OPEN_REPARSE_POINT, &error);
    if (dir == INVALID_HANDLE_VALUE) return FromError(error);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(dir, &info) ||
        KeyOf(info) != lineage_->up->key) {
      CloseHandle(dir);
      return Status::Failed(
          "the directory above is not the one it was reached from");
    }
    *out = std::make_unique<Win32Directory>(dir, std::move(above), start_,
                                            lineage_->up);
    return Status::Ok();
  }

  Status OpenInput(const std::string& name, Follow follow,
                   std::unique_ptr<InputFile>* out) override {
    const std::wstring wide = Utf8ToUtf16(name);
    DWORD error = 0;
    // The name itself first, so that a link shows as one.
    HANDLE file = OpenForReading(wide, FILE_OPEN_REPARSE_POINT, &error);
    if (file == INVALID_HANDLE_VALUE) return FromError(error);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) {
      const Status status = LastError();
      CloseHandle(file);
      return status;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      const bool link = IsNameSurrogate(file, info.dwFileAttributes);
      CloseHandle(file);
      if (link && follow == Follow::kNever) return Status::Failed(kNotFollowed);
      // Other reparse points (deduplicated or cloud files) are read as what
      // they stand for. Either way the file opened now is the one judged,
      // so changing the name meanwhile gains nothing.
      file = OpenForReading(wide, 0, &error);
      if (file == INVALID_HANDLE_VALUE) return FromError(error);
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
    // Whether others may write into the directory would take reading its
    // access control: a description file with another name is refused
    // wherever it lies.
    if (follow == Follow::kInsideTree && info.nNumberOfLinks > 1) {
      CloseHandle(file);
      return Status::Failed(
          "Has other names, which whoever may write here could have made");
    }
    *out = std::make_unique<Win32InputFile>(file, info.nNumberOfLinks == 1);
    return Status::Ok();
  }

  // New files take the directory's access control, whoever made the page
  // replaced, and a temporary file is made at once whatever `unseen` asks.
  Status CreateOutput(const std::string& name, const OutputOptions&,
                      std::unique_ptr<OutputFile>* out) override {
    const std::wstring wide = Utf8ToUtf16(name);
    for (int attempt = 0;; ++attempt) {
      // Everything that may throw comes before the file exists on disk.
      auto output = std::make_unique<Win32OutputFile>(TemporaryName(wide), wide,
                                                      path_ + wide);
      DWORD error = 0;
      if (output->Create(handle_, &error)) {
        *out = std::move(output);
        return Status::Ok();
      }
      if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) &&
          attempt < kNamesTried) {
        continue;
      }
      return FromError(error);
    }
  }

 private:
  SearchEntry ToEntry(const FILE_ID_BOTH_DIR_INFO& info) const {
    SearchEntry entry;
    const std::wstring name(info.FileName,
                            info.FileNameLength / sizeof(wchar_t));
    entry.Name = Utf16ToUtf8(name);
    entry.Attr =
        info.FileAttributes & (kAttrReadOnly | kAttrHidden | kAttrSystem |
                               kAttrDirectory | kAttrArchive);
    FILETIME time;
    time.dwLowDateTime = info.LastWriteTime.LowPart;
    time.dwHighDateTime = static_cast<DWORD>(info.LastWriteTime.HighPart);
    entry.Size = info.EndOfFile.QuadPart;
    // For a reparse point the records carry its tag where extended
    // attributes' size would be.
    if (IsNameSurrogate(info.FileAttributes, info.EaSize)) {
      entry.Attr |= kAttrLink;
      // The record describes the link itself; a link to a file shows its
      // target's size and date, a dangling one its own.
      DWORD error = 0;
      const HANDLE target = OpenIn(handle_, name, FILE_READ_ATTRIBUTES,
                                   kShareAll, FILE_OPEN, 0, &error);
      BY_HANDLE_FILE_INFORMATION details;
      if (target != INVALID_HANDLE_VALUE) {
        if (GetFileInformationByHandle(target, &details)) {
          time = details.ftLastWriteTime;
          entry.Size = ToSize(details.nFileSizeHigh, details.nFileSizeLow);
        }
        CloseHandle(target);
      }
    }
    if (entry.IsDirectory()) entry.Size = 0;
    entry.Time = ToLocalDate(time);
    entry.Modified = ToUnixSeconds(time);
    return entry;
  }

  // A directory opens too, so that it is refused with a reason of its own
  // instead of "access denied".
  HANDLE OpenForReading(const std::wstring& name, ULONG options,
                        DWORD* error) const {
    return OpenIn(handle_, name, GENERIC_READ, kShareAll, FILE_OPEN,
                  FILE_SEQUENTIAL_ONLY | options, error);
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

  const HANDLE handle_;
  const std::wstring path_;
  const std::shared_ptr<const std::wstring> start_;
  const std::shared_ptr<const Lineage> lineage_;
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
    // The start directory itself may be reached through links: the user
    // named it.
    DWORD error = 0;
    const HANDLE dir = OpenDirectoryIn(nullptr, full, 0, &error);
    if (dir == INVALID_HANDLE_VALUE) return FromError(error);
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(dir, &info)) {
      const Status failed = LastError();
      CloseHandle(dir);
      return failed;
    }
    // Its final path tells whether a link leads inside the tree.
    auto start = std::make_shared<std::wstring>(FinalPath(dir));
    *out = std::make_unique<Win32Directory>(
        dir, full, std::move(start),
        std::make_shared<const Lineage>(Lineage{KeyOf(info), nullptr}));
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
