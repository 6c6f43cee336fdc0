#include "descriptions/description_file.h"

#include <algorithm>

namespace tabulon {

DescriptionFile::DescriptionFile(std::string_view bytes, bool utf8)
    : bytes_(bytes.substr(0, bytes.find('\x1A'))), utf8_(utf8) {}

void DescriptionFile::ReadLine(std::string* line) {
  // Only LF stops the taking. A CR counts toward the 255 but is dropped, so
  // a file with CR-only line ends comes in pieces of 255 bytes.
  const std::size_t limit = std::min(bytes_.size(), position_ + kMaxLine);
  std::string_view taken = bytes_.substr(position_, limit - position_);
  taken = taken.substr(0, taken.find('\n'));
  if (utf8_ && position_ + taken.size() < bytes_.size() &&
      (static_cast<unsigned char>(bytes_[position_ + taken.size()]) & 0xC0) ==
          0x80) {
    // The cut falls inside a character: leave all of it to the skip below.
    std::size_t keep = taken.size();
    while (keep > 0 &&
           (static_cast<unsigned char>(taken[keep - 1]) & 0xC0) == 0x80) {
      --keep;
    }
    if (keep > 0) --keep;  // its first byte
    taken = taken.substr(0, keep);
  }
  line->assign(taken);
  if (taken.find('\r') != taken.npos) std::erase(*line, '\r');
  position_ += taken.size();

  const std::size_t end = bytes_.find_first_of("\r\n", position_);
  if (end == bytes_.npos) {
    position_ = bytes_.size();
    return;
  }
  position_ = end + 1;
  if (bytes_[end] == '\r' && position_ < bytes_.size() &&
      bytes_[position_] == '\n') {
    ++position_;
  }
}

}  // namespace tabulon
