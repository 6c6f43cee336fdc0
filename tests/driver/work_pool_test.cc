#include "driver/work_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fake_platform.h"

namespace tabulon {
namespace {

constexpr int kThreadCounts[] = {1, 2, 8, 32};

// A short pause of a length that `seed` picks, so that pieces finish in
// orders of their own: up to `most` microseconds.
void Pause(std::size_t seed, int most = 200) {
  std::mt19937 random(static_cast<std::uint32_t>(seed));
  std::this_thread::sleep_for(std::chrono::microseconds(random() % most));
}

TEST(WorkPoolTest, ForEachCallsEveryPieceOnceOrStopsAtAThrow) {
  const struct {
    std::size_t count;
    long failing;  // the piece that throws, or -1
  } cases[] = {{0, -1}, {1, -1}, {3, -1}, {500, -1},
               {1, 0},  {7, 0},  {7, 6},  {500, 250}};
  for (const int threads : kThreadCounts) {
    WorkPool pool(threads);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::to_string(threads) + " threads, " +
                   std::to_string(c.count) + " pieces, failing " +
                   std::to_string(c.failing));
      std::vector<std::atomic<int>> calls(c.count);
      std::atomic<int> running = 0;
      std::string thrown;
      try {
        pool.ForEach(c.count, [&](std::size_t i) {
          ++running;
          Pause(i, 50);
          ++calls[i];
          --running;
          if (static_cast<long>(i) == c.failing) {
            throw std::runtime_error("piece " + std::to_string(i));
          }
        });
      } catch (const std::runtime_error& e) {
        thrown = e.what();
      }
      // Returned (or thrown) only once nothing runs any more.
      EXPECT_EQ(running, 0);
      EXPECT_EQ(thrown,
                c.failing < 0 ? "" : "piece " + std::to_string(c.failing));
      // Once a piece throws, those not begun may be left out.
      for (std::size_t i = 0; i < c.count; ++i) {
        if (c.failing < 0 || static_cast<long>(i) == c.failing) {
          EXPECT_EQ(calls[i], 1) << i;
        } else {
          EXPECT_LE(calls[i], 1) << i;
        }
      }
    }
  }
}

TEST(WorkPoolTest, ForEachInOrderHandsOnInOrderOneAtATime) {
  const struct {
    std::size_t count;
    long failing_make;     // -1: none
    long failing_hand_on;  // -1: none
  } cases[] = {{0, -1, -1},  {1, -1, -1}, {64, -1, -1}, {64, 0, -1},
               {64, 40, -1}, {64, -1, 0}, {64, -1, 63}, {64, 63, -1}};
  for (const int threads : kThreadCounts) {
    WorkPool pool(threads);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::to_string(threads) + " threads, " +
                   std::to_string(c.count) + " pieces, failing " +
                   std::to_string(c.failing_make) + " " +
                   std::to_string(c.failing_hand_on));
      std::vector<std::atomic<int>> made(c.count);
      std::vector<std::size_t> handed_on;  // only one hand_on at a time
      std::atomic<int> handing_on = 0;
      bool threw = false;
      try {
        pool.ForEachInOrder(
            c.count,
            [&](std::size_t i) {
              Pause(i * 7919, 300);
              if (static_cast<long>(i) == c.failing_make) {
                throw std::runtime_error("make");
              }
              made[i] = 1;
            },
            [&](std::size_t i) {
              EXPECT_EQ(++handing_on, 1);
              EXPECT_EQ(made[i], 1) << i;
              handed_on.push_back(i);
              Pause(i, 30);
              --handing_on;
              if (static_cast<long>(i) == c.failing_hand_on) {
                throw std::runtime_error("hand on");
              }
            });
      } catch (const std::runtime_error&) {
        threw = true;
      }
      EXPECT_EQ(threw, c.failing_make >= 0 || c.failing_hand_on >= 0);
      // A prefix, in order, that stops before a piece not made and after a
      // hand_on that threw.
      for (std::size_t i = 0; i < handed_on.size(); ++i) {
        ASSERT_EQ(handed_on[i], i);
      }
      std::size_t expected = c.count;
      if (c.failing_hand_on >= 0) expected = c.failing_hand_on + 1;
      if (c.failing_make >= 0) {
        EXPECT_LE(handed_on.size(), static_cast<std::size_t>(c.failing_make));
      } else {
        EXPECT_EQ(handed_on.size(), expected);
      }
    }
  }
}

TEST(WorkPoolTest, WhileProducingRunsTheFirstTasksBesideTheProducer) {
  const struct {
    int threads;
    std::size_t helpers;
    std::size_t tasks;
    long failing_task;  // -1: none
    bool producer_fails;
  } cases[] = {
      {1, 4, 20, -1, false},  // no other thread: no task runs
      {2, 1, 20, -1, false}, {8, 3, 200, -1, false},  {8, 0, 20, -1, false},
      {8, 3, 200, 0, false}, {8, 3, 200, 199, false}, {4, 2, 50, -1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.threads) + " threads, " +
                 std::to_string(c.helpers) + " helpers");
    WorkPool pool(c.threads);
    std::vector<std::atomic<int>> ran(c.tasks);
    std::atomic<int> at_once = 0, most_at_once = 0, begun = 0;
    const std::thread::id caller = std::this_thread::get_id();
    std::size_t returned = 0;
    std::string thrown;
    try {
      returned = pool.WhileProducing(c.helpers, [&](WorkFeed& feed) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        for (std::size_t i = 0; i < c.tasks; ++i) {
          feed.Add([&, i] {
            ++begun;
            const int now = ++at_once;
            int most = most_at_once;
            while (now > most &&
                   !most_at_once.compare_exchange_weak(most, now)) {
            }
            Pause(i, 100);
            ran[i] = 1;
            --at_once;
            if (static_cast<long>(i) == c.failing_task) {
              throw std::runtime_error("task");
            }
          });
        }
        // Gives the helpers a chance: a pool with threads to spare begins
        // every task before the producer is done (a bound, not a timing:
        // threads may be slow to start).
        if (c.threads > 1 && c.helpers > 0) {
          const auto give_up =
              std::chrono::steady_clock::now() + std::chrono::seconds(20);
          while (begun < static_cast<int>(c.tasks) &&
                 std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        }
        if (c.producer_fails) throw std::runtime_error("producer");
      });
    } catch (const std::runtime_error& e) {
      thrown = e.what();
    }
    EXPECT_EQ(at_once, 0);
    EXPECT_LE(most_at_once, static_cast<int>(c.helpers));
    if (c.producer_fails) {
      EXPECT_EQ(thrown, "producer");
    } else if (c.failing_task >= 0) {
      EXPECT_EQ(thrown, "task");
    } else {
      EXPECT_EQ(thrown, "");
      const bool helped = c.threads > 1 && c.helpers > 0;
      EXPECT_EQ(returned, helped ? c.tasks : 0u);
    }
    // Those that ran are the first ones, as many as were begun.
    std::size_t first_not_run = 0;
    while (first_not_run < c.tasks && ran[first_not_run]) ++first_not_run;
    for (std::size_t i = first_not_run; i < c.tasks; ++i) EXPECT_EQ(ran[i], 0);
    EXPECT_EQ(static_cast<int>(first_not_run), begun.load());
    if (thrown.empty()) {
      EXPECT_EQ(returned, first_not_run);
    }
  }
}

// A tree of items from a seed: item n has followers while the tree is not
// yet `size` large. Records the order of hand-on and how far making ran
// ahead of it.
struct TreeRun {
  std::size_t size;
  std::uint32_t seed;
  long failing = -1;  // the item whose Make throws
  WorkPool* pool = nullptr;
  std::atomic<std::size_t> made_so_far = 0;
  std::atomic<std::size_t> handed_on_so_far = 0;
  std::atomic<std::size_t> most_ahead = 0;
  std::atomic<int> making = 0;
  std::atomic<int> alive = 0;
};

// The followers of item `id` in a tree of `size` items: a pure function of
// both, so the test knows the whole tree without running the pool.
std::vector<std::size_t> FollowersOf(std::size_t id, std::size_t size,
                                     std::uint32_t seed) {
  // Item id has children 3id+1 .. 3id+k below `size`, k from the seed:
  // shapes from chains to wide fans.
  std::mt19937 random(seed + static_cast<std::uint32_t>(id));
  const std::size_t k = random() % 4;
  std::vector<std::size_t> followers;
  for (std::size_t j = 1; j <= k; ++j) {
    if (3 * id + j < size) followers.push_back(3 * id + j);
  }
  return followers;
}

class TestItem final : public WorkPool::Item {
 public:
  TestItem(TreeRun* run, std::size_t id) : run_(run), id_(id) { ++run->alive; }
  ~TestItem() override { --run_->alive; }
  Made Make(int thread) override {
    EXPECT_GE(thread, 0);
    EXPECT_LT(thread, run_->pool->threads());
    ++run_->making;
    const std::size_t ahead = ++run_->made_so_far - run_->handed_on_so_far;
    std::size_t most = run_->most_ahead;
    while (ahead > most &&
           !run_->most_ahead.compare_exchange_weak(most, ahead)) {
    }
    Pause(id_ * 31 + run_->seed, 100);
    // Items make pieces of their own, as a large directory does.
    if (id_ % 5 == 0) {
      std::atomic<int> pieces = 0;
      run_->pool->ForEach(8, [&](std::size_t) { ++pieces; });
      EXPECT_EQ(pieces, 8);
    }
    --run_->making;
    if (static_cast<long>(id_) == run_->failing)
      throw std::runtime_error("make");
    Made made;
    for (const std::size_t f : FollowersOf(id_, run_->size, run_->seed)) {
      made.followers.push_back(std::make_unique<TestItem>(run_, f));
    }
    made.bytes = 1;
    return made;
  }
  std::size_t id() const { return id_; }

 private:
  TreeRun* run_;
  std::size_t id_;
};

void PreOrder(std::size_t id, std::size_t size, std::uint32_t seed,
              std::vector<std::size_t>* order) {
  order->push_back(id);
  for (const std::size_t f : FollowersOf(id, size, seed)) {
    PreOrder(f, size, seed, order);
  }
}

TEST(WorkPoolTest, RunInOrderHandsOnInPreOrderWithinTheBudget) {
  const struct {
    std::size_t size;
    std::uint32_t seed;
    WorkPool::Budget budget;
  } cases[] = {
      {1, 1, {}},          {200, 1, {}},       {400, 2, {2, 1000}},
      {400, 3, {1, 1000}}, {400, 4, {100, 3}}, {1000, 5, {16, 1000}},
  };
  for (const int threads : kThreadCounts) {
    WorkPool pool(threads);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::to_string(threads) + " threads, seed " +
                   std::to_string(c.seed));
      TreeRun run{c.size, c.seed};
      run.pool = &pool;
      std::vector<std::size_t> handed_on;
      pool.RunInOrder(std::make_unique<TestItem>(&run, 0), c.budget,
                      [&](WorkPool::Item& item) {
                        handed_on.push_back(static_cast<TestItem&>(item).id());
                        ++run.handed_on_so_far;
                      });
      std::vector<std::size_t> expected;
      PreOrder(0, c.size, c.seed, &expected);
      EXPECT_EQ(handed_on, expected);
      // The one handed on next may pass the budget: one more at most. The
      // bytes are those of items made, not of those being made.
      EXPECT_LE(run.most_ahead,
                std::min(c.budget.items,
                         c.budget.bytes + static_cast<std::size_t>(threads)) +
                    1);
      EXPECT_EQ(run.alive, 0);
    }
  }
}

TEST(WorkPoolTest, RunInOrderThrowsOnceNoItemIsMadeAnyMore) {
  constexpr std::size_t kSize = 3000;
  constexpr std::uint32_t kSeed = 7;
  std::vector<std::size_t> pre_order;
  PreOrder(0, kSize, kSeed, &pre_order);
  ASSERT_GT(pre_order.size(), 100u);
  // Positions in the hand-on order of the item whose Make throws, or of
  // the hand_on that throws.
  const struct {
    long failing_make;
    long failing_hand_on;
  } cases[] = {{0, -1}, {1, -1}, {60, -1}, {-1, 0}, {-1, 50}};
  for (const int threads : kThreadCounts) {
    WorkPool pool(threads);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::to_string(threads) + " threads, failing " +
                   std::to_string(c.failing_make) + " " +
                   std::to_string(c.failing_hand_on));
      TreeRun run{kSize, kSeed};
      if (c.failing_make >= 0) {
        run.failing = static_cast<long>(pre_order[c.failing_make]);
      }
      run.pool = &pool;
      std::vector<std::size_t> handed_on;
      std::string thrown;
      try {
        pool.RunInOrder(
            std::make_unique<TestItem>(&run, 0), {}, [&](WorkPool::Item& item) {
              if (static_cast<long>(handed_on.size()) == c.failing_hand_on) {
                throw std::runtime_error("hand on");
              }
              handed_on.push_back(static_cast<TestItem&>(item).id());
            });
      } catch (const std::runtime_error& e) {
        thrown = e.what();
        EXPECT_EQ(run.making, 0);
      }
      EXPECT_EQ(thrown, c.failing_make >= 0 ? "make" : "hand on");
      // A prefix of the order, short of the item that failed.
      const long stop =
          c.failing_make >= 0 ? c.failing_make : c.failing_hand_on;
      ASSERT_LE(handed_on.size(), static_cast<std::size_t>(stop));
      if (c.failing_hand_on >= 0) {
        EXPECT_EQ(handed_on.size(), static_cast<std::size_t>(stop));
      }
      EXPECT_TRUE(
          std::equal(handed_on.begin(), handed_on.end(), pre_order.begin()));
      EXPECT_EQ(run.alive, 0);
      // The pool serves another run after a failed one.
      TreeRun again{50, 8};
      again.pool = &pool;
      std::size_t count = 0;
      pool.RunInOrder(std::make_unique<TestItem>(&again, 0), {},
                      [&](WorkPool::Item&) { ++count; });
      std::vector<std::size_t> all;
      PreOrder(0, again.size, again.seed, &all);
      EXPECT_EQ(count, all.size());
    }
  }
}

// A chain of items, each the only follower of the one before.
class ChainItem final : public WorkPool::Item {
 public:
  ChainItem(std::size_t left, std::atomic<int>* alive, int* most_alive)
      : left_(left), alive_(alive), most_alive_(most_alive) {
    ++*alive_;
  }
  ~ChainItem() override { --*alive_; }
  Made Make(int) override {
    Made made;
    if (left_ > 0) {
      made.followers.push_back(
          std::make_unique<ChainItem>(left_ - 1, alive_, most_alive_));
    }
    return made;
  }
  void Check() { *most_alive_ = std::max(*most_alive_, alive_->load()); }

 private:
  std::size_t left_;
  std::atomic<int>* alive_;
  int* most_alive_;
};

TEST(WorkPoolTest, RunInOrderFreesAChainAsItGoes) {
  for (const int threads : {1, 4}) {
    WorkPool pool(threads);
    std::atomic<int> alive = 0;
    int most_alive = 0;
    std::size_t handed_on = 0;
    pool.RunInOrder(std::make_unique<ChainItem>(100000, &alive, &most_alive),
                    {64, 1u << 20}, [&](WorkPool::Item& item) {
                      static_cast<ChainItem&>(item).Check();
                      ++handed_on;
                    });
    EXPECT_EQ(handed_on, 100001u);
    EXPECT_EQ(alive, 0);
    // Those made ahead, and the one being handed on with its follower.
    EXPECT_LE(most_alive, 64 + 4);
  }
}

// The platform's clock goes on 50 ms at every reading and its processor
// time by a tick of the case's own: the threads wait where the tick is well
// below 50 ms times the processors (two) they could keep busy.
TEST(WorkPoolTest, GrowsOnlyWhileItsThreadsWaitOnTheSystem) {
  // No disk read where the system tells none.
  constexpr std::optional<std::uint64_t> kUntold;
  const struct {
    int threads;
    int most;
    std::uint64_t processor_tick_ms;
    std::optional<std::uint64_t> storage_reads_tick;
    int started;  // threads started besides the caller's
  } cases[] = {
      {2, 16, 0, kUntold, 15},   // waiting: doubles up to the most
      {2, 16, 49, kUntold, 15},  // under half of the processors
      {2, 16, 50, kUntold, 1},   // half of them busy: working, not waiting
      {2, 16, 100, kUntold, 1},  // both busy
      {6, 64, 0, kUntold, 63},   // the default on two processors, its most
      {6, 64, 100, kUntold, 5},  // the default, busy
      {2, 5, 0, kUntold, 4},     // a doubling stops at the most
      {1, 8, 30, kUntold, 0},    // one thread busy most of the time: it works
      {1, 8, 20, kUntold, 7},    // one thread mostly waiting
      {4, 4, 0, kUntold, 3},     // not to grow
      {4, 2, 0, kUntold, 3},     // a most below the count keeps the count
      // Busy processors and a disk that is read: waiting on the disk, up to
      // as many as it keeps waiting with use.
      {2, 64, 100, 8, 15},
      {2, 64, 100, 0, 1},    // busy, all from the cache: working
      {2, 8, 100, 8, 7},     // up to the most if that is less
      {2, 64, 0, 8, 63},     // idle processors: up to the most
      {16, 64, 100, 8, 15},  // already as many as a disk keeps waiting
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.threads) + " threads, at most " +
                 std::to_string(c.most) + ", processor tick " +
                 std::to_string(c.processor_tick_ms) + ", storage tick " +
                 (c.storage_reads_tick ? std::to_string(*c.storage_reads_tick)
                                       : "untold"));
    testing::FakePlatform fake;
    fake.processors = 2;
    fake.tick_ms = 50;
    fake.processor_tick_ms = c.processor_tick_ms;
    fake.sees_storage_reads = c.storage_reads_tick.has_value();
    fake.storage_reads_tick = c.storage_reads_tick.value_or(0);
    {
      WorkPool pool(c.threads, &fake, c.most);
      std::vector<std::atomic<int>> calls(500);
      pool.ForEach(calls.size(), [&](std::size_t i) { ++calls[i]; });
      for (std::size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i], 1);
      // Items too, on threads numbered below threads() (TestItem checks).
      TreeRun run{300, 9};
      run.pool = &pool;
      std::vector<std::size_t> handed_on, expected;
      pool.RunInOrder(std::make_unique<TestItem>(&run, 0), {},
                      [&](WorkPool::Item& item) {
                        handed_on.push_back(static_cast<TestItem&>(item).id());
                      });
      PreOrder(0, run.size, run.seed, &expected);
      EXPECT_EQ(handed_on, expected);
    }
    EXPECT_EQ(fake.threads_started, c.started);
  }
  // Without a platform there is no clock to tell: no growth.
  WorkPool alone(2, nullptr, 16);
  EXPECT_EQ(alone.threads(), 2);
}

}  // namespace
}  // namespace tabulon
