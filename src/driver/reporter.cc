#include "driver/reporter.h"

#include "common/utf8.h"

namespace tabulon {

namespace {

void AppendEscaped(std::string_view bytes, std::string* line) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (const char c : bytes) {
    const unsigned char b = static_cast<unsigned char>(c);
    line->append("\\x").push_back(kDigits[b >> 4]);
    line->push_back(kDigits[b & 15]);
  }
}

// Characters a terminal acts on (C0 and C1 controls, DEL), or that reorder
// the text shown around them or show as nothing, so that the path would
// read as another: the same that pages show as marks. `c` is a byte that is
// no UTF-8 when not `decoded`.
bool Steers(char32_t c, bool decoded) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) ||
         (decoded && HidesOrReorders(c));
}

}  // namespace

std::string ReportLine(const Status& status) {
  std::string line = "tabulon: ";
  line.append(status.what()).append(" '");
  const std::string_view path = status.path();
  std::size_t pos = 0;
  while (pos < path.size()) {
    const std::size_t from = pos;
    // A byte that is not UTF-8 comes back as itself: so an 8-bit terminal
    // takes it, where 0x80-0x9F are C1 controls (0x9B starts a sequence).
    char32_t c;
    const bool decoded = DecodeUtf8(path, &pos, &c);
    const std::string_view bytes = path.substr(from, pos - from);
    if (Steers(c, decoded)) {
      AppendEscaped(bytes, &line);
    } else {
      line.append(bytes);
    }
  }
  line.append("': ").append(status.reason());
  line.push_back('\n');
  return line;
}

void Reporter::Report(const Status& status) {
  ++count_;
  const std::string line = ReportLine(status);
  if (progress_ != nullptr) progress_->Clear();
  platform_.WriteStderr(line);
}

}  // namespace tabulon
