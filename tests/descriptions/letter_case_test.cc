#include "descriptions/letter_case.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "support/code_page_characters.h"

namespace tabulon {
namespace {

// The upper case of each byte of `code`, from the characters the bytes
// stand for: a-z and the 33 Russian letters raised, nothing else. UTF-8 has
// no single byte for a Russian letter, so only a-z there.
std::array<int, 256> ExpectedUpperCase(TCode code) {
  const char16_t* const high = code == tAlt   ? testing::kCp866High
                               : code == tWin ? testing::kCp1251High
                               : code == tKoi ? testing::kKoi8rHigh
                                              : nullptr;
  std::array<int, 256> upper;
  for (int b = 0; b < 256; ++b) {
    upper[b] = b >= 'a' && b <= 'z' ? b - 0x20 : b;
    if (b < 0x80 || high == nullptr) continue;
    const char16_t c = high[b - 0x80];
    if ((c < u'\u0430' || c > u'\u044F') && c != u'\u0451') continue;
    const char16_t raised = c == u'\u0451' ? u'\u0401' : c - 0x20;
    // 0x100, which no byte matches, if the code page lacked the capital.
    upper[b] =
        0x80 + static_cast<int>(std::find(high, high + 128, raised) - high);
  }
  return upper;
}

TEST(LetterCaseTest, RaisesExactlyLatinAndRussianLetters) {
  for (TCode code : {tAlt, tWin, tKoi, tUtf8}) {
    SCOPED_TRACE("code " + std::to_string(int{code}));
    const std::array<int, 256> expected = ExpectedUpperCase(code);
    const std::uint8_t* upper = UpperCaseOf(code);
    for (int b = 0; b < 256; ++b) EXPECT_EQ(upper[b], expected[b]) << b;
    // Every byte, at every offset of a run long enough for vector code.
    std::string bytes;
    for (int round = 0; round < 3; ++round) {
      for (int b = 0; b < 256; ++b)
        bytes.push_back(static_cast<char>(b + round));
    }
    std::string raised = bytes;
    UpperCaseInPlace(code, raised.data(), raised.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      EXPECT_EQ(static_cast<std::uint8_t>(raised[i]),
                expected[static_cast<std::uint8_t>(bytes[i])])
          << "at " << i;
    }
  }
}

}  // namespace
}  // namespace tabulon
