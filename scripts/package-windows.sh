#!/bin/sh
# Builds the Windows zip in one go: tabulon.exe cross-built with MinGW-w64
# (static, so it runs from a bare copy), with README.md and LICENSE beside
# it. The build directory is the first argument (build-win-package when left
# out); the zip lands in its packages/ directory.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build-win-package"}
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh" windows
cmake -S "$root" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DTABULON_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target tabulon
(cd "$build" && cpack -G ZIP >/dev/null)
ls "$build"/packages/tabulon-*.zip
