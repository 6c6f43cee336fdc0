// Memory that runs out anywhere in a run of items: whichever allocation
// fails, on whichever thread, the run either completes or throws
// std::bad_alloc to its caller, and the pool serves the next run. No thread
// ends the process, none waits for ever, nothing is used once freed (the
// sanitized builds run this too). A program of its own: it replaces the
// allocator.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "driver/work_pool.h"

namespace {

// Allocations left before one fails; below zero none does.
std::atomic<std::int64_t> g_countdown{-1};
// Allocations made while counting down, to know how far to count.
std::atomic<std::int64_t> g_made{0};

}  // namespace

void* operator new(std::size_t size) {
  if (g_countdown.load(std::memory_order_relaxed) >= 0) {
    g_made.fetch_add(1, std::memory_order_relaxed);
    if (g_countdown.fetch_sub(1, std::memory_order_relaxed) == 0) {
      throw std::bad_alloc();
    }
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The allocator's own pair: what operator new above takes from malloc goes
// back to free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace tabulon {
namespace {

// Whether items take their time: only where another thread may make them
// meanwhile, and only until an allocation has failed.
bool Slowed(const WorkPool& pool) {
  return pool.threads() > 1 && g_countdown.load() >= 0;
}

// An item named by its place in pre-order, with `width` followers at each
// of `depth` levels below it; each runs a few pieces of its own on the
// pool, as a large directory does.
class Branch final : public WorkPool::Item {
 public:
  Branch(WorkPool* pool, std::string name, int depth, int width)
      : pool_(pool), name_(std::move(name)), depth_(depth), width_(width) {}
  Made Make(int) override {
    // Those below the root take a while, as directories read from a disk
    // do, longer than the root's handing on: the walk's stack grows while
    // threads make them.
    if (depth_ == 1 && Slowed(*pool_)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    std::vector<std::string> pieces(3);
    pool_->ForEach(pieces.size(), [&](std::size_t i) {
      pieces[i] = name_ + ":" + std::to_string(i);
    });
    Made made;
    for (int i = 0; depth_ > 0 && i < width_; ++i) {
      made.followers.push_back(std::make_unique<Branch>(
          pool_, name_ + "." + std::to_string(i), depth_ - 1, width_));
    }
    made.bytes = pieces.size();
    return made;
  }
  const std::string& name() const { return name_; }

 private:
  WorkPool* pool_;
  const std::string name_;
  const int depth_;
  const int width_;
};

// The names handed on; whether the run threw std::bad_alloc.
bool RunTree(WorkPool& pool, std::int64_t fail_after,
             std::vector<std::string>* out) {
  out->clear();
  out->reserve(64);
  auto root = std::make_unique<Branch>(&pool, "r", 2, 3);
  g_made = 0;
  g_countdown = fail_after;
  bool threw = false;
  try {
    pool.RunInOrder(
        std::move(root), WorkPool::Budget{4, 1 << 20},
        [&pool, out](WorkPool::Item& item) {
          out->push_back(static_cast<Branch&>(item).name());
          if (out->size() == 1 && Slowed(pool)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        });
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  g_countdown = -1;
  return threw;
}

// Ends the process with a message if the test is not done in time: a run
// that waits for ever would otherwise hold the suite up until it is killed.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_.wait_for(lock, limit, [this] { return finished_; })) {
            std::fputs("a run of items waited for ever\n", stderr);
            std::_Exit(1);
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    done_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

TEST(WorkPoolMemoryTest, AnAllocationThatFailsEndsTheRunCleanly) {
  const Watchdog watchdog(std::chrono::seconds(120));
  for (const int threads : {1, 2, 4}) {
    SCOPED_TRACE(std::to_string(threads) + " threads");
    std::vector<std::string> whole;
    {
      WorkPool pool(threads);
      ASSERT_FALSE(RunTree(pool, std::int64_t{1} << 40, &whole));
    }
    // 1 + 3 + 9 items, the root first and its last descendant last.
    ASSERT_EQ(whole.size(), 13u);
    EXPECT_EQ(whole.front(), "r");
    EXPECT_EQ(whole.back(), "r.2.2");
    const std::int64_t allocations = g_made;
    int failed = 0;
    // Threads start, and allocate, as work comes: a failure may fall on
    // any of them, or on the caller.
    for (std::int64_t k = 0; k <= allocations + allocations / 4; ++k) {
      SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
      WorkPool pool(threads);
      std::vector<std::string> names;
      if (RunTree(pool, k, &names)) {
        ++failed;
      } else {
        EXPECT_EQ(names, whole);
      }
      // Still of use afterwards.
      EXPECT_FALSE(RunTree(pool, -1, &names));
      EXPECT_EQ(names, whole);
    }
    EXPECT_GT(failed, 0);
  }
}

}  // namespace
}  // namespace tabulon
