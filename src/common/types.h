#ifndef TABULON_COMMON_TYPES_H_
#define TABULON_COMMON_TYPES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tabulon {

// The code page of a description file; tUtf8 for one written in UTF-8.
enum TCode : std::uint8_t { tAlt = 0, tWin = 1, tKoi = 2, tUtf8 = 3 };

// The character set pages are written in.
enum TCharset : std::uint8_t { cWindows1251 = 0, cUtf8 = 1 };

// The run mode: one page for the whole tree, or one page per directory.
enum TMode : std::uint8_t { mList = 0, mTree = 1 };

// A calendar date in local time. Any year from 1601 to 9999 is possible.
struct LocalDate {
  int year = 1980;
  int month = 1;
  int day = 1;
};

// Attribute bits of a directory entry. The low byte follows the DOS layout;
// kAttrLink marks a symbolic link or reparse point, which is never entered.
inline constexpr std::uint32_t kAttrReadOnly = 0x01;
inline constexpr std::uint32_t kAttrHidden = 0x02;
inline constexpr std::uint32_t kAttrSystem = 0x04;
inline constexpr std::uint32_t kAttrDirectory = 0x10;
inline constexpr std::uint32_t kAttrArchive = 0x20;
inline constexpr std::uint32_t kAttrLink = 0x400;

// One entry delivered by the directory search. Name is native text (UTF-8;
// on POSIX any bytes but "/" and NUL). For a link, Size and Time are those of
// its target, or its own when the target is missing.
struct SearchEntry {
  std::string Name;
  std::uint32_t Attr = 0;
  std::int64_t Size = 0;
  LocalDate Time;
  // The same moment in UTC: seconds since 1970-01-01T00:00:00Z, negative
  // before it.
  std::int64_t Modified = 0;
  // Gone from the directory between reading its names and its details.
  bool Gone = false;
  // With Gone, when the details could not be read though the entry may be
  // there still (access denied, an input/output error): the system's error
  // code, which Directory::DetailsFailure words.
  int DetailsError = 0;

  bool IsDirectory() const { return (Attr & kAttrDirectory) != 0; }
  bool IsLink() const { return (Attr & kAttrLink) != 0; }
};

// The run-wide settings, fixed from the command line before the first file
// operation and only read afterwards.
struct RunSettings {
  TMode RunMode = mList;
  std::string FromDir;  // always ends with the native separator
  std::string URL;      // as typed, possibly empty
  // The text after each "--exclude=", "--jobs=" and "--charset=", as typed
  // and in the order given.
  std::vector<std::string> Exclude;
  std::vector<std::string> JobCounts;
  std::vector<std::string> Charsets;
  // The last --charset= given; windows-1251 until the run has checked the
  // switches.
  TCharset Charset = cWindows1251;
  // Whether a FILES.JSON is written beside each FILES.HTM.
  bool Json = false;
  // Whether the banner and the progress line are left out (--quiet, -q).
  bool Quiet = false;
  // The parameters that look like options but are none, as typed, in order.
  std::vector<std::string> Unknown;
  // The threads the walk may use: the last --jobs=N, else the default for
  // the machine; 0 until the run has checked the switches.
  int Jobs = 0;
  // Up to this many while they wait on the file system: Jobs when given,
  // else more.
  int MostJobs = 0;
};

// The totals of the page being written.
struct Totals {
  std::int64_t TotalFiles = 0;
  std::int64_t TotalBytes = 0;
};

}  // namespace tabulon

#endif  // TABULON_COMMON_TYPES_H_
