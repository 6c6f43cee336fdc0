#ifndef TABULON_DESCRIPTIONS_CODE_PAGES_H_
#define TABULON_DESCRIPTIONS_CODE_PAGES_H_

#include <cstdint>

#include "common/types.h"

namespace tabulon {

// Code page 866 byte -> windows-1251 byte. Box-drawing characters become
// look-alikes (blank, broken bar, plus, minus, low line).
extern const std::uint8_t AltToWin[256];
// KOI8-R byte -> windows-1251 byte, with the same look-alikes.
extern const std::uint8_t KoiToWin[256];

// The character each byte stands for; 0 where the code page has none
// (windows-1251 0x98).
extern const char16_t kCp866ToUnicode[256];
extern const char16_t kCp1251ToUnicode[256];
extern const char16_t kKoi8rToUnicode[256];

// Upper-case tables: a-z and the 33 Russian letters (with Ё) raised, every
// other byte unchanged.
extern const std::uint8_t kCp866Upper[256];
extern const std::uint8_t kCp1251Upper[256];
extern const std::uint8_t kKoi8rUpper[256];

// The table of characters for a description file's code page.
const char16_t* CharactersOf(TCode code);
// The upper-case table of a description file's code page.
const std::uint8_t* UpperCaseOf(TCode code);
// The byte that stands for `c` in the code page, or -1 when it has none.
int ByteOf(char32_t c, TCode code);

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_CODE_PAGES_H_
