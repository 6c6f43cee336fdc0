#ifndef TABULON_COMMON_UNICODE_UPPER_H_
#define TABULON_COMMON_UNICODE_UPPER_H_

#include <cstdint>
#include <cstring>

namespace tabulon {

// The simple uppercase mapping of the Basic Multilingual Plane, generated
// from UnicodeData.txt by scripts/generate-unicode-upper.py: the units in
// blocks of 64, each block the index of a row of differences.
extern const std::uint8_t kUpperBlock[1024];
extern const std::int16_t kUpperDelta[][64];

// The simple uppercase mapping of one UTF-16 code unit; the unit itself
// where there is none (surrogates, capitals, signs).
inline char16_t UpperOf(char16_t unit) {
  return static_cast<char16_t>(unit +
                               kUpperDelta[kUpperBlock[unit >> 6]][unit & 63]);
}

// Eight bytes of `from` with a-z raised into `to` (which may be `from`),
// where all eight are ASCII and none is NUL, as names mostly are; false,
// with nothing written, otherwise. A byte's high bit is set below where it
// is at least 'a' and not past 'z', and no sum carries into the next byte.
inline bool UpperAsciiEight(const char* from, char* to) {
  constexpr std::uint64_t kEach = 0x0101010101010101;
  constexpr std::uint64_t kHighBits = 0x80 * kEach;
  std::uint64_t bytes;
  std::memcpy(&bytes, from, sizeof bytes);
  if ((bytes & kHighBits) != 0 || ((bytes - kEach) & kHighBits) != 0) {
    return false;
  }
  const std::uint64_t lower = (bytes + kEach * (0x80 - 'a')) &
                              ~(bytes + kEach * (0x80 - 'z' - 1)) & kHighBits;
  bytes -= lower >> 2;  // 0x80 >> 2 is the distance from 'a' to 'A'
  std::memcpy(to, &bytes, sizeof bytes);
  return true;
}

}  // namespace tabulon

#endif  // TABULON_COMMON_UNICODE_UPPER_H_
