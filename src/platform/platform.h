#ifndef TABULON_PLATFORM_PLATFORM_H_
#define TABULON_PLATFORM_PLATFORM_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "common/types.h"

namespace tabulon {

// A listing file being written. Bytes go to a hidden temporary file in the
// target directory; Commit renames it over the target, so the target is
// either the old page or the whole new one. Destroying an uncommitted file
// removes the temporary file.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Appends bytes; a failure is sticky: later writes do nothing.
  virtual Status Write(std::string_view bytes) = 0;
  // Flushes, closes and renames over the target. Called at most once.
  virtual Status Commit() = 0;
};

// An open directory. Every operation is relative to it, so paths of any
// length and depth are reached without building them.
class Directory {
 public:
  virtual ~Directory() = default;
  // Reads the directory once, appending every entry but "." and ".." in the
  // order the system gives them; on a failure part way the entries read so
  // far stay. Where the system hands over the details with the names, the
  // entries are complete; otherwise only their names are set (NeedsDescribe)
  // and Describe completes them.
  virtual Status ReadNames(std::vector<SearchEntry>* entries) = 0;
  virtual bool NeedsDescribe() const { return false; }
  // Completes entries from ReadNames: attributes, size and date. An entry
  // gone since the directory was read gets an empty Name. While it runs,
  // another thread may read files and write a page through this directory.
  virtual void Describe(SearchEntry* /*first*/, SearchEntry* /*last*/) {}
  // ReadNames and Describe in one, entries gone meanwhile left out.
  Status List(std::vector<SearchEntry>* entries);
  // Opens the subdirectory `name`; a link is never followed.
  virtual Status OpenSubdirectory(const std::string& name,
                                  std::unique_ptr<Directory>* out) = 0;
  // Reads the whole regular file `name`. Anything that is not a regular file
  // (a directory, a FIFO, a device) is refused without blocking.
  virtual Status ReadWholeFile(const std::string& name, std::string* bytes) = 0;
  // Starts replacing the file `name` (see OutputFile).
  virtual Status CreateOutput(const std::string& name,
                              std::unique_ptr<OutputFile>* out) = 0;
};

inline Status Directory::List(std::vector<SearchEntry>* entries) {
  const std::size_t start = entries->size();
  const Status status = ReadNames(entries);
  if (NeedsDescribe()) {
    Describe(entries->data() + start, entries->data() + entries->size());
    entries->erase(std::remove_if(entries->begin() + static_cast<std::ptrdiff_t>(start),
                                  entries->end(),
                                  [](const SearchEntry& e) { return e.Name.empty(); }),
                   entries->end());
  }
  return status;
}

// How the system hands over the command line: split into arguments (POSIX)
// or as one string to be split by the program's own rules (Windows).
struct CommandLine {
  bool one_string = false;
  std::string line;                // when one_string: program name first
  std::vector<std::string> args;   // otherwise: the arguments after the name
};

// Everything the program takes from the operating system.
class Platform {
 public:
  virtual ~Platform() = default;

  virtual CommandLine ReadCommandLine() = 0;
  // The process's current directory, native text; empty on failure.
  virtual std::string CurrentDirectory() = 0;
  // The native path separator: '/' or '\\'.
  virtual char Separator() const = 0;
  // Opens a directory given by a native path, as typed or absolute.
  virtual Status OpenDirectory(const std::string& path,
                               std::unique_ptr<Directory>* out) = 0;
  virtual LocalDate Today() = 0;
  // Milliseconds from a fixed point in the past; never goes back.
  virtual std::uint64_t MonotonicMs() = 0;
  // The largest block that could still be allocated, in bytes (an estimate).
  virtual std::uint64_t FreeMemory() = 0;
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

// The platform of this build; `argc`/`argv` are main's, ignored on Windows.
std::unique_ptr<Platform> NewPlatform(int argc, char** argv);

}  // namespace tabulon

#endif  // TABULON_PLATFORM_PLATFORM_H_
