#ifndef TABULON_COMMON_CODE_PAGES_H_
#define TABULON_COMMON_CODE_PAGES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/types.h"

namespace tabulon {

// The code pages a name or a description may come in, in one place: the
// name order, the description lookup and the pages all read these.

// Code page 866 byte -> windows-1251 page byte. Box-drawing characters
// become look-alikes (blank, broken bar, plus, minus, low line).
extern const std::uint8_t AltToWin[256];
// KOI8-R byte -> windows-1251 page byte: the byte a name holding the same
// character shows (box drawing through AltToWin's look-alikes, © as its
// windows-1251 byte), a low line for a character neither code page has.
extern const std::uint8_t KoiToWin[256];

// The character each byte stands for; 0 where the code page has none
// (windows-1251 0x98).
extern const char16_t kCp866ToUnicode[256];
extern const char16_t kCp1251ToUnicode[256];
extern const char16_t kKoi8rToUnicode[256];

// The byte that stands for `c` in the code page, or -1 when it has none
// (always -1 above U+007F for tUtf8, which has no single byte for them).
int ByteOf(char32_t c, TCode code);

// Appends `bytes`, text in code page `code`, decoded as UTF-8. Every byte of
// 866 and KOI8-R is its own character (box drawing and symbols included);
// windows-1251 is read as browsers read it, so 0x98 is U+0098. tUtf8 text
// is copied, save that a byte that is not part of valid UTF-8 is taken as
// its code page 866 character, as in a name. Control bytes stay themselves.
void AppendUtf8Of(TCode code, std::string_view bytes, std::string* out);
// The same written at `to`, which has room for kMostUtf8PerByte bytes for
// each of `bytes` (a UTF-8 character takes no more than its own bytes, a
// byte of a code page at most three); returns the end.
constexpr std::size_t kMostUtf8PerByte = 3;
char* PutUtf8Of(TCode code, std::string_view bytes, char* to);

}  // namespace tabulon

#endif  // TABULON_COMMON_CODE_PAGES_H_
