#ifndef TABULON_COMMON_PREFETCH_H_
#define TABULON_COMMON_PREFETCH_H_

namespace tabulon {

// Asks the processor to fetch the memory at `address` into its caches, so
// that a loop that jumps through memory (entries in name order, records in
// file order) has the next ones on their way while it works on this one.
// Only a hint: any address may be given, nothing is read.
inline void Prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

}  // namespace tabulon

#endif  // TABULON_COMMON_PREFETCH_H_
