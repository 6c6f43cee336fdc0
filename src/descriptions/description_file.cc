#include "descriptions/description_file.h"

#include <algorithm>

namespace tabulon {

DescriptionFile::DescriptionFile(std::string_view bytes)
    : bytes_(bytes.substr(0, bytes.find('\x1A'))) {}

void DescriptionFile::ReadLine(std::string* line) {
  // Only LF stops the taking. A CR counts toward the 255 but is dropped, so
  // a file with CR-only line ends comes in pieces of 255 bytes.
  const std::size_t limit = std::min(bytes_.size(), position_ + kMaxLine);
  std::string_view taken = bytes_.substr(position_, limit - position_);
  taken = taken.substr(0, taken.find('\n'));
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
