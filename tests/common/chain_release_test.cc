#include "common/chain_release.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

namespace tabulon {
namespace {

// A link of a chain, counting those alive.
struct Link {
  explicit Link(std::shared_ptr<const Link> above) : up(std::move(above)) {
    ++alive;
  }
  ~Link() {
    ReleaseChain(std::move(up), &Link::up);
    --alive;
  }
  std::shared_ptr<const Link> up;
  static inline std::atomic<std::size_t> alive{0};
};

// A chain `length` links deep, the deepest returned; `*held` (if not null)
// keeps the link `held_depth` links below the top.
std::shared_ptr<const Link> Chain(std::size_t length, std::size_t held_depth,
                                  std::shared_ptr<const Link>* held) {
  std::shared_ptr<const Link> last;
  for (std::size_t depth = 0; depth < length; ++depth) {
    last = std::make_shared<const Link>(std::move(last));
    if (held != nullptr && depth == held_depth) *held = last;
  }
  return last;
}

TEST(ChainReleaseTest, LetsGoOfAMillionLinksDownToOneHeldElsewhere) {
  constexpr std::size_t kMillion = 1000000;
  const struct {
    std::size_t length;
    bool hold;
    std::size_t held_depth;
    std::size_t alive_while_held;  // after the deepest link is let go of
  } cases[] = {
      {kMillion, false, 0, 0},
      {kMillion, true, 0, 1},                    // the top alone stays
      {kMillion, true, 499999, 500000},          // the upper half
      {kMillion, true, kMillion - 1, kMillion},  // the deepest itself
      {1, false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + " links, held at " +
                 (c.hold ? std::to_string(c.held_depth) : "none"));
    std::shared_ptr<const Link> held;
    std::shared_ptr<const Link> deepest =
        Chain(c.length, c.held_depth, c.hold ? &held : nullptr);
    ASSERT_EQ(Link::alive, c.length);
    deepest.reset();  // a recursion this deep would overflow the stack
    EXPECT_EQ(Link::alive, c.alive_while_held);
    held.reset();
    EXPECT_EQ(Link::alive, 0u);
  }
}

TEST(ChainReleaseTest, TwoThreadsLetGoOfChainsThatShareTheirTop) {
  for (int round = 0; round < 20; ++round) {
    std::shared_ptr<const Link> top = Chain(2000, 0, nullptr);
    std::shared_ptr<const Link> a = std::make_shared<const Link>(top);
    std::shared_ptr<const Link> b = std::make_shared<const Link>(top);
    top.reset();
    for (int i = 0; i < 1000; ++i) {
      a = std::make_shared<const Link>(std::move(a));
      b = std::make_shared<const Link>(std::move(b));
    }
    // Whichever lets go last takes the shared part apart.
    std::thread other([&a] { a.reset(); });
    b.reset();
    other.join();
    EXPECT_EQ(Link::alive, 0u);
  }
}

}  // namespace
}  // namespace tabulon
