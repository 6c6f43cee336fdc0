#include "html/row.h"

#include <charconv>
#include <cstring>

#include "common/entry_rules.h"
#include "html/page.h"
#include "html/text.h"

namespace tabulon {
namespace {

// Appends the page text of `name`, whose link form is already in *out at
// `link_at`. The two differ only where the link escapes a byte, and every
// such escape writes a '%', or where the text shows a mark: else the text is
// the link's bytes again.
void AppendNameText(std::string_view name, TCharset charset,
                    std::size_t link_at, std::size_t link_size,
                    std::string* out) {
  if (std::memchr(out->data() + link_at, '%', link_size) != nullptr ||
      ShowsMarks(name)) {
    AppendPageText(name, charset, out);
    return;
  }
  out->reserve(out->size() + link_size);  // the copy's source must stay put
  out->append(out->data() + link_at, link_size);
}

}  // namespace

bool WriteRow(const SearchEntry& entry, const RowContext& context,
              std::optional<std::string_view> description, TCode code,
              Totals* totals, std::string* out) {
  const std::string& name = entry.Name;
  if (!ModeLists(entry, context.RunMode)) return false;
  const bool directory = entry.IsDirectory();
  if (!directory) {
    ++totals->TotalFiles;
    totals->TotalBytes += entry.Size;
  }

  out->append("<tr><td><a href=\"");
  // A directory's link is its name then "/FILES.HTM"; a file's, the prefix
  // then its name.
  unsigned edges = kLinkBegins;
  if (!directory) {
    out->append(context.file_link_prefix);
    edges =
        context.file_link_prefix.empty() ? kLinkBegins | kLinkEnds : kLinkEnds;
  }
  const std::size_t link_at = out->size();
  AppendLinkName(name, edges, context.charset, out);
  const std::size_t link_size = out->size() - link_at;
  if (directory) {
    out->push_back('/');
    out->append(kPageName);
  }
  out->append("\">");
  if (directory) {
    out->append("<b>");
    AppendNameText(name, context.charset, link_at, link_size, out);
    out->append("</b></a></td><td align=center><b>DIR</b></td><td>");
  } else {
    AppendNameText(name, context.charset, link_at, link_size, out);
    out->append("</a></td><td align=right>");
    char size[24];
    const std::to_chars_result end =
        std::to_chars(size, size + sizeof size, entry.Size);
    out->append(size, end.ptr);
    out->append(" </td><td>");
  }
  AppendDateText(entry.Time, out);
  if (description) {
    out->append("</td><td> ");
    AppendDescription(*description, code, context.charset, out);
    out->append("</td></tr>\r\n");
  } else {
    out->append("</td><td></td></tr>\r\n");
  }
  return true;
}

}  // namespace tabulon
