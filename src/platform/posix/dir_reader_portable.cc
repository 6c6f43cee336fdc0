// Directory entries read by readdir, from a stream over a copy of the
// descriptor, which the stream closes.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/posix/posix_internal.h"

namespace tabulon {

Status ReadEachName(int fd, const char* self, bool listable, bool*,
                    NameSink& sink) {
  const int copy = listable
                       ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0)
                       : ::openat(fd, self, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return FromErrno(errno);
  const std::unique_ptr<DIR, int (*)(DIR*)> stream(::fdopendir(copy),
                                                   &::closedir);
  if (stream == nullptr) {
    const int error = errno;
    ::close(copy);
    return FromErrno(error);
  }
  // The copy shares the offset, which a reading before left at the end.
  ::rewinddir(stream.get());
  for (;;) {
    errno = 0;
    const struct dirent* d = ::readdir(stream.get());
    if (d == nullptr) return errno == 0 ? Status::Ok() : FromErrno(errno);
    if (!IsDotOrDotDot(d->d_name)) sink.Take(d->d_name, std::strlen(d->d_name));
  }
}

}  // namespace tabulon
