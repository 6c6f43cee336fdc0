#ifndef TABULON_FUZZ_PAGE_CHECK_H_
#define TABULON_FUZZ_PAGE_CHECK_H_

#include <string>
#include <string_view>

namespace tabulon::fuzzing {

// Whether `text`, taken from data and written as element text, can neither
// open markup nor end an attribute: no < > ", and every & starts an entity.
bool IsInertText(std::string_view text);

// Whether `page` is one whole page and every tag in it is one the program
// writes: the head, one <tr> per row plus the headings, the foot. Sets *why
// to the first fault and *rows to the number of rows.
bool IsWholePage(std::string_view page, int* rows, std::string* why);

}  // namespace tabulon::fuzzing

#endif  // TABULON_FUZZ_PAGE_CHECK_H_
