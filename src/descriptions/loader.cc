#include "descriptions/loader.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

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

namespace {

// What the record reader does with a byte of a line.
enum : std::uint8_t { kPlain = 0, kBlank = 1, kDropped = 2, kLower = 3 };

constexpr std::array<std::uint8_t, 256> MakeLineClasses() {
  std::array<std::uint8_t, 256> classes{};
  classes[' '] = kBlank;
  classes['\t'] = kBlank;
  classes['\r'] = kDropped;
  for (int b = 'a'; b <= 'z'; ++b) classes[b] = kLower;
  return classes;
}

constexpr std::array<std::uint8_t, 256> kLineClasses = MakeLineClasses();

// Adds the letters of kLetterClasses in `record` to the counters, by
// ranges rather than by table so that the compiler tests many bytes at once.
void CountLetters(std::string_view record, std::int64_t* alt, std::int64_t* koi,
                  std::int64_t* win) {
  // A record holds at most 255 bytes: byte-wide counters cannot overflow.
  std::uint8_t a = 0;
  std::uint8_t k = 0;
  std::uint8_t w = 0;
  for (const char c : record) {
    const std::uint8_t b = static_cast<std::uint8_t>(c);
    a = static_cast<std::uint8_t>(a +
                                  ((static_cast<std::uint8_t>(b - 0xA0) < 16) |
                                   (static_cast<std::uint8_t>(b - 0xE0) < 16)));
    k = static_cast<std::uint8_t>(k +
                                  ((static_cast<std::uint8_t>(b - 0xC0) < 32) &
                                   (b != 0xD6) & (b != 0xD7) & (b != 0xDA)));
    w = static_cast<std::uint8_t>(w + (b >= 0xE0));
  }
  *alt += a;
  *koi += k;
  *win += w;
}

// ReadRecord with an indent of 1 over the raw bytes, as LoadDescriptions
// needs it: the same records, but each line is read once straight from the
// file, with no line string and no second pass to collapse blanks.
class RecordReader {
 public:
  RecordReader(std::string_view bytes, bool utf8)
      : bytes_(bytes.substr(0, bytes.find('\x1A'))), utf8_(utf8) {
    buffer_[0] = '\0';  // never a blank: the first byte of a record is kept
  }

  bool AtEnd() const { return position_ >= bytes_.size(); }

  // The next record; valid until the next call.
  std::string_view Next() {
    char* const begin = buffer_ + 1;
    char* out = begin;
    std::size_t line_start = position_;
    std::string_view line = TakeLine();
    bool may_continue = false;
    if (const std::size_t lead = FirstKept(line); lead < line.size()) {
      const std::uint8_t first =
          static_cast<std::uint8_t>(line[lead] == '\t' ? ' ' : line[lead]);
      may_continue = IsFileNameChar(first) && first != '-' && first != ':' &&
                     first != '\\';
      out = AppendFirstLine(line, out);
    } else {
      *out++ = ' ';
    }
    while (may_continue && !AtEnd() &&
           (bytes_[position_] == ' ' || bytes_[position_] == '\t' ||
            bytes_[position_] == '\r')) {
      line_start = position_;
      line = TakeLine();
      const std::size_t lead = FirstKept(line);
      if (lead == line.size() || (line[lead] != ' ' && line[lead] != '\t')) {
        position_ = line_start;  // the first line of the next record
        break;
      }
      *out++ = ' ';
      out = AppendContinuation(line, out);
      if (out - begin > static_cast<std::ptrdiff_t>(kMaxRecord)) {
        std::size_t keep = kMaxRecord;
        while (utf8_ && keep > 0 &&
               (static_cast<std::uint8_t>(begin[keep]) & 0xC0) == 0x80) {
          --keep;
        }
        out = begin + keep;
      }
    }
    return std::string_view(begin, static_cast<std::size_t>(out - begin));
  }

 private:
  // DescriptionFile::ReadLine without the copy: the bytes taken, CRs still
  // among them, and the reader moved past the line end.
  std::string_view TakeLine() {
    const std::size_t start = position_;
    const std::size_t limit =
        std::min(bytes_.size(), start + DescriptionFile::kMaxLine);
    const char* const data = bytes_.data();
    const void* const lf = std::memchr(data + start, '\n', limit - start);
    if (lf != nullptr) {
      const std::size_t end =
          static_cast<std::size_t>(static_cast<const char*>(lf) - data);
      position_ = end + 1;
      return bytes_.substr(start, end - start);
    }
    std::size_t taken = limit - start;
    if (utf8_ && limit < bytes_.size() &&
        (static_cast<std::uint8_t>(data[limit]) & 0xC0) == 0x80) {
      // The cut falls inside a character: leave all of it to the skip.
      while (taken > 0 && (static_cast<std::uint8_t>(data[start + taken - 1]) &
                           0xC0) == 0x80) {
        --taken;
      }
      if (taken > 0) --taken;
    }
    const std::size_t end = bytes_.find_first_of("\r\n", start + taken);
    if (end == bytes_.npos) {
      position_ = bytes_.size();
    } else {
      position_ = end + 1;
      if (data[end] == '\r' && position_ < bytes_.size() &&
          data[position_] == '\n') {
        ++position_;
      }
    }
    return bytes_.substr(start, taken);
  }

  // The offset of the first byte of `line` that reading keeps (not a CR).
  static std::size_t FirstKept(std::string_view line) {
    std::size_t i = 0;
    while (i < line.size() && line[i] == '\r') ++i;
    return i;
  }

  // Appends a first line: a-z of the first word raised, CRs dropped, every
  // run of blanks (TABs among them) cut to one.
  static char* AppendFirstLine(std::string_view line, char* out) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (IsPlain(line)) {
      // The usual line: only the first word changes.
      std::size_t i = 0;
      for (; i < line.size() && line[i] != ' '; ++i) {
        const char c = line[i];
        out[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
      }
      std::memcpy(out + i, line.data() + i, line.size() - i);
      return out + line.size();
    }
    std::size_t i = 0;
    for (; i < line.size(); ++i) {
      const std::uint8_t b = static_cast<std::uint8_t>(line[i]);
      const std::uint8_t kind = kLineClasses[b];
      if (kind == kPlain) {
        *out++ = static_cast<char>(b);
      } else if (kind == kLower) {
        *out++ = static_cast<char>(b - 'a' + 'A');
      } else if (kind == kBlank) {
        break;
      }
    }
    return AppendCollapsedBytes(line.substr(i), out);
  }

  // Appends a continuation line trimmed of bytes 0x20 and below at both
  // ends, CRs dropped, runs of blanks cut to one.
  static char* AppendContinuation(std::string_view line, char* out) {
    std::size_t first = 0;
    std::size_t last = line.size();
    while (first < last && IsBlankOrControl(line[first])) ++first;
    while (last > first && IsBlankOrControl(line[last - 1])) --last;
    const std::string_view kept = line.substr(first, last - first);
    if (IsPlain(kept)) {
      std::memcpy(out, kept.data(), kept.size());
      return out + kept.size();
    }
    return AppendCollapsedBytes(kept, out);
  }

  // Whether `s` holds no TAB, no CR and no two blanks in a row, so that
  // reading changes none of its bytes. Written without branches so that
  // the compiler can test many bytes at once.
  static bool IsPlain(std::string_view s) {
    const unsigned char* const p =
        reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    if (n == 0) return true;
    // Byte-wide, which the compiler turns into vector code.
    unsigned char odd =
        static_cast<unsigned char>((p[0] == '\t') | (p[0] == '\r'));
    for (std::size_t i = 1; i < n; ++i) {
      odd |= static_cast<unsigned char>((p[i] == '\t') | (p[i] == '\r') |
                                        ((p[i] == ' ') & (p[i - 1] == ' ')));
    }
    return odd == 0;
  }

  // The byte before `out` must be written: a blank there ends a run.
  static char* AppendCollapsedBytes(std::string_view s, char* out) {
    for (const char c : s) {
      const std::uint8_t kind = kLineClasses[static_cast<std::uint8_t>(c)];
      if (kind == kPlain || kind == kLower) {
        *out++ = c;
      } else if (kind == kBlank) {
        if (out[-1] != ' ') *out++ = ' ';
      }
    }
    return out;
  }

  std::string_view bytes_;
  std::size_t position_ = 0;
  bool utf8_;
  // A guard byte, then a record of at most 255 bytes plus a continuation
  // of as many and its joining blank before the cut.
  char buffer_[1 + 2 * kMaxRecord + 2];
};

}  // namespace

void LoadDescriptions(std::string_view file, DescriptionList* list) {
  const bool utf8 = IsUtf8Text(file);
  RecordReader reader(file, utf8);
  // The records never hold more bytes than the file; past 16 MiB the list
  // grows as it goes, so that a huge file costs no more than before.
  list->Reserve(std::min<std::size_t>(file.size(), std::size_t{16} << 20));
  std::int64_t alt = 0;
  std::int64_t koi = 0;
  std::int64_t win = 0;
  while (!reader.AtEnd()) {
    const std::string_view record = reader.Next();
    if (!utf8) {
      CountLetters(record, &alt, &koi, &win);
    }
    // The refused record has been counted: Code is decided from everything
    // read, not only from what the list kept.
    if (!list->Insert(record)) break;
  }
  if (utf8) {
    list->SetCode(tUtf8);
    return;
  }
  TCode code = tAlt;
  if (koi > alt && koi > win) code = tKoi;
  if (win > alt && win > koi) code = tWin;
  list->SetCode(code);
}

}  // namespace tabulon
