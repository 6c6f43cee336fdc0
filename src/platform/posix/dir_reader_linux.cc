// Directory entries read straight into a buffer of the thread's with
// getdents64 (glibc 2.30 and later declare it), with no stream around the
// descriptor and no copy of it: six calls fewer per directory.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>

#include "common/per_thread.h"
#include "platform/posix/posix_internal.h"

namespace tabulon {
namespace {

constexpr std::size_t kNamesBlock = 32 << 10;

// A block outlives the call that asks for it.
static_assert(TABULON_KEEP_PER_THREAD, "POSIX builds keep objects per thread");
using KeptBlock = KeptPerThread<std::unique_ptr<char[]>, struct NamesBlockTag>;
[[maybe_unused]] const bool kNamesBlockReadied =
    AddPerThreadReady(&KeptBlock::Ready);

// Where this thread reads directory entries: a block per thread, not per
// directory, since allocating one this large makes the heap sort its small
// free pieces every time.
char* NamesBlock() {
  KeptBlock kept;
  std::unique_ptr<char[]>& block = *kept;
  if (!block) block.reset(new char[kNamesBlock]);
  return block.get();
}

}  // namespace

Status ReadEachName(int fd, const char* self, bool listable, bool* read_before,
                    NameSink& sink) {
  // The descriptor's offset is moved by nothing but this, on one thread at
  // a time.
  int opened = -1;
  if (!listable) {
    opened = ::openat(fd, self, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened < 0) return FromErrno(errno);
    fd = opened;
  } else if (*read_before && ::lseek(fd, 0, SEEK_SET) != 0) {
    return FromErrno(errno);
  }
  *read_before = listable;
  char* const block = NamesBlock();
  Status status;
  for (;;) {
    const ssize_t got = ::getdents64(fd, block, kNamesBlock);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) status = FromErrno(errno);
      break;
    }
    for (ssize_t at = 0; at < got;) {
      const auto* d = reinterpret_cast<const struct dirent64*>(block + at);
      at += d->d_reclen;
      if (!IsDotOrDotDot(d->d_name)) {
        sink.Take(d->d_name, std::strlen(d->d_name));
      }
    }
  }
  if (opened >= 0) ::close(opened);
  return status;
}

}  // namespace tabulon
