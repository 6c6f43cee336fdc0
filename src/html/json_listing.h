#ifndef TABULON_HTML_JSON_LISTING_H_
#define TABULON_HTML_JSON_LISTING_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/types.h"
#include "html/row.h"
#include "html/text.h"

namespace tabulon {

// FILES.JSON: the rows of a page for programs. UTF-8, LF line ends, one
// object; nothing in it depends on the day of the run, so an unchanged tree
// gives the same bytes.

// Appends `utf8` as a JSON string, quotes included: '"', '\' and controls
// below 0x20 escaped, everything else as it is ("/" too). The caller hands
// over valid UTF-8.
void AppendJsonString(std::string_view utf8, std::string* out);
// The same without the quotes: a part of a string.
void AppendJsonText(std::string_view utf8, std::string* out);

// Appends native text (a name, a path) as UTF-8: a byte that is not part of
// valid UTF-8 becomes the code page 866 character it stands for, so the
// result is always valid UTF-8.
void AppendNativeUtf8(std::string_view native, std::string* out);

// The ASCII form of a link. A name in the name-built part: every byte from
// 0x80 up, the controls, DEL, % # ? : and \ are written %XX (uppercase); a
// blank is written %20 where it begins (kLinkBegins) or ends (kLinkEnds) the
// link. The typed base address: backslashes become "/", bytes from 0x80 up
// %XX, all else as typed.
void AppendHrefName(std::string_view native, unsigned edges, std::string* out);
void AppendHrefUrl(std::string_view url, std::string* out);

// Appends `seconds` since 1970-01-01T00:00:00Z as RFC 3339 in UTC,
// "2026-12-08T14:21:03Z"; held to the years 0000 to 9999. Test support:
// the entries write the same bytes in place, and tests read them here.
void AppendUtcTime(std::int64_t seconds, std::string* out);

// What the entries of one directory share beside the row context.
struct JsonContext {
  // The entries' directory below the start, "/" after each name ("" for
  // the start directory), as UTF-8 (AppendNativeUtf8) escaped for a JSON
  // string (AppendJsonText): made once for all the entries of a directory.
  std::string_view relative;
  // Put before a file's href: the ASCII base address and relative
  // directory, or nothing when links are relative to the directory's page.
  std::string_view file_href_prefix;
};

// Appends the head: the opening brace, generator, directory (native text,
// "/" between names, "" for the start) and the opening of "entries".
void WriteJsonHead(std::string_view version, std::string_view directory,
                   std::string* out);

// Appends the entry of `entry` when it has a row (as WriteRow decides),
// with what its row shows; `description` and `code` as for WriteRow. Each
// entry begins with the comma that separates it from the one before, so
// that entries made apart join: the first of a page drops it
// (JsonEntriesAfter). Returns whether an entry was written.
bool WriteJsonEntry(const SearchEntry& entry, const RowContext& row,
                    const JsonContext& json,
                    std::optional<std::string_view> description, TCode code,
                    std::string* out);

// The entries as they join the page: without their first comma while
// `*first` is true, which the first non-empty call sets false.
std::string_view JsonEntriesAfter(std::string_view entries, bool* first);

// Appends the foot: the end of "entries" (`any`: whether there was one),
// the totals and the closing brace.
void WriteJsonFoot(const Totals& totals, bool any, std::string* out);

}  // namespace tabulon

#endif  // TABULON_HTML_JSON_LISTING_H_
