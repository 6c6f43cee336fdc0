#ifndef TABULON_PLATFORM_POSIX_POSIX_INTERNAL_H_
#define TABULON_PLATFORM_POSIX_POSIX_INTERNAL_H_

// What the files of the POSIX backend share. Where the system has a way of
// its own beside the portable one, each lives in a file of its own
// (…_linux.cc or named for the way, and …_portable.cc), and
// src/platform/posix/CMakeLists.txt compiles one of the two: the portable
// one where the system lacks the other or TABULON_PORTABLE_POSIX asks for
// it. Every file operation is relative to an open directory descriptor, so
// trees deeper than PATH_MAX are walked without ever building (or cutting)
// a long path.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/status.h"
#include "platform/directory_dates.h"
#include "platform/pending_files.h"
#include "platform/platform.h"

namespace tabulon {

// --- Errors (platform_posix.cc) ---

// The system's text for errno `error`; never empty.
std::string Reason(int error);
// `error` as a status: not found (ENOENT), no room (EMFILE, ENFILE) or
// failed, with the system's text.
Status FromErrno(int error);
// Writes all of `data` to `fd`; false with errno set when a write fails.
bool WriteAll(int fd, const char* data, std::size_t size);

inline bool IsDotOrDotDot(const char* name) {
  return name[0] == '.' &&
         (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// --- Directories (directories_posix.cc) ---

// An open directory's descriptor, closed when the last of those that hold
// it lets go: a page written into the directory holds it too, since a page
// may outlive its directory (and a stop may still remove its temporary
// file), and a copy of the descriptor for every page would cost two calls
// of the system a page.
class SharedDescriptor {
 public:
  explicit SharedDescriptor(int fd) : fd_(fd) {}
  ~SharedDescriptor();
  SharedDescriptor(const SharedDescriptor&) = delete;
  SharedDescriptor& operator=(const SharedDescriptor&) = delete;
  int fd() const { return fd_; }

 private:
  const int fd_;
};

// Where a directory's files are named: relative to its own descriptor
// (`prefix` empty), or "name/…" relative to its parent's, for one that may
// be entered but not read where no descriptor can be had for it (see
// PosixDirectory::EnterByName).
struct DirectoryPlace {
  std::shared_ptr<const SharedDescriptor> held;
  std::string prefix;  // "" or "name/"

  int fd() const { return held->fd(); }
  // What the system tells of the directory itself; -1 with errno set.
  int Stat(struct stat* st) const;
};

// The start directory of a tree, against which the target of a link is
// judged: which directory it is and, where the system names open files,
// where it lies.
struct TreeStart {
  bool identified = false;  // device and inode are known
  dev_t device = 0;
  ino_t inode = 0;
  std::string path;  // "" when unknown
};

// Opens the directory `path` (relative to `at`) to read its names, or for
// search only when reading is refused but searching is not. Returns -1 with
// errno set when neither works.
int OpenDirectoryAt(int at, const char* path, int flags, bool* listable);

// The start directory of a tree at `path`, into *out.
Status OpenStartDirectory(const std::string& path,
                          std::unique_ptr<Directory>* out);

// How a directory is opened for search only: O_PATH, O_SEARCH, or 0 where
// the system has no such way (proc_fd_*.cc).
extern const int kSearchOnly;

// --- Reading a directory's names (dir_reader_*.cc) ---

// Takes each name a directory holds.
class NameSink {
 public:
  virtual void Take(const char* name, std::size_t size) = 0;

 protected:
  ~NameSink() = default;
};

// Reads the directory `self` (relative to `fd`: "." or "name/.") once from
// its start, giving `sink` every entry but "." and "..". `listable`: `fd`
// is the directory's own, opened for reading; otherwise `self` is opened
// for reading, which gives the reason it can't be. `*read_before` notes
// that `fd`'s offset has moved (where the reader moves it); it starts
// false.
Status ReadEachName(int fd, const char* self, bool listable, bool* read_before,
                    NameSink& sink);

// --- Files (files_posix.cc) ---

// Reads the key of temporary pages' names from the system's random source:
// once, early, before any limit of open files can stand in its way.
void ReadNameKey();

// The file of `fd`: regular, or refused with the reason why not. `st` takes
// what the system tells of it.
Status RegularFile(int fd, struct stat* st);

// A page reading `fd`, a regular file of which `st` tells.
std::unique_ptr<InputFile> NewInputFile(int fd, const struct stat& st);

// The permission bits a page replacing `replaced` takes on, into *mode:
// its own for a regular file that is the run's own, nothing (those of a new
// file) otherwise. False when `replaced` is none of NewInputFile's.
bool PassedOnMode(const InputFile* replaced, std::optional<mode_t>* mode);

// A page to be named `name` in the directory at `place`, which it holds
// from then on, with the permission bits `mode` when given; written without
// a name when `unseen` and the system can.
Status NewOutputFile(const DirectoryPlace& place, const std::string& name,
                     bool unseen, std::optional<mode_t> mode,
                     std::unique_ptr<OutputFile>* out);

// The hole-seeking way (holes_*.cc): whether this build finds holes, and
// where the data at or after `from` in `fd` begins and the hole after it
// (the file's end when none); false when the system can't tell.
extern const bool kFindsHoles;
bool FindData(int fd, off_t from, off_t* data, off_t* hole);

// --- The ways of /proc/self/fd and O_PATH (proc_fd_*.cc) ---

// The name through which the process reaches its open file `fd` (only
// where the Linux ways are built).
std::string ProcFdPath(int fd);

// Sets the times of a directory whose descriptor takes none (one opened for
// search only), where the system can reach it otherwise.
void SetTimesThroughPlace(int dir, const struct timespec times[2]);

// Creates an unnamed file in `dir` for writing; -1 where the system (or the
// file system) can't.
int CreateUnnamed(int dir);
// Gives the unnamed file `fd` the name `name` in `dir`; false with errno set
// when that fails.
bool NameUnnamed(int fd, int dir, const char* name);

// Whether the thread that takes stop signals can have a table of
// descriptors of its own and still reach the others' files; and makes the
// calling thread's table its own.
bool StopThreadCanOwnDescriptors();
void OwnDescriptors();
// The directory `dir` of the process's shared table opened anew, from a
// thread with a table of its own; -1 when it can't be.
int ReopenShared(int dir);

// --- Links (links_posix.cc, links_*.cc) ---

// Where the open start directory `fd` lies, where the system can tell; ""
// otherwise.
std::string StartPathOf(int fd);

// The names a link leads through, judged one at a time (links_*.cc): where
// the system can open a name for its place alone, by what is opened, else
// by the name.
class LinkedName {
 public:
  LinkedName() = default;
  ~LinkedName();
  LinkedName(const LinkedName&) = delete;
  LinkedName& operator=(const LinkedName&) = delete;

  // Looks at `name` in `at`: *st takes what the system tells of it, *text a
  // link's text.
  Status Look(int at, const std::string& name, struct stat* st,
              std::string* text);
  // Opens for reading the regular file last looked at, `name` in `at`, when
  // it lies inside `start`'s tree. *st tells of it.
  Status Open(int at, const std::string& name, const TreeStart& start,
              struct stat* st, int* out);

 private:
  int place_ = -1;  // the last name opened for its place, where one is
};

// The text of the link `name` in `dir` ("" with a link opened for its place
// as `dir`, where the system can).
Status LinkText(int dir, const char* name, std::string* text);

// Opens the file that the link `name` in `from` leads to, when that lies
// inside `start`'s tree and every link on the way belongs to the run's
// user; the directory it lies in goes to *dir (see links_posix.cc).
Status OpenThroughLink(int from, const std::string& name,
                       const TreeStart& start, int* out, int* dir);

// How files are opened for reading. O_NONBLOCK: a FIFO named like a
// description file must not hang the run.
constexpr int kRead = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

extern const char kNotFollowed[];
extern const char kLeadsOutside[];
extern const char kLeadsNowhereKnown[];

// --- Stop signals (signals_posix.cc) ---

// The temporary pages of the process, which a stop removes.
PendingFiles& Pending();

// Holds the stop signals back on this thread while it lives, where they are
// taken by a handler rather than a thread of their own: the handler waits
// for the steps under way on temporary files and can't wait for the one it
// interrupts.
class StopsHeldBack {
 public:
  StopsHeldBack();
  ~StopsHeldBack();
  StopsHeldBack(const StopsHeldBack&) = delete;
  StopsHeldBack& operator=(const StopsHeldBack&) = delete;

 private:
  sigset_t old_;
};

// Whether the thread that takes stop signals has a table of descriptors of
// its own, and so reaches the others' files through ReopenShared.
bool StopReachesThroughProc();

// Sets up the taking of stop signals; before any other thread starts.
void HandleStops();

// --- Memory (memory_posix.cc, free_memory_*.cc, heap_*.cc) ---

// What memory the run may still take: the least of the system's free
// memory, what an address-space limit leaves and what the control groups'
// limits leave; UINT64_MAX when nothing tells.
std::uint64_t FreeMemory();
// The system's free memory and swap; UINT64_MAX when it can't tell.
std::uint64_t SystemFreeMemory();
// Sets up the heap for the run's large buffers, where the C library can.
void TuneHeap();
// What the heap holds free, mapped already; 0 when it can't tell.
std::uint64_t HeapHeldFree();
// The processors the process may run on; 0 when the system can't tell.
int AffinityProcessors();

}  // namespace tabulon

#endif  // TABULON_PLATFORM_POSIX_POSIX_INTERNAL_H_
