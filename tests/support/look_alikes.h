#ifndef TABULON_TESTS_SUPPORT_LOOK_ALIKES_H_
#define TABULON_TESTS_SUPPORT_LOOK_ALIKES_H_

// The page byte of a code page 866 byte, worked out from the character it
// stands for rather than read from the program's tables: the character's
// windows-1251 byte, or a look-alike drawn from its shape.

namespace tabulon::testing {

// The page byte for a character windows-1251 lacks. Shades are a blank; a
// box-drawing line goes by its arms: across, or a T pointing up or down, "-";
// upright, or a T pointing sideways, a broken bar; corners and crosses "+".
// Anything else (blocks, symbols) is a low line.
constexpr int LookAlikeOf(char32_t c) {
  if (c >= 0x2591 && c <= 0x2593) return 0x20;
  enum : int { kUp = 1, kDown = 2, kLeft = 4, kRight = 8 };
  constexpr int kAcross = kLeft | kRight;
  constexpr int kUpright = kUp | kDown;
  // The block lists each shape in a run of its weights (light, heavy;
  // single, double), so a shape holds from its first character to the next.
  constexpr struct {
    char32_t from;
    int arms;
  } kShapes[] = {{0x2500, kAcross},
                 {0x2502, kUpright},
                 {0x2504, 0},
                 {0x250C, kDown | kRight},
                 {0x2510, kDown | kLeft},
                 {0x2514, kUp | kRight},
                 {0x2518, kUp | kLeft},
                 {0x251C, kUpright | kRight},
                 {0x2524, kUpright | kLeft},
                 {0x252C, kDown | kAcross},
                 {0x2534, kUp | kAcross},
                 {0x253C, kUpright | kAcross},
                 {0x254C, 0},
                 {0x2550, kAcross},
                 {0x2551, kUpright},
                 {0x2552, kDown | kRight},
                 {0x2555, kDown | kLeft},
                 {0x2558, kUp | kRight},
                 {0x255B, kUp | kLeft},
                 {0x255E, kUpright | kRight},
                 {0x2561, kUpright | kLeft},
                 {0x2564, kDown | kAcross},
                 {0x2567, kUp | kAcross},
                 {0x256A, kUpright | kAcross},
                 {0x256D, 0}};
  int arms = 0;
  for (const auto& shape : kShapes) {
    if (c >= shape.from) arms = shape.arms;
  }
  const bool across = (arms & kAcross) == kAcross;
  const bool upright = (arms & kUpright) == kUpright;
  if (across != upright) return across ? 0x2D : 0xA6;
  return arms != 0 ? 0x2B : 0x5F;
}

// The 866 bytes whose page byte is not what the rule gives.
inline constexpr struct {
  int byte;
  int page;
} kAltToWinExceptions[] = {
    {0xC3, 0x2B},  // ├ drawn as a corner, though its mirror ┤ is a broken bar
    {0xF9, 0xB7},  // ∙ looks like · (FA), so it takes the middle dot too
    {0xFF, 0x5F},  // no-break space: a low line that shows, not a blank A0
};

// The page byte of 866 byte `b`, which stands for `c`, whose windows-1251
// byte is `win` (-1 when windows-1251 lacks it).
constexpr int AltPageByte(int b, char32_t c, int win) {
  for (const auto& exception : kAltToWinExceptions) {
    if (exception.byte == b) return exception.page;
  }
  return win >= 0 ? win : LookAlikeOf(c);
}

}  // namespace tabulon::testing

#endif  // TABULON_TESTS_SUPPORT_LOOK_ALIKES_H_
