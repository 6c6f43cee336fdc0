#ifndef TABULON_COMMON_SPARE_BLOCKS_H_
#define TABULON_COMMON_SPARE_BLOCKS_H_

#include <cstddef>
#include <memory>

namespace tabulon {

// Blocks of kSpareBlock bytes that each thread keeps a few of for its next
// use. Most description files are small, and each still takes whole blocks
// to read and hold; a new block for every file made the allocator merge and
// split its free lists each time, and gave every thread fresh pages.
inline constexpr std::size_t kSpareBlock = std::size_t{1} << 16;

struct SpareBlockDeleter {
  // Keeps the block for the thread that lets it go, or frees it.
  void operator()(char* block) const;
};
using SpareBlock = std::unique_ptr<char[], SpareBlockDeleter>;

// A block of kSpareBlock bytes, not cleared: one the calling thread kept,
// or a new one.
SpareBlock TakeSpareBlock();

}  // namespace tabulon

#endif  // TABULON_COMMON_SPARE_BLOCKS_H_
