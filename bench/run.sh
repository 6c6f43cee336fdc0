#!/usr/bin/env bash
# Times Tabulon against the floor (../shared/bench/floor.cpp, built here at
# run time), `find -printf` and `tree -H` on synthetic trees, in alternation,
# and prints medians, spread and ratios, then the peak memory of each shape.
#
#   bench/run.sh                      # this work tree's Tabulon
#   BEFORE=<git revision> bench/run.sh   # and that revision's, side by side
#
# Settings (environment): BENCH_DIR (trees and outputs, default
# /tmp/tabulon-bench), BENCH_BUILD (build directory, default build-bench),
# ROUNDS (default 15), SHARED (default ../shared beside the repository).
# Not part of CI: it needs a quiet machine and takes a few minutes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/tmp/tabulon-bench}
build=${BENCH_BUILD:-$root/build-bench}
rounds=${ROUNDS:-15}
shared=${SHARED:-$root/../shared}

install_missing() {
  local missing=()
  command -v hyperfine >/dev/null || missing+=(hyperfine)
  command -v tree >/dev/null || missing+=(tree)
  [ -x /usr/bin/time ] || missing+=(time)
  command -v g++ >/dev/null || missing+=(g++)
  command -v cmake >/dev/null || missing+=(cmake)
  command -v python3 >/dev/null || missing+=(python3)
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
}

build_tabulon() {  # source dir, build dir
  # A build directory of its own needs no tests; one that exists keeps its
  # settings.
  local tests=()
  [ -f "$2/CMakeCache.txt" ] || tests=(-DTABULON_TESTS=OFF)
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release "${tests[@]}" >/dev/null
  cmake --build "$2" -j2 --target tabulon >/dev/null
}

install_missing
mkdir -p "$work"
build_tabulon "$root" "$build"
tabulon=$build/src/tabulon
g++ -O2 -std=c++17 -o "$work/floor" "$shared/bench/floor.cpp"
floor=$work/floor

before=""
if [ -n "${BEFORE:-}" ]; then
  rm -rf "$work/before-src"
  mkdir -p "$work/before-src"
  git -C "$root" archive "$BEFORE" | tar -x -C "$work/before-src"
  build_tabulon "$work/before-src" "$work/before-build"
  before=1
fi

[ -d "$work/wide" ] || python3 "$root/bench/make_tree.py" wide "$work/wide"
[ -d "$work/flat" ] || python3 "$root/bench/make_tree.py" flat "$work/flat"
# Pages from earlier runs would be listed by find and tree.
find "$work/wide" "$work/flat" -name 'FILES.HTM' -delete

results=$work/results.md
json=$work/results.jsonl
: >"$json"
compare() { python3 "$root/bench/compare.py" --rounds "$rounds" --json "$json" "$@"; }
listing_format='"%s %TY-%Tm-%Td %p\n"'

{
  echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  for shape in wide flat; do
    if [ "$shape" = wide ]; then
      floor_cmd="$floor $work/wide $work/floor.txt"
      title="shape (a): about 200,000 files in 4,000 directories, one page"
    else
      floor_cmd="$floor -b $work/flat $work/floor.txt"
      title="shape (b): 50,000 files and a FILES.BBS of 50,000 records"
    fi
    compare --title "$title" --base floor \
      "tabulon=$tabulon $work/$shape" \
      ${before:+"before=$work/before-build/src/tabulon $work/$shape"} \
      "floor=$floor_cmd" \
      "find=env TZ=UTC find $work/$shape -fprintf $work/find.txt $listing_format" \
      "tree=tree -H . -s -D -o $work/tree.htm $work/$shape"
  done
  compare --title "shape (a) with /t: one page per directory" --base floor \
    "tabulon=$tabulon $work/wide /t" \
    ${before:+"before=$work/before-build/src/tabulon $work/wide /t"} \
    "floor=$floor -t $work/wide"

  echo "Peak resident memory (largest of 3 runs, /usr/bin/time):"
  echo
  for run in "wide" "wide /t" "flat"; do
    peak=0
    for _ in 1 2 3; do
      # shellcheck disable=SC2086
      kb=$(/usr/bin/time -f '%M' "$tabulon" $work/$run 2>&1 >/dev/null | tail -1)
      [ "$kb" -gt "$peak" ] && peak=$kb
    done
    echo "- tabulon $run: $((peak / 1024)) MiB ($peak KiB)"
  done
} | tee "$results"
find "$work/wide" "$work/flat" -name 'FILES.HTM' -delete
echo "(also in $results)"
