#!/bin/sh
# Builds tabulon and lists copies of the example archive in both modes: one
# page for the whole tree in build/example/list/archive, one page per
# directory in build/example/tree/archive; and one page per directory in
# UTF-8, each with its FILES.JSON, in build/example/utf8/archive.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh" build
# The tests need more than the program (GoogleTest among others): a new build
# leaves them out, one that scripts/test.sh made keeps them.
tests=""
[ -f "$root/build/CMakeCache.txt" ] || tests=-DTABULON_TESTS=OFF
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo $tests \
  >/dev/null
cmake --build "$root/build" -j "$jobs" --target tabulon

out="$root/build/example"
rm -rf "$out"
mkdir -p "$out/list" "$out/tree" "$out/utf8"
for mode in list tree utf8; do
  cp -R "$root/examples/archive" "$out/$mode/"
done
"$root/build/src/tabulon" "$out/list/archive"
"$root/build/src/tabulon" "$out/tree/archive" /t
"$root/build/src/tabulon" "$out/utf8/archive" /t --charset=utf-8 --json
echo
echo "One page for the whole tree: $out/list/archive/FILES.HTM"
echo "One page per directory:      $out/tree/archive/FILES.HTM (and in each subdirectory)"
echo "In UTF-8, with FILES.JSON:   $out/utf8/archive/FILES.HTM and FILES.JSON (and in"
echo "                             each subdirectory; dos/FILES.HTM shows the shading of"
echo "                             its code page 866 description as itself)"
