#include "platform/win32/utf16_win32.h"

#include <cstddef>
#include <cstdint>

#include "common/utf8.h"

// Written by hand rather than with WideCharToMultiByte, which turns a lone
// surrogate into U+FFFD and so loses the name.

namespace tabulon {
namespace {

bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendUtf16(char32_t c, std::wstring* out) {
  if (c < 0x10000) {
    out->push_back(static_cast<wchar_t>(c));
  } else {
    c -= 0x10000;
    out->push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
    out->push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
  }
}

// Decodes one WTF-8 sequence at text[*pos]: UTF-8 plus the three-byte forms
// of surrogates. Returns U+FFFD and moves by one byte on anything else.
char32_t DecodeWtf8(std::string_view text, std::size_t* pos) {
  const auto byte = [&](std::size_t i) {
    return static_cast<std::uint8_t>(text[i]);
  };
  const std::uint8_t lead = byte(*pos);
  int length = 0;
  char32_t c = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    ++*pos;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, c = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, c = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, c = lead & 0x07, min = 0x10000;
  } else {
    ++*pos;
    return 0xFFFD;
  }
  if (text.size() - *pos < static_cast<std::size_t>(length)) {
    ++*pos;
    return 0xFFFD;
  }
  for (int i = 1; i < length; ++i) {
    const std::uint8_t next = byte(*pos + i);
    if ((next & 0xC0) != 0x80) {
      ++*pos;
      return 0xFFFD;
    }
    c = (c << 6) | (next & 0x3F);
  }
  if (c < min || c > 0x10FFFF) {
    ++*pos;
    return 0xFFFD;
  }
  *pos += length;
  return c;
}

}  // namespace

std::string Utf16ToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = static_cast<char16_t>(text[i]);
    if (IsHighSurrogate(c) && i + 1 < text.size() &&
        IsLowSurrogate(static_cast<char16_t>(text[i + 1]))) {
      const char32_t low = static_cast<char16_t>(text[++i]);
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    }
    AppendUtf8(c, &out);
  }
  return out;
}

std::wstring Utf8ToUtf16(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) AppendUtf16(DecodeWtf8(text, &pos), &out);
  return out;
}

}  // namespace tabulon
