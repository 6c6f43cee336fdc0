#include "html/row.h"

#include <charconv>

#include "html/page.h"
#include "html/text.h"

namespace tabulon {

bool WriteRow(const SearchEntry& entry, const RowContext& context,
              Totals* totals, std::string* out) {
  const std::string& name = entry.Name;
  if (name == "FILES.BBS" || name == "FILES.HTM" ||
      (!context.description_file.empty() && name == context.description_file)) {
    return false;
  }
  const bool directory = entry.IsDirectory();
  if (directory && context.RunMode == mList) return false;
  if (!directory) {
    ++totals->TotalFiles;
    totals->TotalBytes += entry.Size;
  }

  out->append("<tr><td><a href=\"");
  if (directory) {
    AppendLinkName(name, out);
    out->append("/FILES.HTM");
  } else {
    out->append(context.file_link_prefix);
    AppendLinkName(name, out);
  }
  out->append("\">");
  if (directory) {
    out->append("<b>");
    AppendPageText(name, out);
    out->append("</b></a></td><td align=center><b>DIR</b></td>");
  } else {
    AppendPageText(name, out);
    out->append("</a></td><td align=right>");
    char size[24];
    const std::to_chars_result end =
        std::to_chars(size, size + sizeof size, entry.Size);
    out->append(size, end.ptr);
    out->append(" </td>");
  }
  out->append("<td>");
  out->append(DateText(entry.Time));
  out->append("</td>");

  const std::optional<std::string_view> description =
      context.lookup ? context.lookup->DescriptionOf(name) : std::nullopt;
  if (description) {
    out->append("<td> ");
    AppendDescription(*description, context.list->Code(), out);
    out->append("</td></tr>\r\n");
  } else {
    out->append("<td></td></tr>\r\n");
  }
  return true;
}

}  // namespace tabulon
