#include "support/page_check.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

namespace tabulon::testing {
namespace {

// The tags the program writes itself; links are checked on their own.
constexpr std::string_view kOwnTags[] = {
    "html",
    "/html",
    "head",
    "/head",
    "title",
    "/title",
    "body",
    "/body",
    "table",
    "/table",
    "th",
    "/th",
    "tr",
    "/tr",
    "td",
    "/td",
    "td align=right",
    "td align=center",
    "/a",
    "b",
    "/b",
    "i",
    "/i",
    "br",
    "meta http-equiv=\"Content-Language\" content=\"ru\"",
    "meta http-equiv=\"Content-Type\" content=\"text/html; "
    "charset=windows-1251\"",
    "meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\""};

// The length of the entity at the start of `s`, or 0 when there is none.
std::size_t EntityLength(std::string_view s) {
  for (std::string_view named : {"&amp;", "&lt;", "&gt;", "&quot;", "&nbsp;"}) {
    if (s.starts_with(named)) return named.size();
  }
  if (!s.starts_with("&#")) return 0;
  std::size_t i = 2;
  while (i < s.size() && i < 10 &&
         std::isdigit(static_cast<unsigned char>(s[i])))
    ++i;
  return i > 2 && i < s.size() && s[i] == ';' ? i + 1 : 0;
}

}  // namespace

bool IsInertText(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '<' || c == '>' || c == '"') return false;
    if (c == '&') {
      const std::size_t n = EntityLength(text.substr(i));
      if (n == 0) return false;
      i += n - 1;
    }
  }
  return true;
}

bool IsWholePage(std::string_view page, int* rows, std::string* why) {
  *rows = 0;
  int tr = 0, td = 0;
  // Elements a page has once: a second one would be a name's markup.
  std::vector<std::pair<std::string_view, int>> once = {
      {"html", 0}, {"head", 0},  {"title", 0},
      {"body", 0}, {"table", 0}, {"th", 0}};
  if (!page.starts_with("<html><head>")) return *why = "no head", false;
  if (!page.ends_with("</body></html>\r\n")) return *why = "no foot", false;
  std::size_t text_start = 0;
  for (std::size_t i = 0; i < page.size(); ++i) {
    if (page[i] != '<') continue;
    if (!IsInertText(page.substr(text_start, i - text_start))) {
      *why = "markup in text at " + std::to_string(text_start);
      return false;
    }
    const std::size_t end = page.find('>', i);
    if (end == page.npos) return *why = "unclosed tag", false;
    const std::string_view tag = page.substr(i + 1, end - i - 1);
    bool known = false;
    for (std::string_view own : kOwnTags) known = known || tag == own;
    if (tag.starts_with("a href=\"") && tag.ends_with("\"") &&
        tag.size() >= 9) {
      const std::string_view link = tag.substr(8, tag.size() - 9);
      known = IsInertText(link);
      ++*rows;
    }
    if (!known) return *why = "foreign tag <" + std::string(tag) + ">", false;
    if (tag == "tr") ++tr;
    if (tag.starts_with("td")) ++td;
    for (auto& [name, count] : once) count += tag == name;
    text_start = end + 1;
    i = end;
  }
  if (tr != *rows + 1) {
    *why = std::to_string(tr) + " <tr> for " + std::to_string(*rows) + " rows";
    return false;
  }
  if (td != 4 * (*rows + 1)) {
    *why = std::to_string(td) + " cells for " + std::to_string(*rows) + " rows";
    return false;
  }
  for (const auto& [name, count] : once) {
    if (count != 1) {
      *why = std::to_string(count) + " <" + std::string(name) + "> elements";
      return false;
    }
  }
  return true;
}

std::string CheckPages(const std::vector<std::string>& pages, int rows) {
  std::string report;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    int found = 0;
    std::string why;
    if (!IsWholePage(pages[i], &found, &why)) {
      report += "page " + std::to_string(i) + ": " + why + "\n";
    } else if (rows >= 0 && found != rows) {
      report += "page " + std::to_string(i) + ": " + std::to_string(found) +
                " rows, expected " + std::to_string(rows) + "\n";
    }
  }
  return report;
}

std::vector<std::string> PagesIn(const std::string& root) {
  std::vector<std::string> pages;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(
           root, std::filesystem::directory_options::skip_permission_denied,
           error);
       it != std::filesystem::recursive_directory_iterator();
       it.increment(error)) {
    if (error || it->path().filename() != "FILES.HTM") continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (bytes.str().starts_with("<html>")) pages.push_back(bytes.str());
  }
  return pages;
}

}  // namespace tabulon::testing
