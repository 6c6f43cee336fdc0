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
    if (c > 0xFFFF) return -1;
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

}  // namespace

const char16_t* CharactersOf(TCode code) {
  switch (code) {
    case tWin: return kCp1251ToUnicode;
    case tKoi: return kKoi8rToUnicode;
    default: return kCp866ToUnicode;
  }
}

const std::uint8_t* UpperCaseOf(TCode code) {
  switch (code) {
    case tWin: return kCp1251Upper;
    case tKoi: return kKoi8rUpper;
    default: return kCp866Upper;
  }
}

int ByteOf(char32_t c, TCode code) { return Maps().Find(c, code); }

}  // namespace tabulon
