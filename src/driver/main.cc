#include "driver/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  return tabulon::Run(*tabulon::NewPlatform(argc, argv));
}
