#ifndef TABULON_COMMON_ENTRY_RULES_H_
#define TABULON_COMMON_ENTRY_RULES_H_

#include <string_view>
#include <vector>

#include "common/types.h"

namespace tabulon {

// Which entries of a directory get a row, in one place: the walk, the job
// that reads a directory and the rows all ask here.

// The names the run writes and reads in every directory.
inline constexpr char kPageName[] = "FILES.HTM";
inline constexpr char kJsonName[] = "FILES.JSON";
inline constexpr char kFilesBbsName[] = "FILES.BBS";
inline constexpr char kDescriptIonName[] = "DESCRIPT.ION";

// Whether `a` and `b` are the same once a-z are read as A-Z.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

// Whether `name` begins with a dot (or is empty): such an entry never gets
// a row, is never counted and never walked.
bool IsHidden(std::string_view name);

// Of a directory's entries, the index of the one that serves as its
// description file, or -1: the entry named exactly "FILES.BBS", else the
// first in name order whose name equals it ignoring ASCII case, else the
// first so named "DESCRIPT.ION".
int DescriptionFileOf(const std::vector<SearchEntry>& entries);

// Whether the description file `name` is read as a FILES.BBS (else as a
// DESCRIPT.ION).
bool IsFilesBbs(std::string_view name);

// Whether an entry named `name` may be the page, or FILES.JSON, of its
// directory on a system that ignores letter case.
bool MayBePage(std::string_view name);
bool MayBeJson(std::string_view name);

// What decides, in one directory, which entries are the run's own files
// rather than its visitors'.
struct OwnFiles {
  // Whether a FILES.JSON is written beside the page.
  bool json = false;
  // The name of the description file actually read, or empty.
  std::string_view description_file;
};

// Whether `entry` is one of the run's own files: FILES.BBS or FILES.HTM so
// named exactly, FILES.JSON in any ASCII case with `json`, or the
// description file. Such a file gets no row, is not counted and is never
// walked; a directory of any such name is an ordinary directory.
bool IsOwnFile(const SearchEntry& entry, const OwnFiles& own);

// Whether an entry named `name` is never left out by --exclude: FILES.BBS
// and FILES.HTM so named exactly, and the description file. Told by the
// name alone, since exclusions are applied before the details are known.
bool NeverExcluded(std::string_view name, const OwnFiles& own);

// Whether the mode lists `entry` at all: in mList no directory is.
bool ModeLists(const SearchEntry& entry, TMode mode);

// Whether `entry`, read whole and kept by the exclusions, gets a row.
bool GetsRow(const SearchEntry& entry, const OwnFiles& own, TMode mode);

}  // namespace tabulon

#endif  // TABULON_COMMON_ENTRY_RULES_H_
