#ifndef TABULON_FUZZ_FUZZ_CHECK_H_
#define TABULON_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: abort so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                              \
  do {                                                                     \
    if (!(condition)) {                                                    \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                            \
      std::abort();                                                        \
    }                                                                      \
  } while (0)

#endif  // TABULON_FUZZ_FUZZ_CHECK_H_
