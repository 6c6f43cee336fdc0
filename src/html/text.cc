#include "html/text.h"

#include <array>

#include "common/utf8.h"
#include "descriptions/code_pages.h"

namespace tabulon {
namespace {

enum class Context { kText, kLink, kUrl };

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
    // Browsers drop tabs and line ends from addresses and stop at # and ?.
    for (int b = 0; b < 0x20; ++b) table[b] = kHex[b];
    table[0x7F] = "%7F";
    table['%'] = "%25";
    table['#'] = "%23";
    table['?'] = "%3F";
    table['\\'] = "%5C";
  }
  if (context == Context::kUrl) table['\\'] = "/";
  return table;
}

constexpr AsciiTable kTextTable = MakeTable(Context::kText);
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

// PageByteOf for every character of a two-byte sequence (Cyrillic among
// them), which names hold many of.
const std::array<std::int16_t, 0x800>& TwoBytePageBytes() {
  static const std::array<std::int16_t, 0x800> table = [] {
    std::array<std::int16_t, 0x800> bytes{};
    for (char32_t c = 0x80; c < 0x800; ++c) {
      bytes[c] = static_cast<std::int16_t>(PageByteOf(c));
    }
    return bytes;
  }();
  return table;
}

void AppendCharacter(char32_t c, std::string* out) {
  const int b = c < 0x800 ? TwoBytePageBytes()[c] : PageByteOf(c);
  if (b >= 0) {
    out->push_back(static_cast<char>(b));
    return;
  }
  out->append("&#");
  out->append(std::to_string(static_cast<unsigned long>(c)));
  out->push_back(';');
}

void Append(std::string_view native, Context context, const AsciiTable& table,
            std::string* out) {
  std::size_t pos = 0;
  while (pos < native.size()) {
    // Most of a name is bytes that stand for themselves: append each such
    // run in one piece.
    std::size_t plain = pos;
    while (plain < native.size() &&
           static_cast<unsigned char>(native[plain]) < 0x80 &&
           table[static_cast<unsigned char>(native[plain])].empty()) {
      ++plain;
    }
    if (plain > pos) {
      out->append(native.substr(pos, plain - pos));
      pos = plain;
      if (pos == native.size()) break;
    }
    const unsigned char b = static_cast<unsigned char>(native[pos]);
    if (b < 0x80) {
      ++pos;
      if (table[b].empty()) {
        out->push_back(static_cast<char>(b));
      } else {
        out->append(table[b]);
      }
      continue;
    }
    if (b >= 0xC2 && b <= 0xDF && pos + 1 < native.size() &&
        (static_cast<unsigned char>(native[pos + 1]) & 0xC0) == 0x80) {
      // A two-byte sequence, decoded here: the usual non-ASCII case.
      AppendCharacter(static_cast<char32_t>((b & 0x1F) << 6 |
                                            (native[pos + 1] & 0x3F)),
                      out);
      pos += 2;
      continue;
    }
    char32_t c;
    if (DecodeUtf8(native, &pos, &c)) {
      AppendCharacter(c, out);
    } else if (context == Context::kLink) {
      AppendPercent(b, out);
    } else {
      out->push_back(static_cast<char>(AltToWin[b]));
    }
  }
}

}  // namespace

void AppendPageText(std::string_view native, std::string* out) {
  Append(native, Context::kText, kTextTable, out);
}

void AppendLinkName(std::string_view native, std::string* out) {
  Append(native, Context::kLink, kLinkTable, out);
}

void AppendUrl(std::string_view url, std::string* out) {
  Append(url, Context::kUrl, kUrlTable, out);
}

void AppendDescription(std::string_view text, TCode code, std::string* out) {
  if (code == tUtf8) {
    AppendPageText(text, out);
    return;
  }
  const std::uint8_t* table =
      code == tAlt ? AltToWin : code == tKoi ? KoiToWin : nullptr;
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
