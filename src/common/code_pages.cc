#include "common/code_pages.h"

#include <array>
#include <cstring>

#include "common/utf8.h"

namespace tabulon {
namespace {

// Reverse maps for the three code pages: per code page, a table of 65536
// bytes indexed by the character, built once. 0 means "none" except for
// U+0000 itself, which every code page has at byte 0.
class ReverseMaps {
 public:
  ReverseMaps() {
    Fill(kAlt, kCp866ToUnicode);
    Fill(kWin, kCp1251ToUnicode);
    Fill(kKoi, kKoi8rToUnicode);
  }
  int Find(char32_t c, TCode code) const {
    if (c < 0x80) return static_cast<int>(c);
    if (c > 0xFFFF || code > tKoi) return -1;
    const std::uint8_t b = maps_[code][c];
    return b == 0 ? -1 : b;
  }

 private:
  static constexpr int kAlt = tAlt, kWin = tWin, kKoi = tKoi;
  void Fill(int code, const char16_t* chars) {
    maps_[code].fill(0);
    for (int b = 0x80; b < 256; ++b) {
      if (chars[b] != 0) maps_[code][chars[b]] = static_cast<std::uint8_t>(b);
    }
  }
  std::array<std::array<std::uint8_t, 0x10000>, 3> maps_;
};

const ReverseMaps& Maps() {
  static const ReverseMaps* maps = new ReverseMaps();
  return *maps;
}

// The UTF-8 bytes of every byte 0x80-0xFF of one code page (every
// character there takes two or three).
struct HighBytes {
  char bytes[3];
  std::uint8_t size;
};
using Utf8Table = std::array<HighBytes, 128>;

Utf8Table MakeUtf8Table(const char16_t* chars) {
  Utf8Table table{};
  for (int b = 0x80; b < 256; ++b) {
    // windows-1251 leaves 0x98 unassigned; browsers read it as U+0098.
    const char32_t c = chars[b] != 0 ? chars[b] : static_cast<char32_t>(b);
    std::string utf8;
    AppendUtf8(c, &utf8);
    HighBytes& high = table[b - 0x80];
    utf8.copy(high.bytes, utf8.size());
    high.size = static_cast<std::uint8_t>(utf8.size());
  }
  return table;
}

const Utf8Table& Utf8TableOf(TCode code) {
  // Made together: one check whether they are made, on every call.
  static const std::array<Utf8Table, 3> tables = {
      MakeUtf8Table(kCp866ToUnicode), MakeUtf8Table(kCp1251ToUnicode),
      MakeUtf8Table(kKoi8rToUnicode)};
  return tables[code == tWin ? 1 : code == tKoi ? 2 : 0];
}

}  // namespace

int ByteOf(char32_t c, TCode code) { return Maps().Find(c, code); }

char* PutUtf8Of(TCode code, std::string_view bytes, char* to) {
  // A byte that breaks UTF-8 is read as 866, which every tUtf8 byte that
  // isn't part of a character then goes through.
  const Utf8Table& table = Utf8TableOf(code == tUtf8 ? tAlt : code);
  const std::size_t n = bytes.size();
  const char* const from = bytes.data();
  std::size_t pos = 0;
  while (pos < n) {
    // ASCII, most of a name and much of a description, eight bytes at once.
    if (n - pos >= 8) {
      std::uint64_t word;
      std::memcpy(&word, from + pos, sizeof word);
      if ((word & 0x8080808080808080) == 0) {
        std::memcpy(to, &word, sizeof word);
        to += sizeof word;
        pos += sizeof word;
        continue;
      }
    }
    const unsigned char b = static_cast<unsigned char>(from[pos]);
    if (b < 0x80) {
      *to++ = static_cast<char>(b);
      ++pos;
      continue;
    }
    if (code == tUtf8) {
      // Two bytes (Cyrillic, Greek, most accented Latin) told here.
      if (b >= 0xC2 && b <= 0xDF && pos + 1 < n &&
          (static_cast<unsigned char>(from[pos + 1]) & 0xC0) == 0x80) {
        to[0] = from[pos];
        to[1] = from[pos + 1];
        to += 2;
        pos += 2;
        continue;
      }
      char32_t c;
      std::size_t next = pos;
      if (DecodeUtf8(bytes, &next, &c)) {
        std::memcpy(to, from + pos, next - pos);
        to += next - pos;
        pos = next;
        continue;
      }
    }
    const HighBytes& high = table[b - 0x80];
    std::memcpy(to, high.bytes, sizeof high.bytes);
    to += high.size;
    ++pos;
  }
  return to;
}

void AppendUtf8Of(TCode code, std::string_view bytes, std::string* out) {
  // Written into place, not appended a byte at a time.
  const std::size_t start = out->size();
  out->resize(start + kMostUtf8PerByte * bytes.size());
  char* const end = PutUtf8Of(code, bytes, out->data() + start);
  out->resize(static_cast<std::size_t>(end - out->data()));
}

}  // namespace tabulon
