#include "driver/reporter.h"

namespace tabulon {

std::string ReportLine(const Report& report) {
  std::string line = "tabulon: ";
  line.append(report.what).append(" '");
  for (const char c : report.path) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      static constexpr char kDigits[] = "0123456789ABCDEF";
      line.append("\\x").push_back(kDigits[b >> 4]);
      line.push_back(kDigits[b & 15]);
    } else {
      line.push_back(c);
    }
  }
  line.append("': ").append(report.reason);
  line.push_back('\n');
  return line;
}

void Reporter::Report(std::string_view what, std::string_view path,
                      std::string_view reason) {
  Report(tabulon::Report{std::string(what), std::string(path),
                         std::string(reason)});
}

void Reporter::Report(const tabulon::Report& report) {
  ++count_;
  const std::string line = ReportLine(report);
  if (progress_ != nullptr) progress_->Clear();
  platform_.WriteStderr(line);
}

}  // namespace tabulon
