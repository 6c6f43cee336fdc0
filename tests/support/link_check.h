#ifndef TABULON_TESTS_SUPPORT_LINK_CHECK_H_
#define TABULON_TESTS_SUPPORT_LINK_CHECK_H_

#include <string>

namespace tabulon::testing {

// Checks the pages a run wrote into the tree at `root`, its start
// directory, with `url` as its URL, in tree mode or not: each page as
// CheckPages checks it, and (tests/tools/check_pages.py) every link must
// lead, as a browser resolves it, to the entry its row names, every entry
// the page must list having one. Returns the faults, empty when all is
// well.
std::string CheckLinks(const std::string& root, const std::string& url,
                       bool tree_mode);

}  // namespace tabulon::testing

#endif  // TABULON_TESTS_SUPPORT_LINK_CHECK_H_
