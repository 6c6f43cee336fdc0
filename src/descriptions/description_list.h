#ifndef TABULON_DESCRIPTIONS_DESCRIPTION_LIST_H_
#define TABULON_DESCRIPTIONS_DESCRIPTION_LIST_H_

#include <cstdint>
#include <functional>
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
  // without one the guard never refuses.
  explicit DescriptionList(FreeMemoryFn free_memory = nullptr,
                           int capacity = 10, int growth = 10);

  // Appends a copy of `record` unless the memory guard refuses it: with room
  // left in the slots, more than 8192 bytes must remain free; when the slots
  // are full, more than 8192 + 4 * (capacity + growth). Returns whether the
  // record was taken.
  bool Insert(std::string_view record);

  int Count() const;
  // The record in slot `index`; requires 0 <= index < Count().
  std::string_view At(int index) const;

  TCode Code() const { return code_; }
  void SetCode(TCode code) { code_ = code; }

 private:
  FreeMemoryFn free_memory_;
  int capacity_;
  int growth_;
  TCode code_ = tAlt;
  std::vector<std::string> records_;
};

}  // namespace tabulon

#endif  // TABULON_DESCRIPTIONS_DESCRIPTION_LIST_H_
