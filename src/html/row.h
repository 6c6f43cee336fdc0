#ifndef TABULON_HTML_ROW_H_
#define TABULON_HTML_ROW_H_

#include <optional>
#include <string>
#include <string_view>

#include "common/types.h"

namespace tabulon {

// What the rows of one directory share.
struct RowContext {
  TMode RunMode = mList;
  // Page bytes put before a file's name in its link: the converted base
  // address and relative directory, or nothing when links are relative to
  // the directory's own page.
  std::string_view file_link_prefix;
  TCharset charset = cWindows1251;
};

// Appends the row of `entry` to `out` and counts a file in `totals`.
// `description` is the one found for the entry, in code page `code` (its
// description file's), or nullopt when none was found. Appends nothing for
// an entry the mode does not list (ModeLists); which files are the run's
// own, and get no row, the caller has decided (GetsRow). Returns whether a
// row was written.
bool WriteRow(const SearchEntry& entry, const RowContext& context,
              std::optional<std::string_view> description, TCode code,
              Totals* totals, std::string* out);

}  // namespace tabulon

#endif  // TABULON_HTML_ROW_H_
