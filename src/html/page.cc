#include "html/page.h"

#include "html/text.h"

namespace tabulon {
namespace {

// Characters 3 and 4 of the year's decimal text.
std::string YearDigits(int year) {
  const std::string text = std::to_string(year);
  return text.size() >= 4 ? text.substr(2, 2) : text.substr(text.size() >= 2 ? text.size() - 2 : 0);
}

std::string TwoDigits(int n) {
  return (n <= 9 ? "0" : "") + std::to_string(n);
}

}  // namespace

void WriteHeader(std::string_view title, std::string* out) {
  out->append(
      "<html><head><meta http-equiv=\"Content-Language\" content=\"ru\">\r\n"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; "
      "charset=windows-1251\">\r\n"
      "<title>");
  AppendPageText(title, out);
  out->append("</title></head><body>\r\n<table><th>");
  AppendPageText(title, out);
  out->append(
      "/files</th><tr><td><b>name</b></td>"
      "<td align=right><b>size</b></td>"
      "<td align=center><b>&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;date&nbsp;&nbsp;"
      "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;</b></td>"
      "<td align=center><b>description</b></td></tr>");
}

void WriteFooter(const Totals& totals, const LocalDate& today, std::string* out) {
  std::string bytes = std::to_string(totals.TotalBytes);
  if (bytes.size() < 10) bytes.insert(0, 10 - bytes.size(), ' ');
  out->append("</table>\r\n<b>");
  out->append(bytes);
  out->append(" bytes in ");
  out->append(std::to_string(totals.TotalFiles));
  out->append(" files.</b><br>\r\n<i>");
  out->append(CreatedStamp(today));
  out->append(".</i>\r\n</body></html>\r\n");
}

std::string CreatedStamp(const LocalDate& today) {
  return "Created " + TwoDigits(today.month) + (today.day <= 9 ? "-0" : "-") +
         std::to_string(today.day) + "-" + YearDigits(today.year);
}

std::string DateText(const LocalDate& date) {
  return (date.month <= 9 ? "0" : " ") + std::to_string(date.month) +
         (date.day <= 9 ? "-0" : "-") + std::to_string(date.day) + "-" +
         YearDigits(date.year);
}

}  // namespace tabulon
