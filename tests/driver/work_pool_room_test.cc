// Items that fail for lack of room while other items are made at the same
// time: the pool makes them again with fewer threads, so that what is
// handed on is what one thread would have made.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "driver/work_pool.h"

namespace tabulon {
namespace {

enum class Kind {
  kShortWhenCrowded,      // short of room if another item is made meanwhile
  kThrowWhenCrowded,      // std::bad_alloc then
  kShortAlways,           // short of room however it is made
  kThrowAlways,           // std::bad_alloc however it is made
  kOnceShortWhenCrowded,  // as the first, but can't be made again
};

// What the items of one run share.
struct Shared {
  Kind kind;
  std::atomic<int> making{0};  // items being made now
};

// An item whose name is its place in pre-order ("", "3", "3.1"), with
// `width` followers at each of `depth` levels below it.
class RoomItem final : public WorkPool::Item {
 public:
  RoomItem(Shared* run, std::string name, int depth, int width)
      : run_(run), name_(std::move(name)), depth_(depth), width_(width) {}

  Made Make(int) override {
    ++attempts_;
    // Long enough for the items taken beside it to overlap it.
    const bool crowded_at_start = ++run_->making > 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    crowded_ = crowded_at_start || run_->making.load() > 1;
    --run_->making;
    const Kind kind = run_->kind;
    if (kind == Kind::kThrowAlways ||
        (kind == Kind::kThrowWhenCrowded && crowded_)) {
      throw std::bad_alloc();
    }
    Made made;
    made.short_of_room = kind == Kind::kShortAlways ||
                         (crowded_ && (kind == Kind::kShortWhenCrowded ||
                                       kind == Kind::kOnceShortWhenCrowded));
    short_ = made.short_of_room;
    for (int i = 0; depth_ > 0 && i < width_; ++i) {
      made.followers.push_back(std::make_unique<RoomItem>(
          run_, name_ + (name_.empty() ? "" : ".") + std::to_string(i),
          depth_ - 1, width_));
    }
    return made;
  }
  bool CanMakeAgain() const override {
    return run_->kind != Kind::kOnceShortWhenCrowded;
  }

  Shared* run_;
  const std::string name_;
  const int depth_;
  const int width_;
  int attempts_ = 0;
  bool crowded_ = false;  // on the last attempt
  bool short_ = false;    // on the last attempt
};

// The names of a tree of `depth` levels of `width` below the root, in
// pre-order.
std::vector<std::string> PreOrder(const std::string& name, int depth,
                                  int width) {
  std::vector<std::string> names = {name};
  for (int i = 0; depth > 0 && i < width; ++i) {
    const std::vector<std::string> below = PreOrder(
        name + (name.empty() ? "" : ".") + std::to_string(i), depth - 1, width);
    names.insert(names.end(), below.begin(), below.end());
  }
  return names;
}

TEST(WorkPoolRoomTest, ItemsShortOfRoomAreMadeAgainUntilMadeAlone) {
  struct Case {
    const char* what;
    Kind kind;
    bool handed_on_short;  // as one thread would make them
    bool throws;
  };
  const Case kCases[] = {
      {"short of room when crowded", Kind::kShortWhenCrowded, false, false},
      {"out of memory when crowded", Kind::kThrowWhenCrowded, false, false},
      {"short of room always", Kind::kShortAlways, true, false},
      {"out of memory always", Kind::kThrowAlways, false, true},
  };
  constexpr int kDepth = 2;
  constexpr int kWidth = 12;
  const std::vector<std::string> expected = PreOrder("", kDepth, kWidth);
  for (const Case& c : kCases) {
    for (const int threads : {1, 2, 8}) {
      SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(threads) +
                   " threads");
      Shared run{c.kind};
      WorkPool pool(threads);
      std::vector<std::string> handed_on;
      int made_again = 0;
      bool threw = false;
      try {
        pool.RunInOrder(std::make_unique<RoomItem>(&run, "", kDepth, kWidth),
                        WorkPool::Budget{}, [&](WorkPool::Item& handed) {
                          const auto& item = static_cast<RoomItem&>(handed);
                          handed_on.push_back(item.name_);
                          made_again += item.attempts_ - 1;
                          EXPECT_FALSE(item.crowded_) << item.name_;
                          EXPECT_EQ(item.short_, c.handed_on_short)
                              << item.name_;
                        });
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      EXPECT_EQ(threw, c.throws);
      if (c.throws) continue;
      EXPECT_EQ(handed_on, expected);
      // One thread is never crowded; eight make the first dozen followers
      // side by side.
      if (threads == 1) {
        EXPECT_EQ(made_again, 0);
      } else if (threads == 8) {
        EXPECT_GT(made_again, 0);
      }
    }
  }
}

TEST(WorkPoolRoomTest, ItemThatCannotBeMadeAgainIsMadeOnce) {
  Shared run{Kind::kOnceShortWhenCrowded};
  WorkPool pool(8);
  std::size_t handed = 0;
  pool.RunInOrder(std::make_unique<RoomItem>(&run, "", 2, 12),
                  WorkPool::Budget{}, [&](WorkPool::Item& item) {
                    EXPECT_EQ(static_cast<RoomItem&>(item).attempts_, 1);
                    ++handed;
                  });
  EXPECT_EQ(handed, PreOrder("", 2, 12).size());
}

// One large item whose pieces run on the pool's threads, as a large
// directory's do, and whose memory runs short whenever another thread ran
// one of them while more than one may work: it is made again until it may
// take no more room than one thread would, and is told so.
TEST(WorkPoolRoomTest, ItemMadeAgainIsToldThatFewerThreadsMayWork) {
  class LargeItem final : public WorkPool::Item {
   public:
    explicit LargeItem(WorkPool* pool) : pool_(pool) {}
    Made Make(int) override {
      const int allowed = pool_->allowed_threads();
      allowed_seen.push_back(allowed);
      const std::thread::id maker = std::this_thread::get_id();
      std::atomic<bool> elsewhere{false};
      pool_->ForEach(16, [&](std::size_t) {
        if (std::this_thread::get_id() != maker) {
          elsewhere = true;
          return;
        }
        // Waits for another thread to take a piece, where one may (a
        // bound, not a timing: threads may be slow to start).
        const auto give_up =
            std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (allowed > 1 && !elsewhere &&
               std::chrono::steady_clock::now() < give_up) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      });
      if (allowed > 1 && elsewhere) throw std::bad_alloc();
      return Made();
    }
    std::vector<int> allowed_seen;

   private:
    WorkPool* pool_;
  };
  WorkPool pool(8);
  int handed = 0;
  std::vector<int> seen;  // by the item on each attempt
  pool.RunInOrder(std::make_unique<LargeItem>(&pool), WorkPool::Budget{},
                  [&](WorkPool::Item& item) {
                    ++handed;
                    seen = static_cast<LargeItem&>(item).allowed_seen;
                  });
  EXPECT_EQ(handed, 1);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), 8);
  // Fewer each time it was made again.
  for (std::size_t i = 1; i < seen.size(); ++i) {
    EXPECT_LT(seen[i], seen[i - 1]) << i;
  }
  EXPECT_GT(seen.size(), 1u);
}

}  // namespace
}  // namespace tabulon
