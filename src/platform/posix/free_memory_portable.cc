// Free memory as sysconf tells it, where it does (not POSIX, but most
// systems have it).
#include <unistd.h>

#include <cstdint>

#include "platform/posix/posix_internal.h"

#ifdef _SC_AVPHYS_PAGES
constexpr int kAvailablePages = _SC_AVPHYS_PAGES;
#else
constexpr int kAvailablePages = -1;
#endif

namespace tabulon {

std::uint64_t SystemFreeMemory() {
  if (kAvailablePages < 0) return UINT64_MAX;
  const long available = ::sysconf(kAvailablePages);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (available <= 0 || page_size <= 0) return UINT64_MAX;
  return static_cast<std::uint64_t>(available) *
         static_cast<std::uint64_t>(page_size);
}

}  // namespace tabulon
