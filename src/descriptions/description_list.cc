#include "descriptions/description_list.h"

#include <algorithm>
#include <cstring>
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
// A record's end in the list, three times: while the array of ends grows,
// the old one and one of twice its size are held at once.
constexpr std::uint64_t kEndCost = 3 * sizeof(std::size_t);
// A record's place in a lookup's order, beside its copy of the record: its
// start, its head and its number (or its length), and the tables over them.
constexpr std::uint64_t kOrderCost = 40;

}  // namespace

DescriptionList::DescriptionList(FreeMemoryFn free_memory, int capacity,
                                 int growth)
    : free_memory_(std::move(free_memory)),
      capacity_(capacity),
      growth_(growth) {}

bool DescriptionList::Insert(std::string_view record) {
  return Insert(record, record.size());
}

bool DescriptionList::Insert(std::string_view record, std::size_t key_bytes) {
  const bool full = Count() >= capacity_;
  const std::uint64_t need =
      kReserve +
      (full ? kSlotSize * static_cast<std::uint64_t>(capacity_ + growth_) : 0);
  if (free_memory_) {
    if (!free_estimate_ || *free_estimate_ <= need + kRequeryMargin) {
      // The system's figure holds what is taken, not what is to come: the
      // lookup, and the next array of ends beside the present one.
      const std::uint64_t free = free_memory_();
      free_estimate_ = free - std::min(free, Coming());
    }
    if (*free_estimate_ <= need) {
      refused_ = true;
      return false;
    }
  }
  const std::uint64_t lookup = kOrderCost + key_bytes;
  promised_ += lookup;
  std::uint64_t taken = record.size() + kEndCost + lookup;
  if (full) {
    capacity_ += growth_;
    taken += kSlotSize * static_cast<std::uint64_t>(growth_);
  }
  if (!record.empty()) {
    std::size_t begin = used_;
    if (begin == chunks_.size() * kChunk ||
        begin % kChunk + record.size() > kChunk) {
      begin = chunks_.size() * kChunk;
      const std::size_t spans = (record.size() + kChunk - 1) / kChunk;
      owned_.push_back(std::make_unique_for_overwrite<char[]>(spans * kChunk));
      for (std::size_t i = 0; i < spans; ++i) {
        chunks_.push_back(owned_.back().get() + i * kChunk);
      }
    }
    std::memcpy(chunks_[begin / kChunk] + begin % kChunk, record.data(),
                record.size());
    used_ = begin + record.size();
  }
  ends_.push_back(used_);
  if (free_estimate_) *free_estimate_ -= std::min(*free_estimate_, taken);
  return true;
}

std::uint64_t DescriptionList::Coming() const {
  return promised_ + 2 * sizeof(std::size_t) * ends_.capacity();
}

std::string_view DescriptionList::At(int index) const {
  const std::size_t previous = index == 0 ? 0 : ends_[index - 1];
  const std::size_t end = ends_[index];
  if (end == previous) return {};
  // A record that did not fit after the one before starts a fresh chunk.
  const std::size_t begin = (end - 1) / kChunk == previous / kChunk
                                ? previous
                                : (previous + kChunk - 1) / kChunk * kChunk;
  return std::string_view(Address(begin), end - begin);
}

}  // namespace tabulon
