#ifndef TABULON_PLATFORM_PLATFORM_H_
#define TABULON_PLATFORM_PLATFORM_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/byte_source.h"
#include "common/status.h"
#include "common/types.h"

namespace tabulon {

// A file being read, a block at a time (see ByteSource).
class InputFile : public ByteSource {
 public:
  // Whether the file opened is the run's own: it belongs to the user the run
  // runs as (POSIX: its owner is the effective user id) and has no other
  // name. A page that is not is never kept or copied from: an uploader may
  // have made it, or given the page's name to a file of that user that
  // others may write. On Windows, where new files take the directory's
  // access control instead, owners are not asked: any file with one name.
  virtual bool OwnedByRun() const { return true; }
};

// A listing file being written. Bytes go to a hidden temporary file in the
// target directory; Commit renames it over the target, so the target is
// either the old page or the whole new one. Destroying an uncommitted file
// removes the temporary file. A stop by a signal or the console removes it
// too, whichever thread is writing it. A target that is a link is replaced,
// never written through. The new page gets the permissions of a new file
// (POSIX: 0666 less the umask) unless OutputOptions name the page it
// replaces.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Appends bytes; a failure is sticky: later writes do nothing.
  virtual Status Write(std::string_view bytes) = 0;
  // Appends the pieces in order, as Write would one after the other.
  virtual Status WriteGathered(std::span<const std::string_view> pieces) {
    Status status;
    for (const std::string_view piece : pieces) {
      if (!(status = Write(piece)).ok()) break;
    }
    return status;
  }
  // Flushes, closes and renames over the target. Called at most once.
  virtual Status Commit() = 0;
};

// How CreateOutput makes a page.
struct OutputOptions {
  // The page on disk being replaced, as OpenInput opened it (without
  // following a link). When it is a regular file of the run's own
  // (OwnedByRun), the new page takes its permission bits (0777 only: never
  // set-user-ID, set-group-ID or sticky); taken from the open file, so
  // swapping the name meanwhile gains nothing. Ignored on Windows.
  const InputFile* replaced = nullptr;
  // Without `replaced`: the page on disk is there but could not be opened
  // for reading (a page of mode 0200). The new page takes the permission
  // bits the system tells of the name, no link followed, when that is a
  // regular file of the run's user with one name. Ignored on Windows.
  bool replaced_unread = false;
  // The file stays out of the directory until Commit where the system can
  // (Linux: an unnamed file linked under its temporary name at Commit), so
  // that one dropped uncommitted leaves the directory as it was. Elsewhere
  // it is made under its temporary name at once.
  bool unseen = false;
};

// How OpenInput treats a name that is a symbolic link (or reparse point).
enum class Follow {
  kNever,       // refused: the link and its target are left alone
  kInsideTree,  // followed only to a file inside the start directory's tree
                // (the one Platform::OpenDirectory opened, from which this
                // directory was reached), decided on the file opened, and
                // (POSIX) only through links of the run's user. A file with
                // another name is refused where others than the directory's
                // owner may write (Windows: anywhere), as that name may be
                // an uploader's for a file he can't read.
};

// An open directory. Every operation is relative to it, so paths of any
// length and depth are reached without building them.
//
// Threads: ReadNames (or ReadNamesInBatches) is called by one thread at a
// time. FillDetails may run on several threads at once for disjoint
// entries, beside any other call (a batch may be described while the names
// after it are read).
// OpenSubdirectory, OpenParent, OpenInput and CreateOutput may be called
// from several threads at once, also beside ReadNames (FILES.BBS is read
// while a large directory's names are). The files they return are used by
// one thread at a time (which may change), a directory as above; both may
// outlive the directory.
class Directory {
 public:
  virtual ~Directory() = default;
  // Reads the directory once, appending every entry but "." and ".." in the
  // order the system gives them; on a failure part way the entries read so
  // far stay. Where the system hands over the details with the names, the
  // entries are complete; otherwise only their names are set (NamesOnly)
  // and FillDetails completes them.
  virtual Status ReadNames(std::vector<SearchEntry>* entries) = 0;
  // ReadNames, handing the entries to `take` as they are read, each time in
  // a vector of its own, on the calling thread and in order: a large
  // directory's first entries can be described while the rest are read. At most
  // `first_batch` entries the first time and `batch` each time after; fewer
  // only with the last entries.
  virtual Status ReadNamesInBatches(
      std::size_t first_batch, std::size_t batch,
      const std::function<void(std::vector<SearchEntry>&&)>& take);
  virtual bool NamesOnly() const { return false; }
  // Completes entries from ReadNames: attributes, size and date. An entry
  // gone since the directory was read is marked Gone, and so is one whose
  // details the system refused, with its DetailsError. Reads only the Name
  // of each entry, so other threads may read the names meanwhile.
  virtual void FillDetails(SearchEntry* /*first*/, SearchEntry* /*last*/) {}
  // The failure behind an entry's DetailsError.
  virtual Status DetailsFailure(int code) const;
  // ReadNames and FillDetails in one, entries gone meanwhile left out.
  Status List(std::vector<SearchEntry>* entries);
  // Opens the subdirectory `name`; a link is never followed. One that may be
  // entered but not read (a drop box) opens too: ReadNames then fails with
  // the reason, and the rest works where the system lets it.
  virtual Status OpenSubdirectory(const std::string& name,
                                  std::unique_ptr<Directory>* out) = 0;
  // Opens the directory this one lies in, when that is still the one it was
  // reached from (the tree may have changed since): a way back up that
  // costs one open. Fails for the start directory of a tree, where the way
  // up is unknown, and where the directory above is another one now; a
  // link is never followed.
  virtual Status OpenParent(std::unique_ptr<Directory>* out);
  // Opens the regular file `name` for reading. Anything that is not a
  // regular file (a directory, a FIFO, a device) is refused without
  // blocking; a link as `follow` says. Not found is a kind of its own.
  virtual Status OpenInput(const std::string& name, Follow follow,
                           std::unique_ptr<InputFile>* out) = 0;
  // Starts replacing the file `name` (see OutputFile and OutputOptions).
  virtual Status CreateOutput(const std::string& name,
                              const OutputOptions& options,
                              std::unique_ptr<OutputFile>* out) = 0;
  // The same for a new page that takes nothing from the one it replaces.
  Status CreateOutput(const std::string& name,
                      std::unique_ptr<OutputFile>* out) {
    return CreateOutput(name, OutputOptions(), out);
  }
};

inline Status Directory::ReadNamesInBatches(
    std::size_t first_batch, std::size_t batch,
    const std::function<void(std::vector<SearchEntry>&&)>& take) {
  std::vector<SearchEntry> entries;
  const Status status = ReadNames(&entries);
  for (std::size_t first = 0; first < entries.size();
       first += first == 0 ? first_batch : batch) {
    const std::size_t last =
        std::min(entries.size(), first + (first == 0 ? first_batch : batch));
    take(std::vector<SearchEntry>(
        std::make_move_iterator(entries.begin() +
                                static_cast<std::ptrdiff_t>(first)),
        std::make_move_iterator(entries.begin() +
                                static_cast<std::ptrdiff_t>(last))));
  }
  return status;
}

inline Status Directory::DetailsFailure(int code) const {
  return Status::Failed("error " + std::to_string(code));
}

inline Status Directory::OpenParent(std::unique_ptr<Directory>*) {
  return Status::Failed("the way up is unknown");
}

inline Status Directory::List(std::vector<SearchEntry>* entries) {
  const std::size_t start = entries->size();
  const Status status = ReadNames(entries);
  if (NamesOnly()) {
    FillDetails(entries->data() + start, entries->data() + entries->size());
    entries->erase(
        std::remove_if(entries->begin() + static_cast<std::ptrdiff_t>(start),
                       entries->end(),
                       [](const SearchEntry& e) { return e.Gone; }),
        entries->end());
  }
  return status;
}

// How the system hands over the command line: split into arguments (POSIX)
// or as one string to be split by the program's own rules (Windows).
struct CommandLine {
  bool one_string = false;
  std::string line;               // when one_string: program name first
  std::vector<std::string> args;  // otherwise: the arguments after the name
};

// A thread that Platform::StartThread started. Destroying it waits for the
// thread to end.
class Thread {
 public:
  virtual ~Thread() = default;
};

// Everything the program takes from the operating system. Its calls
// Today(), MonotonicMs(), ProcessorMs(), StorageReads(), FreeMemory(),
// StartThread(), WriteStdout() and WriteStderr() may be made from any
// thread; the rest from the thread that made the platform, or from one
// thread it waits for.
class Platform {
 public:
  virtual ~Platform() = default;

  virtual CommandLine ReadCommandLine() = 0;
  // The process's current directory, native text; empty on failure.
  virtual std::string CurrentDirectory() = 0;
  // The native path separator: '/' or '\\'.
  virtual char Separator() const = 0;
  // Opens a directory given by a native path, as typed or absolute: the
  // start of a tree. One that may be entered but not read opens too.
  virtual Status OpenDirectory(const std::string& path,
                               std::unique_ptr<Directory>* out) = 0;
  virtual LocalDate Today() = 0;
  // Milliseconds from a fixed point in the past; never goes back.
  virtual std::uint64_t MonotonicMs() = 0;
  // The processor time the process has used so far, all its threads
  // together (user and system), in milliseconds; never goes back. Beside
  // MonotonicMs it tells whether the threads work or wait.
  virtual std::uint64_t ProcessorMs() = 0;
  // The blocks of storage the process has read so far, all its threads
  // together: reads a cache answered are not among them. Never goes back.
  // Beside ProcessorMs it tells threads that wait on a disk from threads
  // that work while the disk keeps the processors busy too. Nothing where
  // the system doesn't tell.
  virtual std::optional<std::uint64_t> StorageReads() { return std::nullopt; }
  // The largest block that could still be allocated, in bytes (an estimate).
  virtual std::uint64_t FreeMemory() = 0;
  // The processors this process may run on; at least 1.
  virtual int Processors() = 0;
  // How many more files (POSIX: descriptors; Windows: handles) the process
  // may have open at once, all threads together: its limit less those open
  // now. An estimate; UINT64_MAX when nothing is known of a limit.
  virtual std::uint64_t OpenFileRoom() { return UINT64_MAX; }
  // Runs `body`, which must not throw, on a new thread whose stack holds at
  // least `stack_bytes` (the system's own default stack can be many times
  // what the work needs, and counts against a limit of address space). No
  // room when the system can't start one more thread now.
  virtual Status StartThread(std::size_t stack_bytes,
                             std::function<void()> body,
                             std::unique_ptr<Thread>* out);
  // The program file's name without its directory.
  virtual std::string ProgramName() = 0;
  // The offset of a code address from the program's load address.
  virtual std::uintptr_t CodeOffset(const void* address) = 0;

  // Standard streams, written as bytes with no translation.
  virtual void WriteStdout(std::string_view bytes) = 0;
  virtual void WriteStderr(std::string_view bytes) = 0;
  virtual bool StderrIsTerminal() = 0;
  // Columns of the terminal on standard error; 0 when unknown.
  virtual int TerminalWidth() = 0;
};

// Starts `body` on a thread of the C++ library, with the system's default
// stack; for platforms without a call of their own (the tests' fake one).
inline Status StartSystemThread(std::function<void()> body,
                                std::unique_ptr<Thread>* out) {
  struct JoinedThread final : Thread {
    explicit JoinedThread(std::function<void()> body)
        : thread(std::move(body)) {}
    ~JoinedThread() override { thread.join(); }
    std::thread thread;
  };
  try {
    *out = std::make_unique<JoinedThread>(std::move(body));
  } catch (const std::system_error& e) {
    return Status::NoRoom(e.what());
  }
  return Status::Ok();
}

inline Status Platform::StartThread(std::size_t /*stack_bytes*/,
                                    std::function<void()> body,
                                    std::unique_ptr<Thread>* out) {
  return StartSystemThread(std::move(body), out);
}

// The platform of this build; `argc`/`argv` are main's, ignored on Windows.
// Call it first, before any other thread starts: on POSIX it opens each
// closed standard descriptor to /dev/null, ignores SIGPIPE and SIGXFSZ, and
// holds back every signal that ends the process for a thread of its own,
// which removes the temporary pages before the process ends by the signal.
std::unique_ptr<Platform> NewPlatform(int argc, char** argv);

}  // namespace tabulon

#endif  // TABULON_PLATFORM_PLATFORM_H_
