// Without /proc/self/fd and O_PATH: a directory is opened for search only
// where the system has POSIX's O_SEARCH, pages are made under their
// temporary names, and the thread that takes stop signals shares the
// others' descriptors.
#include <fcntl.h>

#include <cerrno>

#include "platform/posix/posix_internal.h"

#ifdef O_SEARCH
constexpr int kSearchOnlyFlag = O_SEARCH;
#else
constexpr int kSearchOnlyFlag = 0;
#endif

namespace tabulon {

const int kSearchOnly = kSearchOnlyFlag;

void SetTimesThroughPlace(int, const struct timespec[2]) {}

int CreateUnnamed(int) { return -1; }

bool NameUnnamed(int, int, const char*) {
  errno = ENOSYS;  // never made unnamed
  return false;
}

bool StopThreadCanOwnDescriptors() { return false; }

void OwnDescriptors() {}

int ReopenShared(int) { return -1; }

}  // namespace tabulon
