#ifndef TABULON_TESTS_SUPPORT_SCREEN_H_
#define TABULON_TESTS_SUPPORT_SCREEN_H_

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace tabulon::testing {

// A terminal reduced to what a self-overwriting line uses: "\r" goes back to
// the first column, "\n" starts a new line, any other character overwrites
// the cell under the cursor. A cell holds one UTF-8 character.
class Screen {
 public:
  void Feed(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size()) {
      std::size_t end = pos + 1;
      while (end < bytes.size() &&
             (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) {
        ++end;
      }
      const std::string_view c = bytes.substr(pos, end - pos);
      pos = end;
      if (c == "\r") {
        column_ = 0;
      } else if (c == "\n") {
        lines_.emplace_back();
        column_ = 0;
      } else {
        std::vector<std::string>& cells = lines_.back();
        if (column_ < cells.size()) {
          cells[column_] = std::string(c);
        } else {
          cells.emplace_back(c);
        }
        ++column_;
        widest_ = std::max(widest_, cells.size());
      }
    }
  }

  // The text of line `i` (the last when -1) without the blanks at its end,
  // which is what shows of it.
  std::string Visible(int i = -1) const {
    const std::vector<std::string>& cells =
        lines_[i < 0 ? lines_.size() - 1 : static_cast<std::size_t>(i)];
    std::string text;
    for (const std::string& cell : cells) text += cell;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
  }
  std::size_t LineCount() const { return lines_.size(); }
  // The most cells any line ever held.
  std::size_t Widest() const { return widest_; }

 private:
  std::vector<std::vector<std::string>> lines_{{}};
  std::size_t column_ = 0;
  std::size_t widest_ = 0;
};

}  // namespace tabulon::testing

#endif  // TABULON_TESTS_SUPPORT_SCREEN_H_
