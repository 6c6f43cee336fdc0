#include "html/page.h"

#include "html/text.h"

namespace tabulon {
namespace {

// The year's last two digits, whatever its length: characters 3 and 4 of a
// four-digit year, "05" of the year 5 or 705, never fewer than two.
void AppendYearDigits(int year, std::string* out) {
  const int last = year % 100 < 0 ? -(year % 100) : year % 100;
  out->push_back(static_cast<char>('0' + last / 10));
  out->push_back(static_cast<char>('0' + last % 10));
}

// "-DD", or "-0D" for a one-digit day, then "-YY".
void AppendDayAndYear(const LocalDate& date, std::string* out) {
  out->append(date.day <= 9 ? "-0" : "-");
  out->append(std::to_string(date.day));
  out->push_back('-');
  AppendYearDigits(date.year, out);
}

}  // namespace

std::string DirectoryTitle(std::string_view path, char separator) {
  std::size_t n = path.size();
  if (n > 0 && path[n - 1] == separator) --n;
  const std::size_t k = path.substr(0, n).rfind(separator);
  return std::string(k == std::string_view::npos
                         ? path.substr(0, n)
                         : path.substr(k + 1, n - k - 1));
}

void WriteHeader(std::string_view title, TCharset charset, std::string* out) {
  out->append(
      "<html><head><meta http-equiv=\"Content-Language\" content=\"ru\">\r\n"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=");
  out->append(charset == cUtf8 ? "utf-8" : "windows-1251");
  out->append("\">\r\n<title>");
  AppendPageText(title, charset, out);
  out->append("</title></head><body>\r\n<table><th>");
  AppendPageText(title, charset, out);
  out->append(
      "/files</th><tr><td><b>name</b></td>"
      "<td align=right><b>size</b></td>"
      "<td align=center><b>&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;date&nbsp;&nbsp;"
      "&nbsp;&nbsp;&nbsp;&nbsp;&nbsp;</b></td>"
      "<td align=center><b>description</b></td></tr>");
}

void WriteFooter(const Totals& totals, const LocalDate& today,
                 std::string* out) {
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
  std::string stamp = "Created ";
  if (today.month <= 9) stamp.push_back('0');
  stamp.append(std::to_string(today.month));
  AppendDayAndYear(today, &stamp);
  return stamp;
}

void AppendDateText(const LocalDate& date, std::string* out) {
  // Every row has a date: the usual one (a four-digit year) is put together
  // in place rather than from number texts.
  if (date.month >= 1 && date.month <= 12 && date.day >= 1 && date.day <= 31 &&
      date.year >= 1000 && date.year <= 9999) {
    // A blank, not nothing, before a two-digit month keeps the column even.
    char text[9];
    std::size_t n = 0;
    if (date.month <= 9) {
      text[n++] = '0';
    } else {
      text[n++] = ' ';
      text[n++] = '1';
    }
    text[n++] = static_cast<char>('0' + date.month % 10);
    text[n++] = '-';
    text[n++] = static_cast<char>('0' + date.day / 10);
    text[n++] = static_cast<char>('0' + date.day % 10);
    text[n++] = '-';
    text[n++] = static_cast<char>('0' + date.year / 10 % 10);
    text[n++] = static_cast<char>('0' + date.year % 10);
    out->append(text, n);
    return;
  }
  // A blank, not nothing, before a two-digit month keeps the column even.
  out->push_back(date.month <= 9 ? '0' : ' ');
  out->append(std::to_string(date.month));
  AppendDayAndYear(date, out);
}

}  // namespace tabulon
