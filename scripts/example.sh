#!/bin/sh
# Builds tabulon and lists copies of the example archive in both modes: one
# page for the whole tree in build/example/list/archive, one page per
# directory in build/example/tree/archive.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$jobs" --target tabulon

out="$root/build/example"
rm -rf "$out"
mkdir -p "$out/list" "$out/tree"
cp -R "$root/examples/archive" "$out/list/"
cp -R "$root/examples/archive" "$out/tree/"
"$root/build/src/tabulon" "$out/list/archive"
"$root/build/src/tabulon" "$out/tree/archive" /t
echo
echo "One page for the whole tree: $out/list/archive/FILES.HTM"
echo "One page per directory:      $out/tree/archive/FILES.HTM (and in each subdirectory)"
