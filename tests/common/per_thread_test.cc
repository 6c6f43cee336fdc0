#include "common/per_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace tabulon {
namespace {

// Counts the objects made, on any thread.
struct Counted {
  Counted() { ++made; }
  static inline std::atomic<int> made{0};
  int uses = 0;
};
using KeptCounted = KeptPerThread<Counted>;
[[maybe_unused]] const bool kCountedReadied =
    AddPerThreadReady(&KeptCounted::Ready);

TEST(PerThreadTest, ReadyingMakesAThreadsKeptObjectsBeforeTheirFirstUse) {
  if (!TABULON_KEEP_PER_THREAD) {
    GTEST_SKIP() << "this toolchain keeps nothing per thread";
  }
  for (int thread = 0; thread < 2; ++thread) {
    std::thread([] {
      const int before = Counted::made;
      ReadyPerThread();
      // Made now, where there is memory to register it, and only once.
      EXPECT_EQ(Counted::made, before + 1);
      KeptCounted first;
      // The thread's own: the one before used it on another thread.
      EXPECT_EQ(first->uses, 0);
      ++first->uses;
      KeptCounted second;
      EXPECT_EQ(second->uses, 1);
      EXPECT_EQ(Counted::made, before + 1);
    }).join();
  }
}

}  // namespace
}  // namespace tabulon
