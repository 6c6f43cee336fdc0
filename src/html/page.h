#ifndef TABULON_HTML_PAGE_H_
#define TABULON_HTML_PAGE_H_

#include <string>
#include <string_view>

#include "common/types.h"

namespace tabulon {

// The title of the page of the directory `path`, its last component: one
// trailing separator is dropped, then everything after the last separator
// is taken.
std::string DirectoryTitle(std::string_view path, char separator);

// Appends the page head with the title (native text), declaring and
// holding `charset`. The head's last line, the column headings, has no line
// end: the first row continues it.
void WriteHeader(std::string_view title, TCharset charset, std::string* out);

// Appends the page foot: table end, totals, creation stamp, document end.
void WriteFooter(const Totals& totals, const LocalDate& today,
                 std::string* out);

// "Created MM-DD-YY" for the given day.
std::string CreatedStamp(const LocalDate& today);

// Appends "MM-DD-YY" as a date cell shows it: a blank instead of nothing
// before a two-digit month, "-0" before a one-digit day, the year's last
// two digits.
void AppendDateText(const LocalDate& date, std::string* out);

}  // namespace tabulon

#endif  // TABULON_HTML_PAGE_H_
