#ifndef TABULON_FUZZ_FUZZ_CHECK_H_
#define TABULON_FUZZ_FUZZ_CHECK_H_

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// A broken invariant is a finding: abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                               \
  do {                                                                      \
    if (!(condition)) {                                                     \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                             \
      std::abort();                                                         \
    }                                                                       \
  } while (0)

// `input` with each byte 0x1F replaced by 700 copies of the byte before it
// (an "x" at the start), up to 64 KiB in all: short inputs then reach the
// lengths where lines and records are cut.
inline std::string Stretch(std::string_view input) {
  constexpr std::size_t kCopies = 700;
  constexpr std::size_t kMax = std::size_t{1} << 16;
  std::string out;
  for (const char c : input) {
    if (c == '\x1F' && out.size() + kCopies <= kMax) {
      out.append(kCopies, out.empty() ? 'x' : out.back());
    } else {
      out.push_back(c);
    }
  }
  return out;
}

#endif  // TABULON_FUZZ_FUZZ_CHECK_H_
