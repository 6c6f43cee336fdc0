#ifndef TABULON_DESCRIPTIONS_DESCRIPTION_LIST_H_
#define TABULON_DESCRIPTIONS_DESCRIPTION_LIST_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/types.h"

namespace tabulon {

// The records of one FILES.BBS in file order, with the file's code page.
// Every record holds 1 to 255 bytes and never changes once inserted.
class DescriptionList {
 public:
  // Returns the size of the largest block that could still be allocated.
  using FreeMemoryFn = std::function<std::uint64_t()>;

  // An empty list with Code tAlt. `free_memory` feeds the guard of Insert;
  // without one the guard never refuses. `growth` must be positive.
  explicit DescriptionList(FreeMemoryFn free_memory = nullptr,
                           int capacity = 10, int growth = 10);

  // Appends a copy of `record` unless the memory guard refuses it: with room
  // left in the slots, more than 8192 bytes must remain free; when the slots
  // are full, more than 8192 + 4 * (capacity + growth). Returns whether the
  // record was taken. The free-memory figure is asked again only when the
  // last one, less what the list has taken since, is within 16 MiB of that.
  bool Insert(std::string_view record);

  // Makes room for `bytes` bytes of records, so that a list filled from a
  // file of that size copies none of them twice. The guard is unaffected.
  void Reserve(std::size_t bytes) { arena_.reserve(bytes); }

  int Count() const { return static_cast<int>(ends_.size()); }
  // The record in slot `index`; requires 0 <= index < Count(). The view
  // stays valid until the next Insert.
  std::string_view At(int index) const;

  // The number of slots the guard counts as allocated.
  int Capacity() const { return capacity_; }

  TCode Code() const { return code_; }
  void SetCode(TCode code) { code_ = code; }

 private:
  FreeMemoryFn free_memory_;
  // The last free-memory figure less what Insert has allocated since.
  std::optional<std::uint64_t> free_estimate_;
  int capacity_;
  int growth_;
  TCode code_ = tAlt;
  // All records back to back; record i ends at ends_[i] and starts where
  // record i - 1 ends. One allocation instead of one per record.
  std::string arena_;
  std::vector<std::size_t> ends_;
};

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_DESCRIPTION_LIST_H_
