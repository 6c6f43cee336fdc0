#include "common/spare_blocks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "common/per_thread.h"

namespace tabulon {
namespace {

constexpr char kNotKept[] = "this toolchain keeps nothing per thread";

TEST(SpareBlocksTest, AThreadGetsBackTheBlocksItLetGo) {
  if (!TABULON_KEEP_PER_THREAD) GTEST_SKIP() << kNotKept;
  char* first;
  char* second;
  {
    SpareBlock a = TakeSpareBlock();
    SpareBlock b = TakeSpareBlock();
    first = a.get();
    second = b.get();
    // The whole block is writable.
    std::memset(a.get(), 'x', kSpareBlock);
    std::memset(b.get(), 'y', kSpareBlock);
  }
  // Kept last, given first.
  SpareBlock again = TakeSpareBlock();
  EXPECT_EQ(again.get(), first);
  SpareBlock next = TakeSpareBlock();
  EXPECT_EQ(next.get(), second);
}

TEST(SpareBlocksTest, BlocksKeptByOneThreadAreNotGivenToAnother) {
  if (!TABULON_KEEP_PER_THREAD) GTEST_SKIP() << kNotKept;
  char* kept;
  {
    SpareBlock block = TakeSpareBlock();
    kept = block.get();
  }
  char* other = nullptr;
  // The other thread lets its block go as it ends: freed then, which the
  // leak checker of the sanitized builds would report otherwise.
  std::thread([&other] {
    SpareBlock block = TakeSpareBlock();
    other = block.get();
    std::memset(block.get(), 0, kSpareBlock);
  }).join();
  EXPECT_NE(other, kept);
  SpareBlock mine = TakeSpareBlock();
  EXPECT_EQ(mine.get(), kept);
}

TEST(SpareBlocksTest, AThreadKeepsOnlyAFewBlocks) {
  if (!TABULON_KEEP_PER_THREAD) GTEST_SKIP() << kNotKept;
  // More blocks let go than are kept: the rest are freed (the sanitized
  // builds check it), and those taken back are all different.
  std::thread([] {
    char* taken[8];
    {
      SpareBlock blocks[8];
      for (int i = 0; i < 8; ++i) {
        blocks[i] = TakeSpareBlock();
        taken[i] = blocks[i].get();
      }
    }
    SpareBlock a = TakeSpareBlock();
    SpareBlock b = TakeSpareBlock();
    SpareBlock c = TakeSpareBlock();
    EXPECT_NE(a.get(), b.get());
    EXPECT_NE(b.get(), c.get());
    EXPECT_NE(a.get(), c.get());
    // Blocks are let go in reverse order of their making: the first three
    // let go (the last three made) are the ones kept.
    EXPECT_EQ(a.get(), taken[5]);
    EXPECT_EQ(b.get(), taken[6]);
    EXPECT_EQ(c.get(), taken[7]);
  }).join();
}

}  // namespace
}  // namespace tabulon
