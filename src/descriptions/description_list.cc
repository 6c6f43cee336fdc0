#include "descriptions/description_list.h"

#include <algorithm>
#include <utility>

namespace tabulon {
namespace {

// Kept free for the out-of-memory report and whatever the run still needs.
constexpr std::uint64_t kReserve = 8192;
// A slot of the items array as the guard counts it (a 32-bit reference).
constexpr std::uint64_t kSlotSize = 4;
// Above this much headroom the figure is trusted without asking again: a
// whole FILES.BBS of 50,000 records takes far less, and asking the system
// can be a syscall.
constexpr std::uint64_t kRequeryMargin = std::uint64_t{16} << 20;

}  // namespace

DescriptionList::DescriptionList(FreeMemoryFn free_memory, int capacity,
                                 int growth)
    : free_memory_(std::move(free_memory)),
      capacity_(capacity),
      growth_(growth) {}

bool DescriptionList::Insert(std::string_view record) {
  const bool full = Count() >= capacity_;
  const std::uint64_t need =
      kReserve +
      (full ? kSlotSize * static_cast<std::uint64_t>(capacity_ + growth_) : 0);
  if (free_memory_) {
    if (!free_estimate_ || *free_estimate_ <= need + kRequeryMargin) {
      free_estimate_ = free_memory_();
    }
    if (*free_estimate_ <= need) return false;
  }
  std::uint64_t taken = record.size() + sizeof(std::size_t);
  if (full) {
    capacity_ += growth_;
    taken += kSlotSize * static_cast<std::uint64_t>(growth_);
  }
  arena_.append(record);
  ends_.push_back(arena_.size());
  if (free_estimate_) *free_estimate_ -= std::min(*free_estimate_, taken);
  return true;
}

std::string_view DescriptionList::At(int index) const {
  const std::size_t begin = index == 0 ? 0 : ends_[index - 1];
  return std::string_view(arena_).substr(begin, ends_[index] - begin);
}

}  // namespace tabulon
