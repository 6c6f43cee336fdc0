#include "descriptions/code_pages.h"

#include <array>

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

constexpr std::array<std::uint8_t, 256> MakeAsciiUpper() {
  std::array<std::uint8_t, 256> table{};
  for (int b = 0; b < 256; ++b) {
    table[b] = static_cast<std::uint8_t>(b >= 'a' && b <= 'z' ? b - 32 : b);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kAsciiUpper = MakeAsciiUpper();

}  // namespace

const char16_t* CharactersOf(TCode code) {
  switch (code) {
    case tWin:
      return kCp1251ToUnicode;
    case tKoi:
      return kKoi8rToUnicode;
    default:
      return kCp866ToUnicode;
  }
}

const std::uint8_t* UpperCaseOf(TCode code) {
  switch (code) {
    case tWin:
      return kCp1251Upper;
    case tKoi:
      return kKoi8rUpper;
    case tUtf8:
      return kAsciiUpper.data();
    default:
      return kCp866Upper;
  }
}

namespace {

// A run of bytes that raising moves by the same step (mod 256).
struct RaisedRange {
  std::uint8_t first;
  std::uint8_t last;
  std::uint8_t step;
};

// Every code page raises a-z and at most three more ranges; unused ones
// move nothing.
using RaisedRanges = std::array<RaisedRange, 4>;

constexpr std::uint8_t Step(int step) {
  return static_cast<std::uint8_t>(step & 0xFF);
}

constexpr RaisedRanges kAltRaised = {{{'a', 'z', Step(-32)},
                                      {0xA0, 0xAF, Step(-32)},
                                      {0xE0, 0xEF, Step(-80)},
                                      {0xF1, 0xF1, Step(-1)}}};
constexpr RaisedRanges kWinRaised = {{{'a', 'z', Step(-32)},
                                      {0xE0, 0xFF, Step(-32)},
                                      {0xB8, 0xB8, Step(-16)},
                                      {1, 0, 0}}};
constexpr RaisedRanges kKoiRaised = {{{'a', 'z', Step(-32)},
                                      {0xC0, 0xDF, Step(32)},
                                      {0xA3, 0xA3, Step(16)},
                                      {1, 0, 0}}};
constexpr RaisedRanges kAsciiRaised = {
    {{'a', 'z', Step(-32)}, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}}};

}  // namespace

namespace {

// One instance per code page, so that the ranges are constants.
template <const RaisedRanges& kRanges>
void Raise(unsigned char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = p[i];
    std::uint8_t step = 0;
    for (const RaisedRange& range : kRanges) {
      const std::uint8_t in =
          static_cast<std::uint8_t>(b - range.first) <=
                  static_cast<std::uint8_t>(range.last - range.first)
              ? 0xFF
              : 0;
      step = static_cast<std::uint8_t>(step + (in & range.step));
    }
    p[i] = static_cast<std::uint8_t>(b + step);
  }
}

}  // namespace

void UpperCaseInPlace(TCode code, char* bytes, std::size_t n) {
  unsigned char* const p = reinterpret_cast<unsigned char*>(bytes);
  switch (code) {
    case tWin:
      return Raise<kWinRaised>(p, n);
    case tKoi:
      return Raise<kKoiRaised>(p, n);
    case tUtf8:
      return Raise<kAsciiRaised>(p, n);
    default:
      return Raise<kAltRaised>(p, n);
  }
}

int ByteOf(char32_t c, TCode code) { return Maps().Find(c, code); }

void AppendUpperUtf8(std::string_view text, std::string* out) {
  // а-п are D0 B0-BF, р-я D1 80-8F and ё D1 91; their capitals are D0 90-AF
  // and D0 81, so every letter keeps its length.
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = static_cast<std::uint8_t>(text[i]);
    const std::uint8_t next =
        i + 1 < n ? static_cast<std::uint8_t>(text[i + 1]) : 0;
    if (b == 0xD0 && next >= 0xB0 && next <= 0xBF) {
      out->push_back('\xD0');
      out->push_back(static_cast<char>(next - 0x20));
      ++i;
    } else if (b == 0xD1 && next >= 0x80 && next <= 0x8F) {
      out->push_back('\xD0');
      out->push_back(static_cast<char>(next + 0x20));
      ++i;
    } else if (b == 0xD1 && next == 0x91) {
      out->append("\xD0\x81");
      ++i;
    } else {
      out->push_back(static_cast<char>(kAsciiUpper[b]));
    }
  }
}

}  // namespace tabulon
