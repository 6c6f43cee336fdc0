#include "descriptions/loader.h"

#include <algorithm>
#include <array>

#include "common/utf8.h"

namespace tabulon {
namespace {

constexpr std::size_t kMaxRecord = 255;

struct ByteRange {
  int first;
  int last;
};

// Printable ASCII except " * + , / ; < = > ? [ ] |, plus DEL.
constexpr ByteRange kFileNameRanges[] = {
    {0x21, 0x21}, {0x23, 0x29}, {0x2D, 0x2E}, {0x30, 0x3A},
    {0x40, 0x5A}, {0x5C, 0x5C}, {0x5E, 0x7B}, {0x7D, 0x7F},
};

constexpr std::array<bool, 256> MakeFileNameChars() {
  std::array<bool, 256> set{};
  for (const ByteRange& range : kFileNameRanges) {
    for (int b = range.first; b <= range.last; ++b) set[b] = true;
  }
  return set;
}

constexpr std::array<bool, 256> kFileNameChars = MakeFileNameChars();

// Which letter counters a byte adds to: the lower-case letters of code page
// 866, of KOI8-R without ж в з (D6 D7 DA), and of windows-1251. E0-EF count
// for 866 and windows-1251 alike, so a tie between them stays 866.
enum : std::uint8_t { kAlt = 1, kKoi = 2, kWin = 4 };

constexpr std::array<std::uint8_t, 256> MakeLetterClasses() {
  std::array<std::uint8_t, 256> classes{};
  for (int b = 0xA0; b <= 0xAF; ++b) classes[b] |= kAlt;
  for (int b = 0xE0; b <= 0xEF; ++b) classes[b] |= kAlt;
  for (int b = 0xC0; b <= 0xDF; ++b) {
    if (b != 0xD6 && b != 0xD7 && b != 0xDA) classes[b] |= kKoi;
  }
  for (int b = 0xE0; b <= 0xFF; ++b) classes[b] |= kWin;
  return classes;
}

constexpr std::array<std::uint8_t, 256> kLetterClasses = MakeLetterClasses();

bool IsBlankOrControl(char c) { return static_cast<std::uint8_t>(c) <= 0x20; }

std::string_view TrimBlanksAndControls(std::string_view s) {
  while (!s.empty() && IsBlankOrControl(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlankOrControl(s.back())) s.remove_suffix(1);
  return s;
}

// Whether the line that `rest` begins with could start with a blank once
// read: only when its first byte is a blank, a tab or a CR (which reading
// drops). Any other first byte is the line's first byte, or ends the line.
bool MayBeginWithBlank(std::string_view rest) {
  return !rest.empty() &&
         (rest[0] == ' ' || rest[0] == '\t' || rest[0] == '\r');
}

}  // namespace

bool IsFileNameChar(std::uint8_t byte) { return kFileNameChars[byte]; }

std::string Blanks(int n) {
  return std::string(static_cast<std::size_t>(std::max(n, 0)), ' ');
}

namespace {

// CollapseBlanks appending to *out, so that one buffer serves every line.
void AppendCollapsed(std::string_view s, int from, std::string* out) {
  const std::size_t start =
      std::min(static_cast<std::size_t>(std::max(from, 1)) - 1, s.size());
  out->append(s.substr(0, start));
  // A blank followed by another is the one that goes, so the last blank of
  // each run stays, even when the run began before `from`. Most lines have
  // no such pair: the bytes between pairs are copied in one piece.
  std::size_t i = start;
  while (i < s.size()) {
    const std::size_t pair = s.find("  ", i);
    if (pair == s.npos) {
      out->append(s.substr(i));
      break;
    }
    out->append(s.substr(i, pair - i));
    i = pair + 1;
  }
}

// ReadDescriptionRecord into *record, with *line as the buffer for each
// line read: loading a file allocates nothing per record.
void ReadRecord(DescriptionFile* file, int indent, std::string* record,
                std::string* line) {
  record->clear();
  const std::string indent_blanks = Blanks(indent);
  bool may_continue = false;
  bool have_first = false;
  while (!file->AtEnd()) {
    if (have_first && indent > 0 &&
        (!may_continue || !MayBeginWithBlank(file->Rest()))) {
      break;  // the next line starts the next record: leave it unread
    }
    const std::size_t line_start = file->Position();
    file->ReadLine(line);
    std::replace(line->begin(), line->end(), '\t', ' ');
    if (may_continue && !line->empty() && line->starts_with(indent_blanks)) {
      record->push_back(' ');
      AppendCollapsed(TrimBlanksAndControls(*line), 1, record);
      if (record->size() > kMaxRecord) {
        std::size_t keep = kMaxRecord;
        // Cut a UTF-8 record before the character the cut would split.
        while (file->IsUtf8() && keep > 0 &&
               (static_cast<std::uint8_t>((*record)[keep]) & 0xC0) == 0x80) {
          --keep;
        }
        record->resize(keep);
      }
      continue;
    }
    if (have_first) {
      file->SetPosition(line_start);
      break;
    }
    const std::string& first = *line;
    may_continue = !first.empty() &&
                   IsFileNameChar(static_cast<std::uint8_t>(first[0])) &&
                   first[0] != '-' && first[0] != ':' && first[0] != '\\';
    if (line->empty()) line->push_back(' ');
    // Only the name (up to the first blank) is raised, and only a-z: the
    // description keeps the case of the file.
    for (char& c : *line) {
      if (c == ' ') break;
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    AppendCollapsed(*line, indent, record);
    have_first = true;
  }
}

}  // namespace

std::string CollapseBlanks(std::string_view s, int from) {
  std::string out;
  out.reserve(s.size());
  AppendCollapsed(s, from, &out);
  return out;
}

std::string ReadDescriptionRecord(DescriptionFile* file, int indent) {
  std::string record;
  std::string line;
  ReadRecord(file, indent, &record, &line);
  return record;
}

bool IsUtf8Text(std::string_view bytes) {
  bytes = bytes.substr(0, bytes.find('\x1A'));
  bool multibyte = false;
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    if (static_cast<std::uint8_t>(bytes[pos]) < 0x80) {
      ++pos;
      continue;
    }
    char32_t c;
    if (!DecodeUtf8(bytes, &pos, &c)) return false;
    multibyte = true;
  }
  return multibyte;
}

void LoadDescriptions(std::string_view file, DescriptionList* list) {
  if (IsUtf8Text(file)) {
    DescriptionFile reader(file, /*utf8=*/true);
    std::string record;
    std::string line;
    while (!reader.AtEnd()) {
      ReadRecord(&reader, 1, &record, &line);
      if (!list->Insert(record)) break;
    }
    list->SetCode(tUtf8);
    return;
  }
  std::int64_t alt = 0;
  std::int64_t koi = 0;
  std::int64_t win = 0;
  DescriptionFile reader(file);
  std::string record;
  std::string line;
  while (!reader.AtEnd()) {
    ReadRecord(&reader, 1, &record, &line);
    for (const char c : record) {
      const std::uint8_t classes = kLetterClasses[static_cast<std::uint8_t>(c)];
      alt += classes & kAlt;
      koi += (classes & kKoi) >> 1;
      win += (classes & kWin) >> 2;
    }
    // The refused record has been counted: Code is decided from everything
    // read, not only from what the list kept.
    if (!list->Insert(record)) break;
  }
  TCode code = tAlt;
  if (koi > alt && koi > win) code = tKoi;
  if (win > alt && win > koi) code = tWin;
  list->SetCode(code);
}

}  // namespace tabulon
