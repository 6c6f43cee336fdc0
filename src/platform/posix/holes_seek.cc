// Holes found by lseek's SEEK_DATA and SEEK_HOLE (POSIX only since 2024),
// so that a sparse description file is read without its holes.
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/posix_internal.h"

namespace tabulon {

const bool kFindsHoles = true;

bool FindData(int fd, off_t from, off_t* data, off_t* hole) {
  *data = ::lseek(fd, from, SEEK_DATA);
  if (*data < 0 && errno == ENXIO) {
    // A hole up to the end, or the end passed already.
    *data = std::max(::lseek(fd, 0, SEEK_END), from);
    *hole = *data;
  } else if (*data >= 0) {
    *hole = ::lseek(fd, *data, SEEK_HOLE);
  }
  return *data >= 0 && *hole >= 0;
}

}  // namespace tabulon
