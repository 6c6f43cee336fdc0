#include "descriptions/description_file.h"

namespace tabulon {

DescriptionFile::DescriptionFile(std::string_view bytes)
    : bytes_(bytes.substr(0, bytes.find('\x1A'))) {}

void DescriptionFile::ReadLine(std::string* line) {
  line->clear();
  const std::size_t size = bytes_.size();
  // A CR does not end the taking: it only counts toward the 255, so a file
  // with CR-only line ends comes in pieces of 255 bytes.
  std::size_t taken = 0;
  while (position_ < size && taken < kMaxLine && bytes_[position_] != '\n') {
    const char c = bytes_[position_++];
    ++taken;
    if (c != '\r') line->push_back(c);
  }
  while (position_ < size) {
    const char c = bytes_[position_++];
    if (c == '\n') break;
    if (c == '\r') {
      if (position_ < size && bytes_[position_] == '\n') ++position_;
      break;
    }
  }
}

}  // namespace tabulon
