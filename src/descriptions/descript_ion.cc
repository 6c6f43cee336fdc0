#include "descriptions/descript_ion.h"

#include <algorithm>
#include <string>
#include <utility>

#include "descriptions/description_input.h"
#include "descriptions/letter_case.h"
#include "descriptions/lookup.h"

namespace tabulon {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// One line of the file as records are made of it.
struct Line {
  // No byte at all between its line ends.
  bool empty = true;
  // It began with a blank or a TAB; those leading ones are not in text.
  bool continuation = false;
  // The bytes before a 0x04, at most one more than a record keeps.
  std::string text;
  // A 0x04 followed by 0xC2 alone (or blanks after it).
  bool multi_line = false;
};

// The records of a DESCRIPT.ION, read line by line from the text of a
// DescriptionInput, with a one-line lookahead. A line of any length costs
// no more than a record.
class RecordReader {
 public:
  RecordReader(DescriptionInput& input, bool utf8) : in_(input), utf8_(utf8) {}

  // Replaces *record with the next record's text (its lines joined, 0x04
  // parts left out, at most 4,096 bytes); false at the end of the file.
  bool Next(std::string* record, bool* multi_line) {
    for (;;) {
      if (have_pending_) {
        std::swap(line_, pending_);
        have_pending_ = false;
      } else {
        if (in_.AtEnd()) return false;
        ReadLine(&line_);
      }
      // Empty lines, and continuations with no record before them, are
      // passed over.
      if (!line_.empty && !line_.continuation) break;
    }
    record->assign(line_.text);
    *multi_line = line_.multi_line;
    while (!in_.AtEnd()) {
      ReadLine(&pending_);
      if (pending_.empty) continue;
      if (!pending_.continuation) {
        have_pending_ = true;
        break;
      }
      *multi_line = *multi_line || pending_.multi_line;
      const std::string_view text = TrimBlanks(pending_.text);
      if (text.empty() || record->size() > kMaxDescriptIonRecord) continue;
      record->push_back(' ');
      record->append(text.substr(
          0,
          std::min(text.size(), kMaxDescriptIonRecord + 1 - record->size())));
    }
    if (record->size() > kMaxDescriptIonRecord) {
      std::size_t keep = kMaxDescriptIonRecord;
      // Never inside a character of a UTF-8 file.
      while (utf8_ && keep > 0 &&
             (static_cast<std::uint8_t>((*record)[keep]) & 0xC0) == 0x80) {
        --keep;
      }
      record->resize(keep);
    }
    return true;
  }

 private:
  // What follows a 0x04 on its line: only 0xC2 (in a UTF-8 file also the
  // UTF-8 form of that character, as a UTF-16 file gives it), then blanks,
  // marks the multi-line form.
  enum class Marker { kNone, kStart, kHalf, kMultiLine, kOther };

  Marker Step(Marker marker, char c) const {
    const auto b = static_cast<std::uint8_t>(c);
    switch (marker) {
      case Marker::kStart:
        if (b == 0xC2) return Marker::kMultiLine;
        return utf8_ && b == 0xC3 ? Marker::kHalf : Marker::kOther;
      case Marker::kHalf:
        return b == 0x82 ? Marker::kMultiLine : Marker::kOther;
      case Marker::kMultiLine:
        return IsBlank(c) ? Marker::kMultiLine : Marker::kOther;
      default:
        return marker;
    }
  }

  void ReadLine(Line* line) {
    line->empty = true;
    line->continuation = false;
    line->text.clear();
    Marker marker = Marker::kNone;
    bool leading = true;  // still within the leading blanks
    while (!in_.AtEnd()) {
      const char c = in_.block[in_.at];
      if (c == '\n' || c == '\r') {
        ++in_.at;
        if (c == '\r' && !in_.AtEnd() && in_.block[in_.at] == '\n') ++in_.at;
        break;
      }
      if (line->empty) line->continuation = IsBlank(c);
      line->empty = false;
      if (marker != Marker::kNone) {
        marker = Step(marker, c);
        ++in_.at;
        continue;
      }
      if (c == '\x04') {
        marker = Marker::kStart;
        ++in_.at;
        continue;
      }
      if (leading && line->continuation && IsBlank(c)) {
        ++in_.at;
        continue;
      }
      leading = false;
      // The plain bytes of the block up to the next byte that matters.
      std::size_t end = in_.at + 1;
      while (end < in_.block.size() && in_.block[end] != '\n' &&
             in_.block[end] != '\r' && in_.block[end] != '\x04') {
        ++end;
      }
      const std::size_t room = kMaxDescriptIonRecord + 1 - line->text.size();
      line->text.append(in_.block.substr(in_.at, std::min(end - in_.at, room)));
      in_.at = end;
    }
    line->multi_line = marker == Marker::kMultiLine;
  }

  InputCursor in_;
  const bool utf8_;
  Line line_;
  Line pending_;
  bool have_pending_ = false;
};

// Splits a record into its name and description; false when it has no
// name (an empty one, or a quote that is never closed).
bool SplitRecord(std::string_view record, bool multi_line, std::string* name,
                 std::string* description) {
  std::string_view rest;
  if (record.starts_with('"')) {
    const std::size_t close = record.find('"', 1);
    if (close == record.npos) return false;
    name->assign(record.substr(1, close - 1));
    rest = record.substr(close + 1);
  } else {
    const std::size_t end =
        std::min(record.find_first_of(" \t"), record.size());
    name->assign(record.substr(0, end));
    rest = record.substr(end);
  }
  if (name->empty()) return false;
  rest = TrimBlanks(rest);
  description->clear();
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (multi_line && rest[i] == '\\' && i + 1 < rest.size() &&
        rest[i + 1] == 'n') {
      description->push_back(' ');
      ++i;
    } else {
      description->push_back(rest[i]);
    }
  }
  return true;
}

}  // namespace

bool DescriptIonRecords::Insert(std::string_view name,
                                std::string_view description) {
  std::string record;
  record.reserve(name.size() + description.size());
  record.append(name);
  record.append(description);
  // The lookup keeps the name in capitals, which in UTF-8 may take half as
  // many bytes again, and its length.
  if (!list_.Insert(record, name.size() + name.size() / 2 + 4)) return false;
  name_lengths_.push_back(static_cast<std::uint32_t>(name.size()));
  return true;
}

Status LoadDescriptIon(ByteSource& file, DescriptIonRecords* records) {
  records->SetCode(tAlt);
  DescriptionInput input(file);
  if (Status opened = input.Open(); !opened.ok()) return opened;
  bool utf8 = input.mark() != DescriptionInput::Mark::kNone;
  if (utf8) {
    input.ReadOnce();
  } else {
    // What follows a 0x04 belongs to another program, in no code page.
    const Utf8Scan scan = ScanUtf8(input, /*skip_marked=*/true);
    if (!input.status().ok()) return input.status();
    utf8 = scan.valid && scan.beyond_ascii;
    if (Status restarted = input.Restart(); !restarted.ok()) return restarted;
  }
  RecordReader reader(input, utf8);
  LetterCounts counts;
  std::string record;
  std::string name;
  std::string description;
  bool multi_line = false;
  while (reader.Next(&record, &multi_line)) {
    if (!utf8) counts.Add(record);
    if (!SplitRecord(record, multi_line, &name, &description)) continue;
    if (!records->Insert(name, description)) break;
  }
  records->SetCode(utf8 ? tUtf8 : counts.Decide());
  return input.status();
}

DescriptIonLookup::DescriptIonLookup(const DescriptIonRecords& records)
    : records_(records) {
  const TCode code = records.Code();
  sorted_.reserve(static_cast<std::size_t>(records.Count()));
  for (int i = 0; i < records.Count(); ++i) {
    const std::string_view name = records.Name(i);
    const std::size_t begin = upper_.size();
    if (code == tUtf8) {
      AppendUpperUtf8(name, &upper_);
    } else {
      upper_.append(name);
      UpperCaseInPlace(code, upper_.data() + begin, name.size());
    }
    sorted_.push_back({begin, static_cast<std::uint32_t>(upper_.size() - begin),
                       static_cast<std::int32_t>(i)});
  }
  const auto text = [this](const Sorted& s) {
    return std::string_view(upper_).substr(s.begin, s.length);
  };
  std::sort(sorted_.begin(), sorted_.end(),
            [&text](const Sorted& a, const Sorted& b) {
              const int order = text(a).compare(text(b));
              return order != 0 ? order < 0 : a.slot < b.slot;
            });
  // Of equal names the first in file order describes the entry.
  sorted_.erase(std::unique(sorted_.begin(), sorted_.end(),
                            [&text](const Sorted& a, const Sorted& b) {
                              return text(a) == text(b);
                            }),
                sorted_.end());
}

std::optional<std::string_view> DescriptIonLookup::DescriptionOf(
    std::string_view name) const {
  if (sorted_.empty() || name.empty()) return std::nullopt;
  const std::optional<std::string> key = DescriptionKey(name, records_.Code());
  if (!key) return std::nullopt;
  const auto found = std::partition_point(
      sorted_.begin(), sorted_.end(), [this, &key](const Sorted& s) {
        return std::string_view(upper_).substr(s.begin, s.length) < *key;
      });
  if (found == sorted_.end() ||
      std::string_view(upper_).substr(found->begin, found->length) != *key) {
    return std::nullopt;
  }
  return records_.Description(found->slot);
}

}  // namespace tabulon
