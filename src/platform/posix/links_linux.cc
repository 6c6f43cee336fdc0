// Links judged by what each name opens for its place (O_PATH), and where
// the file lies by its name in /proc/self/fd: changing a name meanwhile
// gains nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/posix_internal.h"

namespace tabulon {
namespace {

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

// Whether `path` lies below the start directory's.
bool Inside(const std::string& path, const TreeStart& tree) {
  const std::string& start = tree.path;
  return path.size() > start.size() && path.starts_with(start) &&
         (start.back() == '/' || path[start.size()] == '/');
}

}  // namespace

std::string StartPathOf(int fd) { return PathOf(fd); }

LinkedName::~LinkedName() {
  if (place_ >= 0) ::close(place_);
}

Status LinkedName::Look(int at, const std::string& name, struct stat* st,
                        std::string* text) {
  if (place_ >= 0) ::close(place_);
  place_ = ::openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (place_ < 0 || ::fstat(place_, st) != 0) return FromErrno(errno);
  return S_ISLNK(st->st_mode) ? LinkText(place_, "", text) : Status::Ok();
}

Status LinkedName::Open(int, const std::string&, const TreeStart& start,
                        struct stat* st, int* out) {
  const std::string path = PathOf(place_);
  if (path.empty() || start.path.empty()) {
    return Status::Failed(kLeadsNowhereKnown);
  }
  if (!Inside(path, start)) return Status::Failed(kLeadsOutside);
  const Status status = RegularFile(place_, st);
  if (!status.ok()) return status;
  *out = ::open(ProcFdPath(place_).c_str(), kRead);
  return *out < 0 ? FromErrno(errno) : Status::Ok();
}

}  // namespace tabulon
