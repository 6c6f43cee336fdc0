#include <cstdio>
#include <memory>
#include <new>

#include "driver/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  std::unique_ptr<tabulon::Platform> platform;
  try {
    platform = tabulon::NewPlatform(argc, argv);
  } catch (const std::bad_alloc&) {
    // Too little memory to start at all: still an end of its own, not an
    // abort.
    std::fputs("Out of memory.", stdout);
    return 1;
  }
  return tabulon::Run(*platform);
}
