#include "common/utf8.h"

namespace tabulon {

bool DecodeUtf8(std::string_view s, std::size_t* pos, char32_t* c) {
  const std::size_t i = *pos;
  const unsigned char b0 = static_cast<unsigned char>(s[i]);
  *c = b0;
  ++*pos;
  if (b0 < 0x80) return true;
  int extra;
  char32_t value;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    extra = 1, value = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    extra = 2, value = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    extra = 3, value = b0 & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (s.size() - i <= static_cast<std::size_t>(extra)) return false;
  for (int k = 1; k <= extra; ++k) {
    const unsigned char b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return false;
    value = (value << 6) | (b & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return false;
  }
  *c = value;
  *pos = i + 1 + extra;
  return true;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool HidesOrReorders(char32_t c) {
  return c == 0x00AD || c == 0x061C || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x202A && c <= 0x202E) || c == 0x2060 ||
         (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

}  // namespace tabulon
