#include "common/spare_blocks.h"

#include "common/per_thread.h"

namespace tabulon {
namespace {

// Enough for the two read blocks and the records of one file.
constexpr int kKept = 3;

// Plain data, never destroyed: a block let go while the thread ends (after
// its Release below) is freed, not kept.
struct Spares {
  char* blocks[kKept];
  int count;
  bool closed;
};
thread_local Spares t_spares;

#if TABULON_KEEP_PER_THREAD
// Frees what the thread kept when it ends.
struct Release {
  ~Release() {
    for (int i = 0; i < t_spares.count; ++i) delete[] t_spares.blocks[i];
    t_spares.count = 0;
    t_spares.closed = true;
  }
};
#endif

}  // namespace

void SpareBlockDeleter::operator()(char* block) const {
#if TABULON_KEEP_PER_THREAD
  Spares& spares = t_spares;
  if (!spares.closed && spares.count < kKept) {
    // The first block kept makes the thread free its blocks when it ends.
    thread_local Release release;
    spares.blocks[spares.count++] = block;
    return;
  }
#endif
  delete[] block;
}

SpareBlock TakeSpareBlock() {
  Spares& spares = t_spares;
  if (spares.count > 0) return SpareBlock(spares.blocks[--spares.count]);
  return SpareBlock(new char[kSpareBlock]);
}

}  // namespace tabulon
