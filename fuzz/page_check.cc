#include "page_check.h"

#include <cctype>

namespace tabulon::fuzzing {
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
  int tr = 0;
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
    text_start = end + 1;
    i = end;
  }
  if (tr != *rows + 1) {
    *why = std::to_string(tr) + " <tr> for " + std::to_string(*rows) + " rows";
    return false;
  }
  return true;
}

}  // namespace tabulon::fuzzing
