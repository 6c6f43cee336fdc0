// The processors the process may run on, as its affinity tells.
#include <sched.h>

#include "platform/posix/posix_internal.h"

namespace tabulon {

int AffinityProcessors() {
  cpu_set_t set;
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 0;
  return CPU_COUNT(&set);
}

}  // namespace tabulon
