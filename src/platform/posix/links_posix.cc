// Links: the file a link leads to is opened only when it lies inside the
// start directory's tree and every link on the way belongs to the run's
// user. How each name on the way is judged is the system's (links_*.cc).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/posix_internal.h"

namespace tabulon {

const char kNotFollowed[] = "Is a link; links are not followed";
const char kLeadsOutside[] = "Is a link that leads outside the start directory";
const char kLeadsNowhereKnown[] =
    "Is a link, and where it leads cannot be told";

namespace {

constexpr char kNotOwned[] = "Is a link not owned by the run's user";

// As many links in a row as are followed to a file (Linux's own limit).
constexpr int kMostLinks = 40;

}  // namespace

// The text of the link `name` in `dir` ("" with a link opened for its place
// as `dir`, where the system can).
Status LinkText(int dir, const char* name, std::string* text) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlinkat(dir, name, buffer.data(), buffer.size());
    if (n < 0) return FromErrno(errno);
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      *text = std::move(buffer);
      return Status::Ok();
    }
    buffer.resize(buffer.size() * 2);
  }
}

// Opens the file that the link `name` leads to, when that lies inside the
// start directory's tree and every link on the way belongs to the run's
// user: an uploader's link could lead to a file of the tree he may not
// read. The links are followed by hand, one at a time, to the directory
// the last one leads into (the system takes the links on the way there),
// whose descriptor goes to *dir. Only a regular file is opened, so a
// device is never touched.
Status OpenThroughLink(int from, const std::string& name,
                       const TreeStart& start, int* out, int* dir) {
  int at = ::fcntl(from, F_DUPFD_CLOEXEC, 0);
  if (at < 0) return FromErrno(errno);
  std::string last = name;  // in `at`
  struct stat st;
  Status status;
  LinkedName linked;
  const auto step = [&](std::string* text) {
    return linked.Look(at, last, &st, text);
  };
  for (int links = 0; status.ok(); ++links) {
    std::string target;
    if (!(status = step(&target)).ok() || !S_ISLNK(st.st_mode)) break;
    if (st.st_uid != ::geteuid()) {
      status = Status::Failed(kNotOwned);
    } else if (links == kMostLinks) {
      status = FromErrno(ELOOP);
    } else {
      const std::size_t slash = target.rfind('/');
      if (slash != std::string::npos) {
        const std::string head = slash == 0 ? "/" : target.substr(0, slash);
        bool listable = false;
        const int next = OpenDirectoryAt(at, head.c_str(), 0, &listable);
        if (next < 0) {
          status = FromErrno(errno);
        } else {
          ::close(at);
          at = next;
          target.erase(0, slash + 1);
        }
      }
      // A target ending in a slash names a directory.
      last = target.empty() ? "." : std::move(target);
    }
  }
  if (status.ok()) status = linked.Open(at, last, start, &st, out);
  if (status.ok()) {
    *dir = at;
  } else {
    ::close(at);
  }
  return status;
}

}  // namespace tabulon
