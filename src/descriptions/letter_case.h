#ifndef TABULON_DESCRIPTIONS_LETTER_CASE_H_
#define TABULON_DESCRIPTIONS_LETTER_CASE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/types.h"

namespace tabulon {

// Upper-case tables: a-z and the 33 Russian letters (with Ё) raised, every
// other byte unchanged.
extern const std::uint8_t kCp866Upper[256];
extern const std::uint8_t kCp1251Upper[256];
extern const std::uint8_t kKoi8rUpper[256];

// The upper-case table of a description file's code page. For tUtf8 only
// a-z are raised: its Russian letters take AppendUpperUtf8.
const std::uint8_t* UpperCaseOf(TCode code);
// Upper-cases `n` bytes in place as UpperCaseOf(code) would, by ranges the
// compiler turns into vector code rather than a lookup per byte.
void UpperCaseInPlace(TCode code, char* bytes, std::size_t n);

// Appends UTF-8 `text` with a-z and the 33 Russian letters (Ё included)
// raised; every other byte, invalid ones too, is kept. The result is as long
// as `text`, since each of those letters keeps its two-byte length.
void AppendUpperUtf8(std::string_view text, std::string* out);

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_LETTER_CASE_H_
