// No affinity to tell: the processors online serve.
#include "platform/posix/posix_internal.h"

namespace tabulon {

int AffinityProcessors() { return 0; }

}  // namespace tabulon
