#ifndef TABULON_COMMON_UTF8_H_
#define TABULON_COMMON_UTF8_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace tabulon {

// Decodes the character at s[*pos] strictly: no overlong forms, no
// surrogates, nothing above U+10FFFF. On success stores it in *c, moves *pos
// past it and returns true; on an invalid byte stores that byte in *c, moves
// *pos by one and returns false.
bool DecodeUtf8(std::string_view s, std::size_t* pos, char32_t* c);

// Appends the UTF-8 form of `c` (at most U+10FFFF). A surrogate gets its
// three-byte form, which lets Windows names with lone surrogates round-trip.
void AppendUtf8(char32_t c, std::string* out);

// Whether `c` reorders the text around it or shows as nothing: the
// bidirectional controls, the zero-width characters and the soft hyphen. A
// name holding one would read as another name.
bool HidesOrReorders(char32_t c);

}  // namespace tabulon

#endif  // TABULON_COMMON_UTF8_H_
