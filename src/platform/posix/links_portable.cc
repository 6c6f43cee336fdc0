// Links judged by their names, without a way to open a link itself: one put
// in its place meanwhile is refused by the caller or followed as the links
// on the way, and an uploader can make no device. Whether the file lies in
// the tree is told by climbing from its directory to the start.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/posix_internal.h"

namespace tabulon {
namespace {

// Whether the directory `dir` is `start` or lies below it:
// ok, kLeadsOutside, or kLeadsNowhereKnown where a directory on the way
// up can't be opened.
Status LiesInTree(int dir, const TreeStart& start) {
  struct stat st;
  if (!start.identified || ::fstat(dir, &st) != 0) {
    return Status::Failed(kLeadsNowhereKnown);
  }
  int at = -1;  // the directory `st` tells of, when not `dir`
  Status status = Status::Failed(kLeadsNowhereKnown);
  for (;;) {
    if (st.st_dev == start.device && st.st_ino == start.inode) {
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

}  // namespace

std::string StartPathOf(int) { return std::string(); }

LinkedName::~LinkedName() = default;

Status LinkedName::Look(int at, const std::string& name, struct stat* st,
                        std::string* text) {
  if (::fstatat(at, name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) {
    return FromErrno(errno);
  }
  return S_ISLNK(st->st_mode) ? LinkText(at, name.c_str(), text) : Status::Ok();
}

Status LinkedName::Open(int at, const std::string& name, const TreeStart& start,
                        struct stat* st, int* out) {
  const Status status = LiesInTree(at, start);
  if (!status.ok()) return status;
  if (!S_ISREG(st->st_mode)) {
    return Status::Failed(S_ISDIR(st->st_mode) ? Reason(EISDIR)
                                               : "not a regular file");
  }
  *out = ::openat(at, name.c_str(), kRead | O_NOFOLLOW);
  return *out < 0 ? FromErrno(errno) : Status::Ok();
}

}  // namespace tabulon
