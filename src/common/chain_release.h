#ifndef TABULON_COMMON_CHAIN_RELEASE_H_
#define TABULON_COMMON_CHAIN_RELEASE_H_

#include <atomic>
#include <memory>

namespace tabulon {

// Contract: called from T's destructor with the moved-out `link` member,
// lets go of the links it owns alone one at a time, without recursion.
//
// A chain a hundred thousand deep would otherwise be destroyed by as deep a
// recursion, past the end of a thread's stack. Stops at the first link that
// another owner still holds: that owner lets go of the rest.
template <typename T>
void ReleaseChain(std::shared_ptr<const T> next,
                  std::shared_ptr<const T> T::*link) {
  while (next != nullptr && next.use_count() == 1) {
    // The count is read without ordering: what the last other owner did
    // with the link must come before it is taken apart here.
    std::atomic_thread_fence(std::memory_order_acquire);
    std::shared_ptr<const T> after = std::move(const_cast<T&>(*next).*link);
    next = std::move(after);
  }
}

}  // namespace tabulon

#endif  // TABULON_COMMON_CHAIN_RELEASE_H_
