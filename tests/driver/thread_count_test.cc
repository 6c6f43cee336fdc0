#include "driver/thread_count.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tabulon {
namespace {

// Each case: a watch begun at 1000 ms, 500 ms of processor time and 70
// storage reads, looked at again `elapsed_ms` later on two processors.
TEST(ThreadCountTest, GrowsOnlyWhenWorkWaitsOnTheSystem) {
  constexpr std::optional<std::uint64_t> kUntold;
  const struct {
    const char* what;
    int limit, most;
    std::uint64_t elapsed_ms, busy_ms;
    std::optional<std::uint64_t> reads_since;  // kUntold: not told
    bool went_idle, work_waits;
    int expected;
    bool watch_anew;
  } cases[] = {
      {"waiting: doubles", 2, 16, 10, 0, kUntold, false, true, 4, true},
      {"under half of the processors", 2, 16, 10, 9, kUntold, false, true, 4,
       true},
      {"half of them busy", 2, 16, 10, 10, kUntold, false, true, 2, true},
      {"a doubling stops at the most", 4, 5, 10, 0, kUntold, false, true, 5,
       true},
      {"one thread, mostly waiting", 1, 8, 50, 20, kUntold, false, true, 2,
       true},
      {"one thread, busy most of the time", 1, 8, 50, 30, kUntold, false, true,
       1, true},
      // Three threads keep no more than the two processors busy.
      {"three threads, half busy", 3, 8, 10, 10, kUntold, false, true, 3, true},
      {"too soon to tell", 2, 16, 9, 0, kUntold, false, true, 2, false},
      {"at the most already", 16, 16, 10, 0, kUntold, false, true, 16, false},
      {"no work waits", 2, 16, 10, 0, kUntold, false, false, 2, false},
      // Its own threads went without work: they wait for work, not on the
      // system, however idle the processors.
      {"idle threads", 2, 16, 10, 0, kUntold, true, true, 2, true},
      {"idle threads, disk read", 2, 16, 10, 20, 8, true, true, 2, true},
      {"busy, a disk read", 2, 64, 10, 20, 8, false, true, 4, true},
      {"busy, from the cache", 2, 64, 10, 20, 0, false, true, 2, true},
      {"busy, as many as a disk keeps waiting", 16, 64, 10, 20, 8, false, true,
       16, true},
      {"busy, a disk read, up to what it keeps", 12, 64, 10, 20, 8, false, true,
       16, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ThreadSamples s;
    s.since = {1000, 500, 70};
    s.now = {1000 + c.elapsed_ms, 500 + c.busy_ms,
             c.reads_since ? std::optional<std::uint64_t>(70 + *c.reads_since)
                           : kUntold};
    if (!c.reads_since) s.since.storage_reads = kUntold;
    s.processors = 2;
    s.limit = c.limit;
    s.most = c.most;
    s.went_idle = c.went_idle;
    s.work_waits = c.work_waits;
    const ThreadCount count = NextThreadCount(s);
    EXPECT_EQ(count.limit, c.expected);
    EXPECT_EQ(count.watch_anew, c.watch_anew);
  }
}

}  // namespace
}  // namespace tabulon
