#ifndef TABULON_PLATFORM_WIN32_UTF16_WIN32_H_
#define TABULON_PLATFORM_WIN32_UTF16_WIN32_H_

#include <string>
#include <string_view>

namespace tabulon {

// The one pair of text conversions at the Windows boundary. Names are WTF-8
// inside: a lone surrogate in a UTF-16 name becomes its three-byte form, so
// every name the system returns converts back to the same UTF-16 and stays
// reachable.

// UTF-16 (possibly ill-formed) to WTF-8.
std::string Utf16ToUtf8(std::wstring_view text);

// WTF-8 to UTF-16. A byte that starts no valid sequence becomes U+FFFD.
std::wstring Utf8ToUtf16(std::string_view text);

}  // namespace tabulon

#endif  // TABULON_PLATFORM_WIN32_UTF16_WIN32_H_
