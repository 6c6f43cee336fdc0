// The ways /proc/self/fd and O_PATH give: /proc/self/fd names every open
// file, and O_PATH opens a name for its place alone, so a directory that
// may be entered but not read is still worked in, a page can be made
// without a name and given one at its commit (so that one dropped
// uncommitted never shows), and the thread that takes stop signals can
// have a table of descriptors of its own.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/posix/posix_internal.h"

namespace tabulon {
namespace {

// Whether open files can be reached through /proc/self/fd.
bool ProcFdReachable() {
  static const bool reachable = ::access("/proc/self/fd", X_OK) == 0;
  return reachable;
}

}  // namespace

const int kSearchOnly = O_PATH;

std::string ProcFdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

void SetTimesThroughPlace(int dir, const struct timespec times[2]) {
  ::utimensat(AT_FDCWD, ProcFdPath(dir).c_str(), times, 0);
}

int CreateUnnamed(int dir) {
  // It is named through /proc/self/fd at its commit.
  if (!ProcFdReachable()) return -1;
  return ::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

bool NameUnnamed(int fd, int dir, const char* name) {
  return ::linkat(AT_FDCWD, ProcFdPath(fd).c_str(), dir, name,
                  AT_SYMLINK_FOLLOW) == 0;
}

bool StopThreadCanOwnDescriptors() {
  return ::access("/proc/self/fd", X_OK) == 0;
}

void OwnDescriptors() { ::unshare(CLONE_FILES); }

int ReopenShared(int dir) {
  return ::open(ProcFdPath(dir).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace tabulon
