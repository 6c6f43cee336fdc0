#ifndef TABULON_TESTS_SUPPORT_PAGE_CHECK_H_
#define TABULON_TESTS_SUPPORT_PAGE_CHECK_H_

#include <string>
#include <string_view>
#include <vector>

// The one check of a page's shape, for the fuzz targets and the tests.
namespace tabulon::testing {

// Whether `text`, taken from data and written as element text, can neither
// open markup nor end an attribute: no < > ", and every & starts an entity.
bool IsInertText(std::string_view text);

// Whether `page` is one whole page and every tag in it is one the program
// writes: the head, one <tr> of four cells per row plus the headings, the
// foot, each of html, head, title, body, table and th once. Sets *why to
// the first fault and *rows to the number of rows (links).
bool IsWholePage(std::string_view page, int* rows, std::string* why);

// Checks each page as IsWholePage does; with `rows` >= 0, each must have
// that many rows. Returns the faults, one line each, empty when every page
// passes.
std::string CheckPages(const std::vector<std::string>& pages, int rows = -1);

// The pages (files named FILES.HTM that begin like one; others are a test's
// stand-ins for an earlier page) in the tree at `root`.
std::vector<std::string> PagesIn(const std::string& root);

}  // namespace tabulon::testing

#endif  // TABULON_TESTS_SUPPORT_PAGE_CHECK_H_
