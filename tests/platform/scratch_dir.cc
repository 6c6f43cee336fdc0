#include "platform/scratch_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>

#include <cstring>

#include "platform/win32/utf16_win32.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tabulon::testing {
namespace {

std::vector<std::string> Split(const std::string& relative) {
  std::vector<std::string> parts;
  std::string part;
  for (const char c : relative) {
    if (c == '/') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

bool KeepOnFailure(const std::string& root) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info == nullptr || !info->result()->Failed()) return false;
  std::fprintf(stderr, "kept the scratch directory %s\n", root.c_str());
  return true;
}

std::atomic<int> g_serial{0};

}  // namespace

#ifdef _WIN32

namespace {

// The \\?\ form reaches paths of any length.
std::wstring Wide(const std::string& root, const std::string& relative) {
  std::wstring path = L"\\\\?\\" + Utf8ToUtf16(root);
  for (const std::string& part : Split(relative)) {
    path += L'\\';
    path += Utf8ToUtf16(part);
  }
  return path;
}

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW data;
  const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &data);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = path + L"\\" + name;
      const DWORD attributes = data.dwFileAttributes;
      if (attributes & FILE_ATTRIBUTE_READONLY) {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      }
      if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        // A junction goes without what it points to.
        if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) RemoveTree(child);
        RemoveDirectoryW(child.c_str());
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search, &data));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

std::string Reason(DWORD error) {
  return "Windows error " + std::to_string(error);
}

// The layout of a mount-point reparse buffer; MinGW declares it only for
// drivers.
struct MountPointBuffer {
  DWORD tag;
  WORD data_length;
  WORD reserved;
  WORD substitute_offset;
  WORD substitute_length;
  WORD print_offset;
  WORD print_length;
  wchar_t paths[1024];
};

}  // namespace

ScratchDir::ScratchDir() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  std::wstring base(temp, length);
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring path = base + L"\\tabulon-platform-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(g_serial++);
    if (CreateDirectoryW(path.c_str(), nullptr)) {
      root_ = Utf16ToUtf8(path);
      return;
    }
  }
  std::abort();
}

ScratchDir::~ScratchDir() {
  if (!KeepOnFailure(root_)) RemoveTree(Wide(root_, ""));
}

bool ScratchDir::MakeDir(const std::string& relative) {
  return CreateDirectoryW(Wide(root_, relative).c_str(), nullptr) != 0;
}

bool ScratchDir::MakeFile(const std::string& relative, std::string_view bytes) {
  const HANDLE file =
      CreateFileW(Wide(root_, relative).c_str(), GENERIC_WRITE, 0, nullptr,
                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                nullptr) &&
      written == bytes.size();
  return CloseHandle(file) && ok;
}

bool ScratchDir::MakeHidden(const std::string& relative) {
  const std::wstring path = Wide(root_, relative);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN |
                                              FILE_ATTRIBUTE_SYSTEM);
}

bool ScratchDir::MakeReadOnly(const std::string& relative) {
  const std::wstring path = Wide(root_, relative);
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
}

bool ScratchDir::SetLocalTime(const std::string& relative, int year, int month,
                              int day, int hour, int minute) {
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(year);
  local.wMonth = static_cast<WORD>(month);
  local.wDay = static_cast<WORD>(day);
  local.wHour = static_cast<WORD>(hour);
  local.wMinute = static_cast<WORD>(minute);
  SYSTEMTIME utc;
  FILETIME time;
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) ||
      !SystemTimeToFileTime(&utc, &time)) {
    return false;
  }
  const HANDLE file =
      CreateFileW(Wide(root_, relative).c_str(), FILE_WRITE_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = SetFileTime(file, nullptr, nullptr, &time) != 0;
  return CloseHandle(file) && ok;
}

bool ScratchDir::SetUtcTime(const std::string& relative, std::int64_t seconds) {
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(seconds + 11644473600LL) * 10000000ULL;
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  const HANDLE file =
      CreateFileW(Wide(root_, relative).c_str(), FILE_WRITE_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool ok = SetFileTime(file, nullptr, nullptr, &time) != 0;
  return CloseHandle(file) && ok;
}

bool ScratchDir::MakeSparse(const std::string& relative, std::int64_t size) {
  const HANDLE file =
      CreateFileW(Wide(root_, relative).c_str(), GENERIC_READ | GENERIC_WRITE,
                  0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD returned = 0;
  // Wine has no sparse flag, but its files live on a Unix file system that
  // leaves the gap unallocated anyway.
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned,
                  nullptr);
  LARGE_INTEGER end;
  end.QuadPart = size;
  const bool ok =
      SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  return CloseHandle(file) && ok;
}

bool ScratchDir::MakeDirectoryLink(const std::string& relative,
                                   const std::string& target,
                                   std::string* why) {
  const std::wstring link = Wide(root_, relative);
  std::string parent = relative;
  parent.erase(parent.rfind('/') == std::string::npos ? 0 : parent.rfind('/'));
  // A junction holds an absolute NT path: \??\C:\...
  const std::wstring substitute =
      L"\\??\\" + Wide(root_, parent + "/" + target).substr(4);
  if (!CreateDirectoryW(link.c_str(), nullptr)) {
    *why = "CreateDirectoryW: " + Reason(GetLastError());
    return false;
  }
  const HANDLE handle = CreateFileW(
      link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *why = "CreateFileW: " + Reason(GetLastError());
    RemoveDirectoryW(link.c_str());
    return false;
  }
  MountPointBuffer buffer{};
  const std::size_t bytes = substitute.size() * sizeof(wchar_t);
  buffer.tag = IO_REPARSE_TAG_MOUNT_POINT;
  buffer.substitute_length = static_cast<WORD>(bytes);
  buffer.print_offset = static_cast<WORD>(bytes + sizeof(wchar_t));
  std::memcpy(buffer.paths, substitute.c_str(), bytes);
  // Four offsets and lengths, the substitute name and two terminators.
  buffer.data_length = static_cast<WORD>(8 + bytes + 2 * sizeof(wchar_t));
  DWORD returned = 0;
  const bool ok = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, &buffer,
                                  8 + buffer.data_length, nullptr, 0, &returned,
                                  nullptr) != 0;
  const DWORD error = GetLastError();
  CloseHandle(handle);
  if (!ok) {
    *why = "FSCTL_SET_REPARSE_POINT: " + Reason(error);
    RemoveDirectoryW(link.c_str());
  }
  return ok;
}

bool ScratchDir::MakeFileLink(const std::string& relative,
                              const std::string& target, std::string* why) {
  const std::wstring link = Wide(root_, relative);
  // Without the privilege this works only in developer mode.
  if (!CreateSymbolicLinkW(link.c_str(), Utf8ToUtf16(target).c_str(),
                           SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
    *why = "CreateSymbolicLinkW: " + Reason(GetLastError());
    return false;
  }
  // Wine reports success and makes nothing.
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    *why = "CreateSymbolicLinkW succeeded but made no link";
    return false;
  }
  return true;
}

bool ScratchDir::MakeHardLink(const std::string& relative,
                              const std::string& existing) {
  return CreateHardLinkW(Wide(root_, relative).c_str(),
                         Wide(root_, existing).c_str(), nullptr) != 0;
}

bool ScratchDir::Exists(const std::string& relative) {
  return GetFileAttributesW(Wide(root_, relative).c_str()) !=
         INVALID_FILE_ATTRIBUTES;
}

bool ScratchDir::IsLink(const std::string& relative) {
  const DWORD attributes = GetFileAttributesW(Wide(root_, relative).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool ScratchDir::SetMode(const std::string&, unsigned) { return false; }

int ScratchDir::Mode(const std::string&) { return -1; }

void UseDistantTimeZone() {}

#else  // POSIX

namespace {

// Opens the directory holding `relative` by descending one name at a time,
// so no path handed to the system is longer than one name. Returns -1 on
// failure; `leaf` gets the last name.
int OpenParent(const std::string& root, const std::string& relative,
               std::string* leaf) {
  std::vector<std::string> parts = Split(relative);
  if (parts.empty()) return -1;
  *leaf = parts.back();
  parts.pop_back();
  int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const std::string& part : parts) {
    if (fd < 0) return -1;
    const int next =
        ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
  }
  return fd;
}

void RemoveTreeAt(int parent, const char* name) {
  const int fd =
      ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    ::unlinkat(parent, name, 0);
    return;
  }
  ::fchmod(fd, 0700);
  if (DIR* dir = ::fdopendir(::dup(fd))) {
    std::vector<std::string> names;
    while (const dirent* d = ::readdir(dir)) {
      const std::string child = d->d_name;
      if (child != "." && child != "..") names.push_back(child);
    }
    ::closedir(dir);
    for (const std::string& child : names) RemoveTreeAt(fd, child.c_str());
  }
  ::close(fd);
  ::unlinkat(parent, name, AT_REMOVEDIR);
}

}  // namespace

ScratchDir::ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") +
                        "/tabulon-platform-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  root_ = pattern;
}

ScratchDir::~ScratchDir() {
  if (KeepOnFailure(root_)) return;
  RemoveTreeAt(AT_FDCWD, root_.c_str());
}

bool ScratchDir::MakeDir(const std::string& relative) {
  std::string leaf;
  const int fd = OpenParent(root_, relative, &leaf);
  if (fd < 0) return false;
  const bool ok = ::mkdirat(fd, leaf.c_str(), 0777) == 0;
  ::close(fd);
  return ok;
}

namespace {

// Creates (or empties) the file `relative` below `root` and hands its
// descriptor to `fill`; true when both worked.
template <typename Fill>
bool WriteFileAt(const std::string& root, const std::string& relative,
                 Fill fill) {
  std::string leaf;
  const int dir = OpenParent(root, relative, &leaf);
  if (dir < 0) return false;
  const int fd = ::openat(dir, leaf.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  ::close(dir);
  if (fd < 0) return false;
  const bool ok = fill(fd);
  return ::close(fd) == 0 && ok;
}

}  // namespace

bool ScratchDir::MakeFile(const std::string& relative, std::string_view bytes) {
  return WriteFileAt(root_, relative, [bytes](int fd) {
    return ::write(fd, bytes.data(), bytes.size()) ==
           static_cast<ssize_t>(bytes.size());
  });
}

bool ScratchDir::MakeHidden(const std::string&) { return false; }

bool ScratchDir::MakeReadOnly(const std::string& relative) {
  std::string leaf;
  const int fd = OpenParent(root_, relative, &leaf);
  if (fd < 0) return false;
  const bool ok = ::fchmodat(fd, leaf.c_str(), 0444, 0) == 0;
  ::close(fd);
  return ok;
}

bool ScratchDir::SetLocalTime(const std::string& relative, int year, int month,
                              int day, int hour, int minute) {
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_isdst = -1;
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = std::mktime(&parts);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  std::string leaf;
  const int fd = OpenParent(root_, relative, &leaf);
  if (fd < 0) return false;
  const bool ok =
      ::utimensat(fd, leaf.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
  ::close(fd);
  return ok;
}

bool ScratchDir::SetUtcTime(const std::string& relative, std::int64_t seconds) {
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  std::string leaf;
  const int fd = OpenParent(root_, relative, &leaf);
  if (fd < 0) return false;
  const bool ok =
      ::utimensat(fd, leaf.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
  ::close(fd);
  return ok;
}

bool ScratchDir::MakeSparse(const std::string& relative, std::int64_t size) {
  return WriteFileAt(root_, relative,
                     [size](int fd) { return ::ftruncate(fd, size) == 0; });
}

bool ScratchDir::MakeDirectoryLink(const std::string& relative,
                                   const std::string& target,
                                   std::string* why) {
  return MakeFileLink(relative, target, why);
}

bool ScratchDir::MakeFileLink(const std::string& relative,
                              const std::string& target, std::string* why) {
  std::string leaf;
  const int fd = OpenParent(root_, relative, &leaf);
  if (fd < 0) return false;
  const bool ok = ::symlinkat(target.c_str(), fd, leaf.c_str()) == 0;
  if (!ok)
    *why = std::string("symlinkat failed: errno ") + std::to_string(errno);
  ::close(fd);
  return ok;
}

bool ScratchDir::MakeHardLink(const std::string& relative,
                              const std::string& existing) {
  return ::link((root_ + "/" + existing).c_str(),
                (root_ + "/" + relative).c_str()) == 0;
}

bool ScratchDir::Exists(const std::string& relative) {
  std::string leaf;
  const int fd = OpenParent(root_, relative, &leaf);
  if (fd < 0) return false;
  struct stat st;
  const bool ok = ::fstatat(fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  ::close(fd);
  return ok;
}

bool ScratchDir::IsLink(const std::string& relative) {
  std::string leaf;
  const int fd = OpenParent(root_, relative, &leaf);
  if (fd < 0) return false;
  struct stat st;
  const bool link =
      ::fstatat(fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode);
  ::close(fd);
  return link;
}

bool ScratchDir::SetMode(const std::string& relative, unsigned mode) {
  if (relative.empty()) return ::chmod(root_.c_str(), mode) == 0;
  std::string leaf;
  const int fd = OpenParent(root_, relative, &leaf);
  if (fd < 0) return false;
  const bool ok = ::fchmodat(fd, leaf.c_str(), mode, 0) == 0;
  ::close(fd);
  return ok;
}

int ScratchDir::Mode(const std::string& relative) {
  std::string leaf;
  const int fd = OpenParent(root_, relative, &leaf);
  if (fd < 0) return -1;
  struct stat st;
  const int mode = ::fstatat(fd, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                       ? static_cast<int>(st.st_mode & 07777)
                       : -1;
  ::close(fd);
  return mode;
}

void UseDistantTimeZone() {
  // Nine hours east, no daylight saving; needs no time zone database.
  ::setenv("TZ", "JST-9", 1);
  ::tzset();
}

#endif

}  // namespace tabulon::testing
