#include "descriptions/reference_reader.h"

#include <algorithm>
#include <cstdint>

namespace tabulon {
namespace {

constexpr std::size_t kLimit = 4096;

// How many bytes of `s` are kept under `limit`: all of a UTF-8 file's
// characters, taken whole from the start, that fit.
std::size_t Kept(std::string_view s, std::size_t limit, bool utf8) {
  if (!utf8) return std::min(s.size(), limit);
  std::size_t kept = 0;
  while (kept < s.size()) {
    const auto lead = static_cast<std::uint8_t>(s[kept]);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                                             : 4;
    if (kept + length > limit) break;
    kept += length;
  }
  return kept;
}

// Whether the first line end is a run of CRs followed by neither an LF nor
// anything else.
bool EndsLinesAtCr(std::string_view bytes) {
  const std::size_t first = bytes.find_first_of("\r\n");
  if (first == bytes.npos || bytes[first] == '\n') return false;
  const std::size_t after = bytes.find_first_not_of('\r', first);
  return after == bytes.npos || bytes[after] != '\n';
}

class Reader {
 public:
  Reader(std::string_view bytes, bool utf8)
      : bytes_(bytes.substr(0, bytes.find('\x1A'))),
        utf8_(utf8),
        cr_(EndsLinesAtCr(bytes_)) {}

  bool AtEnd() const { return at_ >= bytes_.size(); }

  std::string ReadLine() {
    // Taken: up to 4,096 bytes before the line end, the other byte of CR
    // and LF counted; a character split by the cut is left to the skip.
    const std::string_view rest = bytes_.substr(at_);
    std::string_view taken = rest.substr(0, rest.find(cr_ ? '\r' : '\n'));
    taken = taken.substr(0, Kept(taken, kLimit, utf8_));
    at_ += taken.size();
    std::string line(taken);
    std::erase(line, cr_ ? '\n' : '\r');
    std::replace(line.begin(), line.end(), '\t', ' ');
    if (cr_) {
      // Skipped: up to and including a CR.
      const std::size_t cr = bytes_.find('\r', at_);
      at_ = cr == bytes_.npos ? bytes_.size() : cr + 1;
      return line;
    }
    // Skipped: up to and including an LF, or a CR and one LF after it.
    const std::size_t end = bytes_.find_first_of("\r\n", at_);
    at_ = end == bytes_.npos ? bytes_.size() : end + 1;
    if (end != bytes_.npos && bytes_[end] == '\r' && at_ < bytes_.size() &&
        bytes_[at_] == '\n') {
      ++at_;
    }
    return line;
  }

  std::string ReadRecord() {
    std::string record;
    bool may_continue = false;
    bool have_first = false;
    while (!AtEnd()) {
      const std::size_t start = at_;
      std::string line = ReadLine();
      if (may_continue && line.starts_with(' ')) {
        const std::size_t first = line.find_first_not_of(Controls());
        const std::size_t last = line.find_last_not_of(Controls());
        record.push_back(' ');
        if (first != line.npos) {
          record += Collapse(line.substr(first, last - first + 1));
        }
        record.resize(Kept(record, kLimit, utf8_));
        continue;
      }
      if (have_first) {
        at_ = start;
        break;
      }
      const std::string_view kNoName = "\"*+,/;<=>?[]|-:\\";
      may_continue = !line.empty() &&
                     static_cast<std::uint8_t>(line[0]) > 0x20 &&
                     static_cast<std::uint8_t>(line[0]) < 0x80 &&
                     kNoName.find(line[0]) == kNoName.npos;
      if (line.empty()) line.push_back(' ');
      for (char& c : line) {
        if (c == ' ') break;
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      }
      record = Collapse(line);
      have_first = true;
    }
    return record;
  }

 private:
  static std::string Controls() {
    std::string controls;
    for (int c = 1; c <= 0x20; ++c) controls.push_back(static_cast<char>(c));
    controls.push_back('\0');
    return controls;
  }
  static std::string Collapse(std::string s) {
    for (std::size_t p = 0; p + 1 < s.size();) {
      if (s[p] == ' ' && s[p + 1] == ' ') {
        s.erase(p, 1);
      } else {
        ++p;
      }
    }
    return s;
  }

  std::string_view bytes_;
  bool utf8_;
  bool cr_;
  std::size_t at_ = 0;
};

}  // namespace

std::vector<std::string> ReferenceRecords(std::string_view bytes, bool utf8) {
  Reader reader(bytes, utf8);
  std::vector<std::string> records;
  while (!reader.AtEnd()) records.push_back(reader.ReadRecord());
  return records;
}

}  // namespace tabulon
