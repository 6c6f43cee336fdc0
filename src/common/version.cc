#include "common/version.h"

namespace tabulon {

const char kVersion[] = TABULON_VERSION;

}  // namespace tabulon
