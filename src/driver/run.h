#ifndef TABULON_DRIVER_RUN_H_
#define TABULON_DRIVER_RUN_H_

#include "platform/platform.h"

namespace tabulon {

// The first banner line, which is also the usage.
inline constexpr char kUsageLine[] = "Tabulon [FromDir] [URL] [/t]";

// One whole run: banner, command line, the pages. Returns the exit code:
// 0 when all went well, 2 when a failure was reported on standard error, 1
// after the out-of-memory report.
int Run(Platform& platform);

}  // namespace tabulon

#endif  // TABULON_DRIVER_RUN_H_
