// What the two floors (floor.cc, floor_parallel.cc) share: the bytes they
// write for an entry, reading a description file, writing a page. Both take
// it from here, so that their outputs can be compared with cmp: any
// difference is then the walk's (order, lost or doubled entries), not the
// formatting's. Linux only, like the rest of bench/.
#ifndef BENCH_YARDSTICK_H_
#define BENCH_YARDSTICK_H_

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace yardstick {

inline std::atomic<int> failures{0};

inline void Fail(const char* what, std::string_view path, int error) {
  std::fprintf(stderr, "floor: %s '%.*s': %s\n", what,
               static_cast<int>(path.size()), path.data(),
               std::strerror(error));
  ++failures;
}

// Names a program listing the tree leaves out: dot names (the floors'
// own temporary pages among them) and the pages themselves.
inline bool Skipped(const char* name, const std::string& page,
                    const std::string& second) {
  return name[0] == '.' || page == name || second == name;
}

// FILES.BBS in any letter case, as archives hold it.
inline bool IsDescriptionFile(const char* name) {
  static constexpr char kName[] = "FILES.BBS";
  for (size_t i = 0; i < sizeof kName; ++i) {
    char c = name[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kName[i]) return false;
  }
  return true;
}

// Size, date and kind of an entry, as a listing shows them: a link shows
// what it points to (itself when broken) and is never walked into. `type`
// is the d_type getdents gave. False (reported) when it can't be stat'ed.
inline bool Describe(int dir, std::string_view path, const char* name,
                     unsigned char type, struct stat& st, bool& walk_into) {
  bool link = type == DT_LNK;
  if (fstatat(dir, name, &st, link ? 0 : AT_SYMLINK_NOFOLLOW) == 0) {
    if (!link && S_ISLNK(st.st_mode)) {  // DT_UNKNOWN: only now known
      link = true;
      struct stat target;
      if (fstatat(dir, name, &target, 0) == 0) st = target;
    }
  } else if (!link || fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    Fail("cannot stat", std::string(path) + name, errno);
    return false;
  }
  walk_into = S_ISDIR(st.st_mode) && !link;
  return true;
}

// The least a page holds for an entry: the link (`rel` is the path from
// the page's directory, empty with a page per directory), the name as
// text, the size and the local date. No markup, no escaping, no code
// pages: those are the program's work, not the floor's. The date comes
// from localtime_r for every entry: the one conversion that is right in
// every zone by definition, so the floor takes no shortcut it would have
// to prove.
inline void AppendEntry(std::string& out, const struct stat& st,
                        std::string_view rel, std::string_view name) {
  struct tm tm;
  time_t when = st.st_mtime;
  localtime_r(&when, &tm);
  out += rel;
  out += name;
  if (S_ISDIR(st.st_mode)) out += '/';
  out += '\t';
  out += name;
  out += '\t';
  char number[64];
  char* end = std::to_chars(number, number + 24,
                            static_cast<unsigned long long>(st.st_size))
                  .ptr;
  *end++ = '\t';
  int year = tm.tm_year + 1900, month = tm.tm_mon + 1, day = tm.tm_mday;
  end = std::to_chars(end, end + 12, year).ptr;
  const char date[] = {'-',
                       static_cast<char>('0' + month / 10),
                       static_cast<char>('0' + month % 10),
                       '-',
                       static_cast<char>('0' + day / 10),
                       static_cast<char>('0' + day % 10),
                       '\r',
                       '\n'};
  std::memcpy(end, date, sizeof date);
  out.append(number, static_cast<size_t>(end - number) + sizeof date);
}

// Appends the whole file `name` of directory `dir` to `out`: every byte of
// the descriptions reaches the page at least once. Read straight into the
// page's buffer, in blocks of its own size.
inline void AppendFile(std::string& out, int dir, std::string_view path,
                       const char* name) {
  int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    Fail("cannot open", std::string(path) + name, errno);
    return;
  }
  struct stat st;
  size_t block = fstat(fd, &st) == 0 && st.st_size > 0
                     ? static_cast<size_t>(st.st_size) + 1
                     : 65536;
  // A short read of a regular file is its end: no second read, and no
  // second block cleared for it.
  for (;;) {
    size_t had = out.size();
    out.resize(had + block);
    ssize_t got = read(fd, out.data() + had, block);
    if (got < 0 && errno == EINTR) {
      out.resize(had);
      continue;
    }
    out.resize(had + (got > 0 ? static_cast<size_t>(got) : 0));
    if (got < 0) Fail("cannot read", std::string(path) + name, errno);
    if (got < static_cast<ssize_t>(block)) break;
  }
  close(fd);
}

inline bool WriteAll(int fd, std::string_view bytes, std::string_view path) {
  while (!bytes.empty()) {
    ssize_t put = write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) {
      Fail("cannot write", path, errno);
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

// Writes a page the way any program must that never leaves a half page
// in place: a temporary file, one write, a rename over the old page.
inline void WritePage(int dir, std::string_view path, const std::string& page,
                      std::string_view bytes) {
  const std::string temporary = "." + page + ".floor-tmp";
  const std::string shown = std::string(path) + temporary;
  int fd = openat(dir, temporary.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    Fail("cannot create", shown, errno);
    return;
  }
  bool ok = WriteAll(fd, bytes, shown);
  if (close(fd) != 0) {
    Fail("cannot close", shown, errno);
    ok = false;
  }
  if (ok && renameat(dir, temporary.c_str(), dir, page.c_str()) != 0) {
    Fail("cannot rename", shown, errno);
    ok = false;
  }
  if (!ok) unlinkat(dir, temporary.c_str(), 0);
}

// One getdents64 record: the kernel's own layout (glibc declares no type).
struct DirectoryRecord {
  unsigned long long inode;
  long long next;
  unsigned short length;
  unsigned char type;
  char name[1];
};

// Reads the next block of directory records into `buffer`; the byte count,
// 0 at the end, -1 on failure (reported).
inline long ReadNames(int dir, std::string_view path, char* buffer,
                      size_t size) {
  long got = syscall(SYS_getdents64, dir, buffer, size);
  if (got < 0) Fail("cannot read directory", path, errno);
  return got;
}

}  // namespace yardstick

#endif  // BENCH_YARDSTICK_H_
