#include "descriptions/files_bbs.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "descriptions/description_input.h"

namespace tabulon {
namespace {

// Real archives hold descriptions of a few thousand bytes; a longer line
// or record is cut, so that what one record costs stays bounded.
constexpr std::size_t kMaxLine = 4096;
constexpr std::size_t kMaxRecord = 4096;

bool IsContinuationByte(char c) {
  return (static_cast<std::uint8_t>(c) & 0xC0) == 0x80;
}

// The length of `s` cut to `limit` bytes; in a UTF-8 file the character
// that the cut would split goes whole.
std::size_t CutLength(std::string_view s, std::size_t limit, bool utf8) {
  if (s.size() <= limit) return s.size();
  std::size_t keep = limit;
  while (utf8 && keep > 0 && IsContinuationByte(s[keep])) --keep;
  return keep;
}

// Printable ASCII except " * + , / ; < = > ? [ ] |, plus DEL; of these,
// "-", ":" and "\" still take no continuation lines.
bool TakesContinuations(char c) {
  const auto b = static_cast<std::uint8_t>(c);
  if (b <= 0x20 || b >= 0x80) return false;
  return std::strchr("\"*+,/;<=>?[]|-:\\", c) == nullptr;
}

// Where two blanks in a row first begin in `s` at or after `from`, or npos:
// eight bytes at a time, as most lines have no such pair.
std::size_t FindTwoBlanks(std::string_view s, std::size_t from) {
  constexpr std::uint64_t kBlanks = 0x2020202020202020;
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHighs = 0x8080808080808080;
  std::size_t i = from;
  for (; i + 9 <= s.size(); i += 8) {
    std::uint64_t here, next;
    std::memcpy(&here, s.data() + i, sizeof here);
    std::memcpy(&next, s.data() + i + 1, sizeof next);
    // A zero byte where a byte and the one after it are both blanks.
    const std::uint64_t v = (here ^ kBlanks) | (next ^ kBlanks);
    if (((v - kOnes) & ~v & kHighs) != 0) break;
  }
  for (; i + 1 < s.size(); ++i) {
    if (s[i] == ' ' && s[i + 1] == ' ') return i;
  }
  return std::string_view::npos;
}

// Appends `s` to *out with every run of blanks cut to one, counting a
// blank that *out already ends with.
void AppendCollapsed(std::string_view s, std::string* out) {
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] == ' ' && !out->empty() && out->back() == ' ') {
      ++i;
      continue;
    }
    // Most lines have no two blanks in a row: copied in one piece.
    const std::size_t pair = FindTwoBlanks(s, i);
    const std::size_t end = pair == s.npos ? s.size() : pair + 1;
    out->append(s.substr(i, end - i));
    i = end;
  }
}

// The records of a FILES.BBS, read line by line from the text of a
// DescriptionInput with a one-line lookahead. Lines end at LF, or in an old
// Mac file (`cr_only`) at CR; the other byte of the pair is dropped.
class RecordReader {
 public:
  RecordReader(DescriptionInput& input, bool utf8, bool cr_only)
      : in_(input),
        utf8_(utf8),
        cr_only_(cr_only),
        end_(cr_only ? '\r' : '\n'),
        dropped_(cr_only ? '\n' : '\r') {}

  // Replaces *record with the next record (1 to 4,096 bytes); false at the
  // end of the file.
  bool Next(std::string* record) {
    if (have_pending_) {
      line_.swap(pending_);
      have_pending_ = false;
    } else {
      if (in_.AtEnd()) return false;
      ReadLine(&line_);
    }
    record->clear();
    const bool may_continue = !line_.empty() && TakesContinuations(line_[0]);
    if (line_.empty()) line_.push_back(' ');
    // Only the name (up to the first blank) is raised, and only a-z: the
    // description keeps the case of the file.
    for (char& c : line_) {
      if (c == ' ') break;
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    AppendCollapsed(line_, record);
    while (may_continue && !in_.AtEnd()) {
      // Only a line whose first byte is a blank, a TAB or one that reading
      // drops can begin with a blank once read.
      const char next = in_.block[in_.at];
      if (next != ' ' && next != '\t' && next != dropped_) break;
      ReadLine(&pending_);
      if (pending_.empty() || pending_[0] != ' ') {
        have_pending_ = true;  // the first line of the next record
        break;
      }
      std::string_view text = pending_;
      while (!text.empty() && static_cast<std::uint8_t>(text.front()) <= 0x20) {
        text.remove_prefix(1);
      }
      while (!text.empty() && static_cast<std::uint8_t>(text.back()) <= 0x20) {
        text.remove_suffix(1);
      }
      // A full record only waits for its last continuation line to pass.
      if (record->size() >= kMaxRecord) continue;
      // The joining blank is not collapsed with one that ends the record.
      record->push_back(' ');
      AppendCollapsed(text, record);
      record->resize(CutLength(*record, kMaxRecord, utf8_));
    }
    return true;
  }

 private:
  // Replaces *line with the next line: bytes are taken until the line end,
  // the end or 4,096 bytes (the dropped byte is taken and counts), then
  // skipped up to and including the line end (an LF, or a CR with one LF
  // after it; in an old Mac file a CR).
  void ReadLine(std::string* line) {
    line->clear();
    bool at_end = false;
    while (line->size() < kMaxLine && !in_.AtEnd()) {
      const std::size_t n =
          std::min(kMaxLine - line->size(), in_.block.size() - in_.at);
      const char* const from = in_.block.data() + in_.at;
      const void* const end = std::memchr(from, end_, n);
      const std::size_t taken =
          end != nullptr
              ? static_cast<std::size_t>(static_cast<const char*>(end) - from)
              : n;
      line->append(from, taken);
      in_.at += taken;
      if (end != nullptr) {
        at_end = true;
        break;
      }
    }
    if (at_end) {
      ++in_.at;
    } else {
      if (utf8_ && line->size() == kMaxLine && !in_.AtEnd() &&
          IsContinuationByte(in_.block[in_.at])) {
        // The cut falls inside a character: it goes whole.
        std::size_t keep = line->size();
        while (keep > 0 && IsContinuationByte((*line)[keep - 1])) --keep;
        if (keep > 0) --keep;
        line->resize(keep);
      }
      SkipToLineEnd();
    }
    // Lines mostly end in CR LF: a CR at the end alone goes without a
    // pass over the line.
    if (!line->empty() && line->back() == dropped_) line->pop_back();
    if (line->find(dropped_) != std::string::npos) std::erase(*line, dropped_);
    if (line->find('\t') != std::string::npos) {
      std::replace(line->begin(), line->end(), '\t', ' ');
    }
  }

  void SkipToLineEnd() {
    while (cr_only_ && !in_.AtEnd()) {
      const char* const from = in_.block.data() + in_.at;
      const std::size_t n = in_.block.size() - in_.at;
      const void* const cr = std::memchr(from, '\r', n);
      if (cr == nullptr) {
        in_.at += n;
        continue;
      }
      in_.at +=
          static_cast<std::size_t>(static_cast<const char*>(cr) - from) + 1;
      return;
    }
    while (!in_.AtEnd()) {
      const char* const from = in_.block.data() + in_.at;
      const std::size_t n = in_.block.size() - in_.at;
      const void* const lf = std::memchr(from, '\n', n);
      const std::size_t before_lf =
          lf != nullptr
              ? static_cast<std::size_t>(static_cast<const char*>(lf) - from)
              : n;
      const void* const cr = std::memchr(from, '\r', before_lf);
      const std::size_t end =
          cr != nullptr
              ? static_cast<std::size_t>(static_cast<const char*>(cr) - from)
              : before_lf;
      in_.at += end;
      if (end == n) continue;
      ++in_.at;
      if (cr != nullptr && !in_.AtEnd() && in_.block[in_.at] == '\n') ++in_.at;
      return;
    }
  }

  InputCursor in_;
  const bool utf8_;
  const bool cr_only_;
  const char end_;      // the byte that ends a line
  const char dropped_;  // the byte that lines lose
  std::string line_;
  std::string pending_;
  bool have_pending_ = false;
};

}  // namespace

Status LoadFilesBbs(ByteSource& file, DescriptionList* list) {
  list->SetCode(tAlt);
  DescriptionInput input(file);
  if (Status opened = input.Open(); !opened.ok()) return opened;
  bool utf8 = true;
  // How lines end and whether the file is UTF-8 (which decides where long
  // lines are cut) are known before the first record.
  LineEndScan line_ends;
  if (input.mark() == DescriptionInput::Mark::kUtf16) {
    // UTF-8 by its conversion: only as far as the first line end.
    while (!line_ends.decided()) {
      const std::string_view block = input.Next();
      if (block.empty()) break;
      line_ends.Add(block);
    }
  } else {
    // A mark counts as a character beyond ASCII.
    const Utf8Scan scan = ScanUtf8(input, /*skip_marked=*/false, &line_ends);
    utf8 = scan.valid &&
           (scan.beyond_ascii || input.mark() == DescriptionInput::Mark::kUtf8);
  }
  if (!input.status().ok()) return input.status();
  if (Status restarted = input.Restart(); !restarted.ok()) return restarted;
  RecordReader reader(input, utf8, line_ends.cr_only());
  LetterCounts counts;
  std::string record;
  while (reader.Next(&record)) {
    // The refused record has been counted: Code is decided from everything
    // read, not only from what the list kept.
    if (!utf8) counts.Add(record);
    if (!list->Insert(record)) break;
  }
  list->SetCode(utf8 ? tUtf8 : counts.Decide());
  return input.status();
}

}  // namespace tabulon
