// The heap of glibc, set up for the run's large buffers and asked what it
// holds free.
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/posix/posix_internal.h"

// Large pages are asked for where the system takes such advice.
#ifdef MADV_HUGEPAGE
constexpr int kLargePagesAdvice = MADV_HUGEPAGE;
#else
constexpr int kLargePagesAdvice = -1;
#endif

namespace tabulon {
namespace {

// Grows the heap once by what a large directory needs and asks for that
// part in large pages. A page fault can cost more than the work done on the
// page (on a virtual machine, several microseconds): a directory of 50,000
// files touches some 20 MiB, which in 4 KiB pages took a third of the run.
// Pages are still only taken when touched.
void HeapInLargePages() {
  if (kLargePagesAdvice < 0) return;
  constexpr std::size_t kLarge = std::size_t{2} << 20;
  constexpr std::size_t kGrowth = std::size_t{32} << 20;
  const std::uintptr_t before = reinterpret_cast<std::uintptr_t>(::sbrk(0));
  mallopt(M_TOP_PAD, static_cast<int>(kGrowth));
  // A block larger than what is left on top makes the heap grow now
  // (volatile: a block that is only freed again may be optimised away).
  void* volatile block = std::malloc(256 << 10);
  std::free(block);
  mallopt(M_TOP_PAD, 0);
  const std::uintptr_t after = reinterpret_cast<std::uintptr_t>(::sbrk(0));
  const std::uintptr_t first = (before + kLarge - 1) & ~(kLarge - 1);
  const std::uintptr_t last = after & ~(kLarge - 1);
  if (before == static_cast<std::uintptr_t>(-1) || last <= first) return;
  ::madvise(reinterpret_cast<void*>(first), last - first, kLargePagesAdvice);
}

}  // namespace

void TuneHeap() {
  // A directory's large buffers (its description file, records, index) are
  // freed before the next ones are made: kept in the heap rather than given
  // back, their pages are reused instead of being faulted in anew.
  // (32 MiB is the most glibc takes; it refuses more.)
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
  // One heap for every thread, so that the pages freed by one are used by
  // the others (each further arena would also reserve 64 MiB of address
  // space).
  mallopt(M_ARENA_MAX, 1);
  HeapInLargePages();
}

std::uint64_t HeapHeldFree() { return mallinfo2().fordblks; }

}  // namespace tabulon
