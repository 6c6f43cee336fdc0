#ifndef TABULON_TESTS_SUPPORT_PAGE_CHECK_H_
#define TABULON_TESTS_SUPPORT_PAGE_CHECK_H_

#include <string>
#include <vector>

namespace tabulon::testing {

// Runs tests/tools/check_pages.py over the given page bytes: each must parse
// as HTML with only the program's own elements and attributes, one row per
// link, and end whole; with `rows` >= 0, each must have that many rows.
// Returns the checker's report, empty when every page passes.
std::string CheckPages(const std::vector<std::string>& pages, int rows = -1);

}  // namespace tabulon::testing

#endif  // TABULON_TESTS_SUPPORT_PAGE_CHECK_H_
