#include "common/per_thread.h"

#include <vector>

namespace tabulon {
namespace {

// Filled while the program is initialised, before any thread but the first
// exists; only read afterwards.
std::vector<void (*)()>& Readiers() {
  static std::vector<void (*)()> readiers;
  return readiers;
}

}  // namespace

void ReadyPerThread() {
  for (void (*ready)() : Readiers()) ready();
}

bool AddPerThreadReady(void (*ready)()) {
  Readiers().push_back(ready);
  return true;
}

}  // namespace tabulon
