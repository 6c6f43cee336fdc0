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
  // The name of the description file actually read, which gets no row.
  std::string_view description_file;
  TCharset charset = cWindows1251;
  // Whether a FILES.JSON is written beside the page: an entry so named,
  // ASCII case aside, then gets no row.
  bool json = false;
};

// Whether `entry` gets a row: not FILES.BBS, FILES.HTM, the description
// file or (with `json`) FILES.JSON, and in mList no directory.
bool HasRow(const SearchEntry& entry, const RowContext& context);

// Appends the row of `entry` to `out` and counts a file in `totals`.
// `description` is the one found for the entry, in code page `code` (its
// description file's), or nullopt when none was found. Appends nothing for
// FILES.BBS, FILES.HTM, the description file and, in mList, directories.
// Returns whether a row was written.
bool WriteRow(const SearchEntry& entry, const RowContext& context,
              std::optional<std::string_view> description, TCode code,
              Totals* totals, std::string* out);

}  // namespace tabulon

#endif  // TABULON_HTML_ROW_H_
