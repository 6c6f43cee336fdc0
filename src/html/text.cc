#include "html/text.h"

#include <array>
#include <cstring>

#include "common/code_pages.h"
#include "common/per_thread.h"
#include "common/utf8.h"

namespace tabulon {
namespace {

// Text decoded for a UTF-8 page.
struct DecodedTag;
[[maybe_unused]] const bool kDecodedReadied =
    AddPerThreadReady(&KeptPerThread<std::string, DecodedTag>::Ready);

// kName: text of a name, where a character that hides or reorders text
// shows as a mark; kText: other text (a description).
enum class Context { kName, kText, kLink, kUrl };

// What each ASCII byte becomes in one context; empty means "itself".
using AsciiTable = std::array<std::string_view, 128>;

constexpr std::string_view kHex[] = {
    "%00", "%01", "%02", "%03", "%04", "%05", "%06", "%07", "%08", "%09", "%0A",
    "%0B", "%0C", "%0D", "%0E", "%0F", "%10", "%11", "%12", "%13", "%14", "%15",
    "%16", "%17", "%18", "%19", "%1A", "%1B", "%1C", "%1D", "%1E", "%1F"};

constexpr AsciiTable MakeTable(Context context) {
  AsciiTable table{};
  table['&'] = "&amp;";
  table['<'] = "&lt;";
  table['>'] = "&gt;";
  table['"'] = "&quot;";
  if (context == Context::kLink) {
    // Browsers drop tabs and line ends from addresses and stop at # and ?;
    // a ":" before the first "/" would make the name a scheme.
    for (int b = 0; b < 0x20; ++b) table[b] = kHex[b];
    table[0x7F] = "%7F";
    table['%'] = "%25";
    table['#'] = "%23";
    table['?'] = "%3F";
    table[':'] = "%3A";
    table['\\'] = "%5C";
  }
  if (context == Context::kUrl) table['\\'] = "/";
  return table;
}

constexpr AsciiTable kTextTable = MakeTable(Context::kText);
constexpr AsciiTable kNameTable = MakeTable(Context::kName);
constexpr AsciiTable kLinkTable = MakeTable(Context::kLink);
constexpr AsciiTable kUrlTable = MakeTable(Context::kUrl);

void AppendPercent(unsigned char b, std::string* out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out->push_back('%');
  out->push_back(kDigits[b >> 4]);
  out->push_back(kDigits[b & 15]);
}

// The page byte of a character: its 866 byte through AltToWin, else its
// windows-1251 byte; -1 when neither code page has it.
int PageByteOf(char32_t c) {
  const int b = ByteOf(c, tAlt);
  return b >= 0 ? AltToWin[b] : ByteOf(c, tWin);
}

// Whether the page byte `b` of the character `c` is a look-alike (a blank
// for a shading block, "-" for a box-drawing line) rather than `c` itself.
bool IsLookAlike(char32_t c, int b) { return kCp1251ToUnicode[b] != c; }

using TwoByteTable = std::array<std::int16_t, 0x800>;

// PageByteOf for every character of a two-byte sequence (Cyrillic among
// them), which names hold many of; with `exact`, -1 for a look-alike; with
// `marked`, -1 for a character shown as a mark.
TwoByteTable MakeTwoBytePageBytes(bool exact, bool marked) {
  TwoByteTable bytes{};
  for (char32_t c = 0x80; c < 0x800; ++c) {
    const int b = PageByteOf(c);
    bytes[c] = static_cast<std::int16_t>(
        (exact && b >= 0 && IsLookAlike(c, b)) || (marked && HidesOrReorders(c))
            ? -1
            : b);
  }
  return bytes;
}

const TwoByteTable& TwoBytePageBytes(Context context) {
  static const TwoByteTable shown = MakeTwoBytePageBytes(false, false);
  static const TwoByteTable exact = MakeTwoBytePageBytes(true, false);
  static const TwoByteTable named = MakeTwoBytePageBytes(false, true);
  return context == Context::kLink   ? exact
         : context == Context::kName ? named
                                     : shown;
}

// "<U+202E>" as page text: a character that would make a name read as
// another one, made visible.
void AppendMark(char32_t c, std::string* out) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out->append("&lt;U+");
  for (int shift = 12; shift >= 0; shift -= 4)
    out->push_back(kDigits[(c >> shift) & 15]);
  out->append("&gt;");
}

// Whether the two bytes at `p` are a character shown as a mark in a name.
bool IsMarkedTwoByte(const unsigned char* p) {
  return (p[0] == 0xC2 && p[1] == 0xAD) || (p[0] == 0xD8 && p[1] == 0x9C);
}

// The bytes that stand for themselves in a context (none above 0x7F).
using PlainTable = std::array<bool, 256>;

constexpr PlainTable MakePlain(const AsciiTable& table) {
  PlainTable plain{};
  for (std::size_t b = 0; b < 128; ++b) plain[b] = table[b].empty();
  return plain;
}

constexpr PlainTable kTextPlain = MakePlain(kTextTable);
constexpr PlainTable kNamePlain = MakePlain(kNameTable);
constexpr PlainTable kLinkPlain = MakePlain(kLinkTable);
constexpr PlainTable kUrlPlain = MakePlain(kUrlTable);

// Whether `c` is a C1 control, whose reference (&#128; to &#159;) a browser
// reads as the windows-1252 character of that byte: &#128; is the euro sign.
bool IsC1Control(char32_t c) { return c >= 0x80 && c <= 0x9F; }

void AppendCharacter(char32_t c, Context context, std::string* out) {
  if (context == Context::kName && HidesOrReorders(c)) {
    AppendMark(c, out);
    return;
  }
  const int b = PageByteOf(c);
  if (context == Context::kLink &&
      (b >= 0 ? IsLookAlike(c, b) : IsC1Control(c))) {
    // A look-alike, or a reference read as another character, would lead
    // to another name: the link carries the character itself, as a
    // browser sends it.
    std::string utf8;
    AppendUtf8(c, &utf8);
    for (const char byte : utf8)
      AppendPercent(static_cast<unsigned char>(byte), out);
    return;
  }
  if (b >= 0) {
    out->push_back(static_cast<char>(b));
    return;
  }
  out->append("&#");
  out->append(std::to_string(static_cast<unsigned long>(c)));
  out->push_back(';');
}

void Append(std::string_view native, Context context, const AsciiTable& table,
            const PlainTable& plain, std::string* out) {
  const TwoByteTable& two_byte = TwoBytePageBytes(context);
  const unsigned char* const from =
      reinterpret_cast<const unsigned char*>(native.data());
  const std::size_t n = native.size();
  std::size_t pos = 0;
  while (pos < n) {
    // Most of a name is bytes that stand for themselves: append each such
    // run in one piece.
    std::size_t run = pos;
    while (run < n && plain[from[run]]) ++run;
    if (run > pos) {
      out->append(native.data() + pos, run - pos);
      pos = run;
      if (pos == n) break;
    }
    const unsigned char b = from[pos];
    if (b < 0x80) {
      out->append(table[b]);
      ++pos;
      continue;
    }
    // A run of two-byte sequences (Cyrillic among them), decoded here and
    // appended at once: the usual non-ASCII case.
    char bytes[64];
    std::size_t count = 0;
    while (count < sizeof bytes && pos + 1 < n && from[pos] >= 0xC2 &&
           from[pos] <= 0xDF && (from[pos + 1] & 0xC0) == 0x80) {
      const int page = two_byte[static_cast<std::size_t>(
          (from[pos] & 0x1F) << 6 | (from[pos + 1] & 0x3F))];
      if (page < 0) break;
      bytes[count++] = static_cast<char>(page);
      pos += 2;
    }
    if (count > 0) {
      out->append(bytes, count);
      continue;
    }
    char32_t c;
    if (DecodeUtf8(native, &pos, &c)) {
      AppendCharacter(c, context, out);
    } else if (context == Context::kLink) {
      AppendPercent(b, out);
    } else {
      out->push_back(static_cast<char>(AltToWin[b]));
    }
  }
}

// Append for a UTF-8 page: a character is written as its own bytes, so only
// ASCII bytes are escaped; a byte that is not part of valid UTF-8 is %XX in
// a link and elsewhere its code page 866 character, as on a windows-1251
// page.
void AppendUtf8Page(std::string_view native, Context context,
                    const AsciiTable& table, const PlainTable& plain,
                    std::string* out) {
  const unsigned char* const from =
      reinterpret_cast<const unsigned char*>(native.data());
  const std::size_t n = native.size();
  std::size_t pos = 0;
  while (pos < n) {
    // A run of bytes that stand for themselves and of two-byte characters
    // (Cyrillic, Greek, most accented Latin: a lead byte C2-DF is never
    // part of an overlong form) is appended in one piece.
    std::size_t run = pos;
    for (;;) {
      while (run < n && plain[from[run]]) ++run;
      if (run + 1 < n && from[run] >= 0xC2 && from[run] <= 0xDF &&
          (from[run + 1] & 0xC0) == 0x80 &&
          (context != Context::kName || !IsMarkedTwoByte(from + run))) {
        run += 2;
        continue;
      }
      break;
    }
    if (run > pos) {
      out->append(native.data() + pos, run - pos);
      pos = run;
      if (pos == n) break;
    }
    const unsigned char b = from[pos];
    if (b < 0x80) {
      out->append(table[b]);
      ++pos;
      continue;
    }
    const std::size_t start = pos;
    char32_t c;
    if (DecodeUtf8(native, &pos, &c)) {
      if (context == Context::kName && HidesOrReorders(c)) {
        AppendMark(c, out);
      } else {
        out->append(native.data() + start, pos - start);
      }
    } else if (context == Context::kLink) {
      AppendPercent(b, out);
    } else {
      AppendUtf8(kCp866ToUnicode[b], out);
    }
  }
}

}  // namespace

void AppendPageText(std::string_view native, TCharset charset,
                    std::string* out) {
  if (charset == cUtf8) {
    AppendUtf8Page(native, Context::kName, kNameTable, kNamePlain, out);
  } else {
    Append(native, Context::kName, kNameTable, kNamePlain, out);
  }
}

bool ShowsMarks(std::string_view native) {
  // Every such character begins with one of these bytes, which Cyrillic
  // never does.
  for (std::size_t pos = 0; pos < native.size();) {
    const unsigned char b = static_cast<unsigned char>(native[pos]);
    if (b != 0xC2 && b != 0xD8 && b != 0xE2 && b != 0xEF) {
      ++pos;
      continue;
    }
    char32_t c;
    if (DecodeUtf8(native, &pos, &c) && HidesOrReorders(c)) return true;
  }
  return false;
}

void AppendLinkName(std::string_view native, unsigned edges, TCharset charset,
                    std::string* out) {
  const std::size_t at = out->size();
  if (charset == cUtf8) {
    AppendUtf8Page(native, Context::kLink, kLinkTable, kLinkPlain, out);
  } else {
    Append(native, Context::kLink, kLinkTable, kLinkPlain, out);
  }
  // Tested on what was written, since a shading character of code page 866
  // is written as a blank too.
  if ((edges & kLinkBegins) != 0 && out->size() > at && (*out)[at] == ' ') {
    out->replace(at, 1, "%20");
  }
  if ((edges & kLinkEnds) != 0 && out->size() > at && out->back() == ' ') {
    out->pop_back();
    out->append("%20");
  }
}

void AppendUrl(std::string_view url, TCharset charset, std::string* out) {
  if (charset == cUtf8) {
    AppendUtf8Page(url, Context::kUrl, kUrlTable, kUrlPlain, out);
  } else {
    Append(url, Context::kUrl, kUrlTable, kUrlPlain, out);
  }
}

void AppendDescription(std::string_view text, TCode code, TCharset charset,
                       std::string* out) {
  if (charset == cUtf8) {
    // Decoded first, so that what is escaped is UTF-8 whatever the file;
    // into text the thread keeps, so that a row costs no allocation.
    KeptPerThread<std::string, DecodedTag> kept;
    std::string& decoded = *kept;
    decoded.clear();
    AppendUtf8Of(code, text, &decoded);
    AppendUtf8Page(decoded, Context::kText, kTextTable, kTextPlain, out);
    return;
  }
  if (code == tUtf8) {
    Append(text, Context::kText, kTextTable, kTextPlain, out);
    return;
  }
  const std::uint8_t* table = code == tAlt   ? AltToWin
                              : code == tKoi ? KoiToWin
                                             : nullptr;
  // Most descriptions hold no byte to escape: tested for without branches,
  // so that many bytes are tested at once, they are copied whole and
  // converted in place.
  const unsigned char* const bytes =
      reinterpret_cast<const unsigned char*>(text.data());
  unsigned char escapes = 0;  // a bool would keep the loop byte by byte
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = bytes[i];
    escapes |= static_cast<unsigned char>((c == '&') | (c == '<') | (c == '>') |
                                          (c == '"'));
  }
  if (escapes == 0) {
    const std::size_t at = out->size();
    out->append(text);
    if (table != nullptr) {
      unsigned char* const p =
          reinterpret_cast<unsigned char*>(out->data() + at);
      for (std::size_t i = 0; i < text.size(); ++i) p[i] = table[p[i]];
    }
    return;
  }
  // Byte for byte, written in place; only the rare byte that becomes an
  // entity leaves the in-place run.
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t at = out->size();
    out->resize(at + text.size() - from);
    char* const begin = out->data();
    char* to = begin + at;
    std::size_t i = from;
    for (; i < text.size(); ++i) {
      const unsigned char b = static_cast<unsigned char>(text[i]);
      if (b < 0x80) {
        if (!kTextTable[b].empty()) break;
        *to++ = static_cast<char>(b);
      } else {
        *to++ = table ? static_cast<char>(table[b]) : static_cast<char>(b);
      }
    }
    out->resize(static_cast<std::size_t>(to - begin));
    if (i < text.size()) {
      out->append(kTextTable[static_cast<unsigned char>(text[i])]);
      ++i;
    }
    from = i;
  }
}

}  // namespace tabulon
