#ifndef TABULON_DESCRIPTIONS_CODE_PAGES_H_
#define TABULON_DESCRIPTIONS_CODE_PAGES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// The table of characters for a description file's code page (code page
// 866 for tUtf8, whose bytes stand for no character on their own).
const char16_t* CharactersOf(TCode code);
// The upper-case table of a description file's code page. For tUtf8 only
// a-z are raised: its Russian letters take AppendUpperUtf8.
const std::uint8_t* UpperCaseOf(TCode code);
// Upper-cases `n` bytes in place as UpperCaseOf(code) would, by ranges the
// compiler turns into vector code rather than a lookup per byte.
void UpperCaseInPlace(TCode code, char* bytes, std::size_t n);
// The byte that stands for `c` in the code page, or -1 when it has none
// (always -1 above U+007F for tUtf8, which has no single byte for them).
int ByteOf(char32_t c, TCode code);

// Appends UTF-8 `text` with a-z and the 33 Russian letters (Ё included)
// raised; every other byte, invalid ones too, is kept. The result is as long
// as `text`, since each of those letters keeps its two-byte length.
void AppendUpperUtf8(std::string_view text, std::string* out);

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_CODE_PAGES_H_
