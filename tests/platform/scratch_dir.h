#ifndef TABULON_TESTS_PLATFORM_SCRATCH_DIR_H_
#define TABULON_TESTS_PLATFORM_SCRATCH_DIR_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace tabulon::testing {

// A fresh directory for one platform test under the system's temporary
// directory: removed when the test passed, kept with its path printed when it
// failed. Relative paths use '/'. Every helper reaches its file level by
// level, so trees deeper than the system's path limit can be made and
// removed. A helper returns false (with `why` where it has one) when the
// system can't do what it asks.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The absolute native path, without a trailing separator.
  const std::string& root() const { return root_; }

  bool MakeDir(const std::string& relative);
  bool MakeFile(const std::string& relative, std::string_view bytes);
  // Windows: the hidden and system attributes. POSIX has none: false.
  bool MakeHidden(const std::string& relative);
  bool MakeReadOnly(const std::string& relative);
  // Sets the last write to the given local time.
  bool SetLocalTime(const std::string& relative, int year, int month, int day,
                    int hour, int minute);
  // Sets the last write to `seconds` after 1970-01-01T00:00:00Z.
  bool SetUtcTime(const std::string& relative, std::int64_t seconds);
  // A file of `size` bytes that takes (almost) no room on disk.
  bool MakeSparse(const std::string& relative, std::int64_t size);
  // A link to the directory `target` (relative to the link's own directory):
  // a symbolic link on POSIX, a junction on Windows.
  bool MakeDirectoryLink(const std::string& relative, const std::string& target,
                         std::string* why);
  // A symbolic link to the file `target` (relative to the link's directory).
  bool MakeFileLink(const std::string& relative, const std::string& target,
                    std::string* why);
  // A second name `relative` of the file `existing` (a hard link).
  bool MakeHardLink(const std::string& relative, const std::string& existing);
  bool Exists(const std::string& relative);
  // Whether `relative` is a symbolic link (or another reparse point).
  bool IsLink(const std::string& relative);
  // POSIX permission bits (07777) of `relative` ("" for the root itself);
  // Windows has none: false and -1.
  bool SetMode(const std::string& relative, unsigned mode);
  int Mode(const std::string& relative);

 private:
  std::string root_;
};

// Makes the process's time zone one far from UTC, so that a date taken in
// UTC by mistake shows. POSIX only: Windows reads its zone at start (the
// Wine test runs get TZ from the build).
void UseDistantTimeZone();

}  // namespace tabulon::testing

#endif  // TABULON_TESTS_PLATFORM_SCRATCH_DIR_H_
