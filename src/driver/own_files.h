#ifndef TABULON_DRIVER_OWN_FILES_H_
#define TABULON_DRIVER_OWN_FILES_H_

#include <string_view>

#include "common/types.h"

namespace tabulon {

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

}  // namespace tabulon

#endif  // TABULON_DRIVER_OWN_FILES_H_
