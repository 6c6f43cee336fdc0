#include "html/json_listing.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "common/code_pages.h"
#include "common/entry_rules.h"

namespace tabulon {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// "00" to "99", each number's two digits at twice its place.
constexpr std::array<char, 200> MakeTwoDigits() {
  std::array<char, 200> digits{};
  for (int i = 0; i < 100; ++i) {
    digits[2 * i] = static_cast<char>('0' + i / 10);
    digits[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return digits;
}

constexpr std::array<char, 200> kTwoDigits = MakeTwoDigits();

// The bytes of a time as AppendUtcTime writes it.
constexpr std::size_t kUtcTimeBytes = 20;

// What each byte below 0x20, and '"' and '\', become in a JSON string;
// empty means "itself".
using EscapeTable = std::array<std::string_view, 128>;

constexpr EscapeTable MakeEscapes() {
  constexpr std::string_view kControls[] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005",
      "\\u0006", "\\u0007", "\\b",     "\\t",     "\\n",     "\\u000B",
      "\\f",     "\\r",     "\\u000E", "\\u000F", "\\u0010", "\\u0011",
      "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001A", "\\u001B", "\\u001C", "\\u001D",
      "\\u001E", "\\u001F"};
  EscapeTable table{};
  for (int b = 0; b < 0x20; ++b) table[b] = kControls[b];
  table['"'] = "\\\"";
  table['\\'] = "\\\\";
  return table;
}

constexpr EscapeTable kEscapes = MakeEscapes();

// Whether a byte stands for itself in a JSON string: looked up once a byte,
// the escapes only where one is needed.
constexpr std::array<bool, 256> MakeVerbatim() {
  std::array<bool, 256> verbatim{};
  for (int b = 0; b < 256; ++b) verbatim[b] = b >= 0x80 || kEscapes[b].empty();
  return verbatim;
}

constexpr std::array<bool, 256> kVerbatim = MakeVerbatim();

// The ASCII bytes a name-built part of a link writes %XX: browsers drop
// controls from an address and stop at # and ?; ":" would make the name a
// scheme; "%" and "\" would be read as an escape or a separator.
constexpr std::array<bool, 128> MakeHrefEncoded() {
  std::array<bool, 128> encoded{};
  for (int b = 0; b < 0x20; ++b) encoded[b] = true;
  encoded[0x7F] = true;
  for (const char c : {'%', '#', '?', ':', '\\'}) {
    encoded[static_cast<unsigned char>(c)] = true;
  }
  return encoded;
}

constexpr std::array<bool, 128> kHrefEncoded = MakeHrefEncoded();

void AppendPercent(unsigned char b, std::string* out) {
  const char escape[3] = {'%', kHexDigits[b >> 4], kHexDigits[b & 15]};
  out->append(escape, sizeof escape);
}

void AppendDigits(std::int64_t value, int width, std::string* out) {
  char digits[24];
  const std::to_chars_result end =
      std::to_chars(digits, digits + sizeof digits, value);
  const std::size_t n = static_cast<std::size_t>(end.ptr - digits);
  if (static_cast<int>(n) < width) {
    out->append(static_cast<std::size_t>(width) - n, '0');
  }
  out->append(digits, n);
}

// Whether any of the eight bytes of `word` is below 0x20, '"' or '\\'.
// Never false when one is; now and then true when none is.
bool MayNeedEscape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101;
  constexpr std::uint64_t kHigh = 0x8080808080808080;
  const auto has_zero = [](std::uint64_t v) {
    return (v - kOnes) & ~v & kHigh;
  };
  return ((word - kOnes * 0x20) & ~word & kHigh) != 0 ||
         has_zero(word ^ (kOnes * '"')) != 0 ||
         has_zero(word ^ (kOnes * '\\')) != 0;
}

// Writes `piece` at `to`; returns the end.
char* Put(std::string_view piece, char* to) {
  return std::copy(piece.begin(), piece.end(), to);
}

// The most bytes a byte of text becomes in a JSON string: a control's
// \u00XX; a byte of a code page takes three at most.
constexpr std::size_t kMostJsonPerByte = 6;
static_assert(kMostJsonPerByte >= kMostUtf8PerByte);

// Writes `bytes`, text in code page `code` (tUtf8 for a name), as UTF-8
// escaped for a JSON string at `to`, which has room for kMostJsonPerByte
// bytes for each; returns the end. Only ASCII is escaped, and every byte of
// a character from 0x80 up is itself from 0x80 up: each run of those is
// decoded whole, in one pass with the escaping. Without `decode` the runs
// are copied as they are (text that is UTF-8 already).
char* PutJsonTextOf(TCode code, bool decode, std::string_view bytes, char* to) {
  const char* from = bytes.data();
  const char* const end = from + bytes.size();
  while (from < end) {
    // Most of a name needs neither: passed on eight bytes at a time.
    if (end - from >= 8) {
      std::uint64_t word;
      std::memcpy(&word, from, sizeof word);
      if ((word & 0x8080808080808080) == 0 && !MayNeedEscape(word)) {
        std::memcpy(to, &word, sizeof word);
        to += sizeof word;
        from += sizeof word;
        continue;
      }
    }
    const unsigned char b = static_cast<unsigned char>(*from);
    if (b >= 0x80) {
      const char* run = from + 1;
      while (run < end && static_cast<unsigned char>(*run) >= 0x80) ++run;
      const std::string_view high(from, static_cast<std::size_t>(run - from));
      to = decode ? PutUtf8Of(code, high, to) : Put(high, to);
      from = run;
      continue;
    }
    if (kVerbatim[b]) {
      *to++ = static_cast<char>(b);
    } else {
      to = std::copy(kEscapes[b].begin(), kEscapes[b].end(), to);
    }
    ++from;
  }
  return to;
}

// Writes the name-built part of a link as AppendHrefName does at `to`,
// which has room for three bytes for each of `native`; returns the end.
// `in_json`: a '"' (the one byte of the link a JSON string escapes) is
// written as its escape.
char* PutHrefName(std::string_view native, unsigned edges, bool in_json,
                  char* to) {
  const char* from = native.data();
  const char* end = from + native.size();
  const bool blank_begins =
      (edges & kLinkBegins) != 0 && from < end && *from == ' ';
  if (blank_begins) ++from;
  const bool blank_ends =
      (edges & kLinkEnds) != 0 && from < end && end[-1] == ' ';
  if (blank_ends) --end;
  if (blank_begins) to = Put("%20", to);
  for (; from < end; ++from) {
    const unsigned char b = static_cast<unsigned char>(*from);
    if (b >= 0x80 || kHrefEncoded[b]) {
      to[0] = '%';
      to[1] = kHexDigits[b >> 4];
      to[2] = kHexDigits[b & 15];
      to += 3;
    } else if (b == '"' && in_json) {
      to[0] = '\\';
      to[1] = '"';
      to += 2;
    } else {
      *to++ = static_cast<char>(b);
    }
  }
  if (blank_ends) to = Put("%20", to);
  return to;
}

// Writes the kUtcTimeBytes of AppendUtcTime at `to`; returns their end.
char* PutUtcTime(std::int64_t seconds, char* to) {
  // 0000-01-01T00:00:00Z and 9999-12-31T23:59:59Z.
  constexpr std::int64_t kFirst = -62167219200LL;
  constexpr std::int64_t kLast = 253402300799LL;
  seconds = std::clamp(seconds, kFirst, kLast);
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Days to a civil date in the proleptic Gregorian calendar, by eras of
  // 400 years (146097 days), each counted from 1 March.
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t day_of_era = days - era * 146097;
  const std::int64_t year_of_era = (day_of_era - day_of_era / 1460 +
                                    day_of_era / 36524 - day_of_era / 146096) /
                                   365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
  const std::int64_t day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const std::int64_t month =
      shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  // The clamp keeps every field to its width: written into place at once,
  // two digits at a time.
  static constexpr char kPattern[] = "0000-00-00T00:00:00Z";
  static_assert(sizeof kPattern - 1 == kUtcTimeBytes);
  std::memcpy(to, kPattern, sizeof kPattern - 1);
  const auto put_two = [to](std::size_t at, std::uint32_t value) {
    std::memcpy(to + at, &kTwoDigits[2 * value], 2);
  };
  const auto year32 = static_cast<std::uint32_t>(year);
  const auto rest32 = static_cast<std::uint32_t>(rest);
  put_two(0, year32 / 100);
  put_two(2, year32 % 100);
  put_two(5, static_cast<std::uint32_t>(month));
  put_two(8, static_cast<std::uint32_t>(day));
  put_two(11, rest32 / 3600);
  put_two(14, rest32 / 60 % 60);
  put_two(17, rest32 % 60);
  return to + (sizeof kPattern - 1);
}

}  // namespace

void AppendJsonText(std::string_view utf8, std::string* out) {
  const std::size_t start = out->size();
  out->resize(start + kMostJsonPerByte * utf8.size());
  char* const end = PutJsonTextOf(tUtf8, false, utf8, out->data() + start);
  out->resize(static_cast<std::size_t>(end - out->data()));
}

void AppendJsonString(std::string_view utf8, std::string* out) {
  out->push_back('"');
  AppendJsonText(utf8, out);
  out->push_back('"');
}

void AppendNativeUtf8(std::string_view native, std::string* out) {
  AppendUtf8Of(tUtf8, native, out);
}

void AppendHrefName(std::string_view native, unsigned edges, std::string* out) {
  // A byte gives at most three: written into place, not appended one at a
  // time (most names outside ASCII escape every byte).
  const std::size_t start = out->size();
  out->resize(start + 3 * native.size());
  char* const end = PutHrefName(native, edges, false, out->data() + start);
  out->resize(static_cast<std::size_t>(end - out->data()));
}

void AppendHrefUrl(std::string_view url, std::string* out) {
  for (const char c : url) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x80) {
      AppendPercent(b, out);
    } else {
      out->push_back(c == '\\' ? '/' : c);
    }
  }
}

void AppendUtcTime(std::int64_t seconds, std::string* out) {
  char text[kUtcTimeBytes];
  out->append(text, PutUtcTime(seconds, text));
}

void WriteJsonHead(std::string_view version, std::string_view directory,
                   std::string* out) {
  std::string text = "Tabulon ";
  text.append(version);
  out->append("{\n  \"generator\": ");
  AppendJsonString(text, out);
  out->append(",\n  \"directory\": ");
  text.clear();
  AppendNativeUtf8(directory, &text);
  AppendJsonString(text, out);
  out->append(",\n  \"entries\": [");
}

bool WriteJsonEntry(const SearchEntry& entry, const RowContext& row,
                    const JsonContext& json,
                    std::optional<std::string_view> description, TCode code,
                    std::string* out) {
  if (!ModeLists(entry, row.RunMode)) return false;
  const bool directory = entry.IsDirectory();
  static constexpr std::string_view kName = ",\n    {\"name\": \"";
  static constexpr std::string_view kPath = "\", \"path\": \"";
  static constexpr std::string_view kHref = "\", \"href\": \"";
  static constexpr std::string_view kPage = kPageName;
  // The keys from "type" to "description" and their values but the last.
  static constexpr std::string_view kDirectory =
      "\", \"type\": \"directory\", \"size\": null, \"modified\": \"";
  static constexpr std::string_view kFile =
      "\", \"type\": \"file\", \"size\": ";
  static constexpr std::string_view kModified = ", \"modified\": \"";
  static constexpr std::string_view kDescription = "\", \"description\": ";
  // Written in place, one piece after another, into room for the most the
  // entry can take, and cut to what it took: the name twice (as the name
  // and in the path), the href's prefix escaped, every byte of the name
  // in the href as %XX, the longest size and the description quoted.
  static constexpr std::size_t kFixed =
      kName.size() + kPath.size() + kHref.size() + 1 + kPage.size() +
      kDirectory.size() + kFile.size() + 24 + kModified.size() + kUtcTimeBytes +
      kDescription.size() + sizeof "null}";
  const std::size_t name_bytes = entry.Name.size();
  const std::size_t most =
      kFixed + 2 * kMostJsonPerByte * name_bytes + json.relative.size() +
      kMostJsonPerByte * json.file_href_prefix.size() + 3 * name_bytes +
      (description ? kMostJsonPerByte * description->size() : 0);
  const std::size_t start = out->size();
  out->resize(start + most);
  char* to = Put(kName, out->data() + start);
  // The name as escaped text once, for the name and the path.
  const char* const name = to;
  to = PutJsonTextOf(tUtf8, true, entry.Name, to);
  const std::string_view escaped(name, static_cast<std::size_t>(to - name));
  to = Put(kPath, to);
  to = Put(json.relative, to);
  to = Put(escaped, to);

  // As the row links: a directory to its page, a file after the prefix.
  to = Put(kHref, to);
  if (directory) {
    to = PutHrefName(entry.Name, kLinkBegins, true, to);
    *to++ = '/';
    to = Put(kPage, to);
    to = Put(kDirectory, to);
  } else {
    to = PutJsonTextOf(tUtf8, false, json.file_href_prefix, to);
    to = PutHrefName(
        entry.Name,
        json.file_href_prefix.empty() ? kLinkBegins | kLinkEnds : kLinkEnds,
        true, to);
    to = Put(kFile, to);
    to = std::to_chars(to, to + 24, entry.Size).ptr;
    to = Put(kModified, to);
  }
  to = PutUtcTime(entry.Modified, to);
  to = Put(kDescription, to);
  if (description) {
    *to++ = '"';
    to = PutJsonTextOf(code, true, *description, to);
    *to++ = '"';
  } else {
    to = Put("null", to);
  }
  *to++ = '}';
  out->resize(static_cast<std::size_t>(to - out->data()));
  return true;
}

std::string_view JsonEntriesAfter(std::string_view entries, bool* first) {
  if (*first && !entries.empty()) {
    *first = false;
    entries.remove_prefix(1);
  }
  return entries;
}

void WriteJsonFoot(const Totals& totals, bool any, std::string* out) {
  out->append(any ? "\n  ],\n  \"files\": " : "],\n  \"files\": ");
  AppendDigits(totals.TotalFiles, 0, out);
  out->append(",\n  \"bytes\": ");
  AppendDigits(totals.TotalBytes, 0, out);
  out->append("\n}\n");
}

}  // namespace tabulon
