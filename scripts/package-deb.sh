#!/bin/sh
# Builds the Debian package: the program in /usr/bin, its manual page, the
# README, the JSON Schema of FILES.JSON and the licence. The build directory is the first argument (build-package when
# left out); the .deb lands in its packages/ directory. Install it with
# "dpkg -i".
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build-package"}
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh" build
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
  -DTABULON_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target tabulon
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/packages/tabulon_*.deb
