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

// Runs the checker over the pages a run wrote into the tree at `root`, its
// start directory, with `url` as its URL, in tree mode or not: each page as
// CheckPages checks it, and every link must lead, as a browser resolves it,
// to the entry its row names, every entry the page must list having one.
// Returns the checker's report, empty when all is well.
std::string CheckLinks(const std::string& root, const std::string& url,
                       bool tree_mode);

}  // namespace tabulon::testing

#endif  // TABULON_TESTS_SUPPORT_PAGE_CHECK_H_
