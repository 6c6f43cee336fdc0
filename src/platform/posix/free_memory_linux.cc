// Free memory and swap in one call of the system.
#include <sys/sysinfo.h>

#include <cstdint>

#include "platform/posix/posix_internal.h"

namespace tabulon {

std::uint64_t SystemFreeMemory() {
  struct sysinfo info;
  if (::sysinfo(&info) != 0) return UINT64_MAX;
  return (static_cast<std::uint64_t>(info.freeram) + info.bufferram +
          info.freeswap) *
         info.mem_unit;
}

}  // namespace tabulon
