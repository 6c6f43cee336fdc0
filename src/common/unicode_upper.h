#ifndef TABULON_COMMON_UNICODE_UPPER_H_
#define TABULON_COMMON_UNICODE_UPPER_H_

#include <cstdint>

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

}  // namespace tabulon

#endif  // TABULON_COMMON_UNICODE_UPPER_H_
