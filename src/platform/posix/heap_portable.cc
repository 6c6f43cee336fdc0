// A C library whose heap takes no advice and tells nothing.
#include <cstdint>

#include "platform/posix/posix_internal.h"

namespace tabulon {

void TuneHeap() {}

std::uint64_t HeapHeldFree() { return 0; }

}  // namespace tabulon
