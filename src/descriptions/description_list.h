#ifndef TABULON_DESCRIPTIONS_DESCRIPTION_LIST_H_
#define TABULON_DESCRIPTIONS_DESCRIPTION_LIST_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/prefetch.h"
#include "common/types.h"

namespace tabulon {

// The records of one description file in file order, with the file's code
// page. A record never changes once inserted; those of a FILES.BBS hold 1
// to 4,096 bytes.
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
  // What the list takes counts what the lookup made over it once the file
  // is read will take too: `key_bytes` of its copy of the record (at most
  // the record itself in the first form) and its place in the order.
  bool Insert(std::string_view record);
  bool Insert(std::string_view record, std::size_t key_bytes);

  int Count() const { return static_cast<int>(ends_.size()); }
  // Whether the guard refused a record: the file was read only in part.
  bool Refused() const { return refused_; }
  // The record in slot `index`; requires 0 <= index < Count(). The view
  // stays valid as long as the list.
  std::string_view At(int index) const;
  // Asks for the memory that At(index) reads first, ahead of the call.
  void Prefetch(int index) const { tabulon::Prefetch(&ends_[index]); }

  // What the list will still take beyond what it holds: the lookup made
  // over it, and the next array of ends beside the present one. The guard
  // reads the free-memory figure less this.
  std::uint64_t Coming() const;

  TCode Code() const { return code_; }
  void SetCode(TCode code) { code_ = code; }

 private:
  FreeMemoryFn free_memory_;
  // The last free-memory figure less what Insert has allocated since.
  std::optional<std::uint64_t> free_estimate_;
  // What the lookup over the records taken will take, counted before it is
  // made.
  std::uint64_t promised_ = 0;
  int capacity_;
  int growth_;
  TCode code_ = tAlt;
  bool refused_ = false;
  // The records back to back in chunks of kChunk bytes that never move or
  // grow, so that a large file costs what its records need, not twice that
  // while an array doubles. Offsets count chunk k from k * kChunk; a
  // record never straddles two chunks (a longer one has a buffer of its
  // own, which takes as many chunk numbers as it spans). Record i ends at
  // ends_[i] and starts where record i - 1 ends, or at its chunk's start.
  static constexpr std::size_t kChunk = std::size_t{1} << 16;
  const char* Address(std::size_t offset) const {
    return chunks_[offset / kChunk] + offset % kChunk;
  }
  std::vector<std::unique_ptr<char[]>> owned_;
  std::vector<char*> chunks_;
  std::size_t used_ = 0;  // the offset after the last record
  std::vector<std::size_t> ends_;
};

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_DESCRIPTION_LIST_H_
