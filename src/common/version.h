#ifndef TABULON_COMMON_VERSION_H_
#define TABULON_COMMON_VERSION_H_

namespace tabulon {

// The version, as the build names it.
extern const char kVersion[];

}  // namespace tabulon

#endif  // TABULON_COMMON_VERSION_H_
