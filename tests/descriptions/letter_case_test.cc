#include "descriptions/letter_case.h"

#include <gtest/gtest.h>

#include <string>

#include "common/code_pages.h"

namespace tabulon {
namespace {

TEST(LetterCaseTest, RaisingInPlaceGivesTheUpperCaseTable) {
  for (TCode code : {tAlt, tWin, tKoi, tUtf8}) {
    // Every byte, at every offset of a run long enough for vector code.
    std::string bytes;
    for (int round = 0; round < 3; ++round) {
      for (int b = 0; b < 256; ++b)
        bytes.push_back(static_cast<char>(b + round));
    }
    std::string raised = bytes;
    UpperCaseInPlace(code, raised.data(), raised.size());
    const std::uint8_t* upper = UpperCaseOf(code);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      EXPECT_EQ(static_cast<std::uint8_t>(raised[i]),
                upper[static_cast<std::uint8_t>(bytes[i])])
          << int{code} << " at " << i;
    }
  }
}

TEST(LetterCaseTest, UpperCaseRaisesExactlyLatinAndRussianLetters) {
  for (TCode code : {tAlt, tWin, tKoi}) {
    const char16_t* chars = CharactersOf(code);
    const std::uint8_t* upper = UpperCaseOf(code);
    int raised = 0;
    for (int b = 0; b < 256; ++b) {
      const char32_t c = chars[b];
      const bool letter = (c >= U'a' && c <= U'z') ||
                          (c >= U'\u0430' && c <= U'\u044F') || c == U'\u0451';
      if (!letter) {
        EXPECT_EQ(upper[b], b);
        continue;
      }
      ++raised;
      const char32_t expected = c == U'\u0451' ? U'\u0401' : c - 0x20;
      EXPECT_EQ(static_cast<char32_t>(chars[upper[b]]), expected)
          << "byte " << b;
    }
    EXPECT_EQ(raised, 26 + 33);
  }
}

}  // namespace
}  // namespace tabulon
