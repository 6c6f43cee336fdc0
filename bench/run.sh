#!/usr/bin/env bash
# Times Tabulon on synthetic trees against the floor (../shared/bench/
# floor.cpp), the parallel floor (floor_par.cpp), `find -printf` and
# `tree -H`, in alternation (bench/compare.py), and prints medians, spread
# and ratios of medians to the single-threaded floor. One invocation runs:
#
#   0. a check that --jobs=1 and the default job count give byte-identical
#      pages on shape (a), one page and /t, and on shape (b); stops if not
#   1. shape (a), one page: tabulon, tabulon --jobs=1, before, floor,
#      floor_par -j J, find, tree -H
#   2. shape (a) with /t: tabulon, tabulon --jobs=1, before, floor -t,
#      floor_par -t -j J
#   3. shape (b): tabulon, tabulon --jobs=1, before, floor -b, floor_par -j J
#      (which does not read FILES.BBS), find, tree -H
#   4. shape (a) with /t run again over its own pages: every page comes out
#      the same and is left alone (nothing is written), against floor -t
#   5. cold cache, shape (a) one page, caches dropped before every run (as
#      root only): tabulon, tabulon --jobs=1, floor, floor_par -j J
#   6. a slow file system (as root with /dev/fuse): a smaller shape (a)
#      through a FUSE pass-through that waits LAT_DELAY_US in every request,
#      1.2 s pause before every run so that the kernel's cached entries
#      expire: tabulon, floor, floor_par -j J, floor_par -j 16
#   7. peak resident memory of tabulon on every shape, default and --jobs=1
#
# J is the job count Tabulon takes by default on this machine: the number of
# processors, at least 8 and at most 16. Outside 4, every run starts without
# pages (they are removed before each run, untimed), so each one writes them
# all. Afterwards the trees are put back as they were made (tree_state.py).
#
#   bench/run.sh                         # this work tree's Tabulon
#   BEFORE=<git revision> bench/run.sh   # and that revision's, side by side
#
# Settings (environment), defaults in brackets:
#   BENCH_DIR         trees, yardsticks and results, no blanks in it
#                     [/tmp/tabulon-bench]
#   BENCH_BUILD       build directory for this work tree [build-bench]
#   BENCH_TABULON     time this tabulon binary instead of building one
#   BEFORE            a git revision, built and timed beside it
#   BENCH_JOBS        J for tabulon (given as --jobs=J) and floor_par alike
#   ROUNDS [15], COLD_ROUNDS [4], LAT_ROUNDS [3]   rounds of each part
#   LAT_DELAY_US [200]  wait in every request of the slow file system
#   LAT_SLOW=1        also tabulon --jobs=1 on it (about 7 s a run) [0]
#   BENCH_WIDE_DIRS [4000], BENCH_WIDE_FILES [200000]    shape (a)
#   BENCH_FLAT_FILES [50000]                             shape (b)
#   BENCH_SLOW_DIRS [400], BENCH_SLOW_FILES [20000]      the slow tree
#   SHARED            the shared folder [../shared beside the repository]
#
# Output: BENCH_DIR/results.md (also on standard output) and
# BENCH_DIR/results.jsonl. The trees are made once and kept in BENCH_DIR,
# named by their settings (wide-4000-200000, flat-50000, slow-400-20000).
# Not part of CI: it needs a quiet machine and takes a good while.
set -euo pipefail
shopt -s inherit_errexit

root=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/tmp/tabulon-bench}
build=${BENCH_BUILD:-$root/build-bench}
shared=${SHARED:-$root/../shared}
rounds=${ROUNDS:-15}
cold_rounds=${COLD_ROUNDS:-4}
lat_rounds=${LAT_ROUNDS:-3}
lat_delay_us=${LAT_DELAY_US:-200}
wide=$work/wide-${BENCH_WIDE_DIRS:-4000}-${BENCH_WIDE_FILES:-200000}
flat=$work/flat-${BENCH_FLAT_FILES:-50000}
slow=$work/slow-${BENCH_SLOW_DIRS:-400}-${BENCH_SLOW_FILES:-20000}
mnt=$work/slow-mount
results=$work/results.md
json=$work/results.jsonl
listing_format='"%s %TY-%Tm-%Td %p\n"'

# What tabulon takes without --jobs; BENCH_JOBS sets it for both.
if [ -n "${BENCH_JOBS:-}" ]; then
  [[ $BENCH_JOBS =~ ^[1-9][0-9]*$ ]] || { echo "BENCH_JOBS: not a number" >&2; exit 64; }
  jobs=$BENCH_JOBS
  jobs_arg=" --jobs=$jobs"
else
  jobs=$(nproc)
  jobs=$((jobs < 8 ? 8 : jobs > 16 ? 16 : jobs))
  jobs_arg=""
fi
T="tabulon ($jobs jobs)"
T1="tabulon (1 job)"
P="floor_par ($jobs jobs)"

# --- set-up -----------------------------------------------------------------

install_missing() {  # programs, then the Debian packages that hold them
  local programs=$1 packages=$2 program
  for program in $programs; do
    command -v "$program" >/dev/null && continue
    apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $packages >/dev/null
    return
  done
}

build_tabulon() {  # source dir, build dir
  # A build directory of its own needs no tests; one that exists keeps its
  # settings.
  local tests=()
  [ -f "$2/CMakeCache.txt" ] || tests=(-DTABULON_TESTS=OFF)
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release "${tests[@]}" >/dev/null
  cmake --build "$2" -j2 --target tabulon >/dev/null
}

make_tree_once() {  # shape, directory, make_tree.py options
  # The saved state marks a tree that was made to the end.
  local shape=$1 dir=$2 made
  shift 2
  [ -f "$dir.state" ] && return
  rm -rf "$dir"
  made=$(python3 "$root/bench/make_tree.py" "$shape" "$dir" "$@" 2>&1) ||
    { echo "$made" >&2; exit 1; }
  echo "$made" >&2
  echo "${made##*: }" >"$dir.size"   # "N directories, M files"
  python3 "$root/bench/tree_state.py" save "$dir" "$dir.state"
}

restore_tree() {  # directory: as make_tree_once left it
  python3 "$root/bench/tree_state.py" restore "$1" "$1.state"
}

size_of() { cat "$1.size"; }

# --- measuring ----------------------------------------------------------------

compare_rounds() {  # rounds, then compare.py's options and commands
  local n=$1
  shift
  python3 "$root/bench/compare.py" --rounds "$n" --json "$json" "$@"
}
compare() { compare_rounds "$rounds" "$@"; }

page_list() {  # directory: "inode path" of every page, sorted
  # A page that is written anew is a new file, so its inode number changes.
  find "$1" -name FILES.HTM -printf '%i %P\n' | LC_ALL=C sort
}

pages_digest() {  # directory: "N pages, md5 X" over every page's bytes
  local count sum
  count=$(find "$1" -name FILES.HTM | wc -l)
  sum=$(cd "$1" && find . -name FILES.HTM -print0 | LC_ALL=C sort -z |
    xargs -0 -r md5sum | md5sum | cut -c1-32)
  echo "$count pages, md5 $sum"
}

check_same_pages() {  # title, tree, tabulon's parameters after the tree
  # Both runs start from the tree as it was made: writing pages changes
  # the directories' dates, which pages show.
  local title=$1 tree=$2 default one
  shift 2
  restore_tree "$tree"
  # shellcheck disable=SC2086
  "$tabulon" "$tree" "$@" $jobs_arg >/dev/null
  default=$(pages_digest "$tree")
  restore_tree "$tree"
  "$tabulon" "$tree" "$@" --jobs=1 >/dev/null
  one=$(pages_digest "$tree")
  restore_tree "$tree"
  if [ "$default" = "$one" ]; then
    echo "- $title: identical ($default)"
  else
    echo "- $title: **DIFFERENT**: $jobs jobs $default; 1 job $one"
    echo "run.sh: --jobs=1 and $jobs jobs give different pages; stopped" >&2
    return 1
  fi
}

peak_kib() {  # tree, tabulon's parameters after the tree: largest of 3 runs
  local tree=$1 peak=0 kib
  shift
  for _ in 1 2 3; do
    find "$tree" -name FILES.HTM -delete
    kib=$(/usr/bin/time -f '%M' "$tabulon" "$tree" "$@" 2>&1 >/dev/null | tail -1)
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  echo "$peak"
}

mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB (%d KiB)", k / 1024, k }'; }

median_of() {  # title, command: "median s (ratio)" from results.jsonl
  python3 - "$json" "$1" "$2" <<'EOF'
import json, sys
path, title, command = sys.argv[1:]
with open(path) as f:
    for line in f:
        r = json.loads(line)
        if r["title"] == title and r["command"] == command:
            print("%.3f s (%.2f)" % (r["median"], r["ratio"]))
EOF
}

# --- the parts ----------------------------------------------------------------

check_pages() {
  echo "Pages of tabulon ($jobs jobs) and tabulon --jobs=1, each run from the"
  echo "tree as it was made:"
  echo
  check_same_pages "shape (a), one page" "$wide"
  check_same_pages "shape (a), /t" "$wide" /t
  check_same_pages "shape (b)" "$flat"
  echo
}

list_mode() {
  compare --title "shape (a), $(size_of "$wide"), one page" \
    --base floor --prepare "rm -f $wide/FILES.HTM" \
    "$T=$tabulon $wide$jobs_arg" \
    "$T1=$tabulon $wide --jobs=1" \
    ${before:+"before=$before $wide"} \
    "floor=$floor $wide $work/floor.txt" \
    "$P=$floor_par -j $jobs $wide $work/floor_par.txt" \
    "find=env TZ=UTC find $wide -fprintf $work/find.txt $listing_format" \
    "tree=tree -H . -s -D -o $work/tree.htm $wide"
}

tree_title="shape (a) with /t: a page per directory, written anew"
tree_mode() {
  compare --title "$tree_title" \
    --base "floor -t" --prepare "find $wide -name FILES.HTM -delete" \
    "$T=$tabulon $wide /t$jobs_arg" \
    "$T1=$tabulon $wide /t --jobs=1" \
    ${before:+"before=$before $wide /t"} \
    "floor -t=$floor -t $wide" \
    "$P=$floor_par -t -j $jobs $wide"
  restore_tree "$wide"
}

flat_shape() {
  compare --title "shape (b), $(size_of "$flat") and a FILES.BBS" \
    --base "floor -b" --prepare "rm -f $flat/FILES.HTM" \
    "$T=$tabulon $flat$jobs_arg" \
    "$T1=$tabulon $flat --jobs=1" \
    ${before:+"before=$before $flat"} \
    "floor -b=$floor -b $flat $work/floor.txt" \
    "$P=$floor_par -j $jobs $flat $work/floor_par.txt" \
    "find=env TZ=UTC find $flat -fprintf $work/find.txt $listing_format" \
    "tree=tree -H . -s -D -o $work/tree.htm $flat"
  echo "floor_par does not read FILES.BBS: its figure is the walk alone."
  echo
  restore_tree "$flat"
}

unchanged_pages() {
  # Pages as a first run leaves them; a second run rewrites the pages that
  # show the directories the first one wrote into, a third finds them all
  # the same.
  local tries=0 before_run after_run title
  restore_tree "$wide"
  after_run=$(page_list "$wide")
  while :; do
    before_run=$after_run
    # shellcheck disable=SC2086
    "$tabulon" "$wide" /t $jobs_arg >/dev/null
    after_run=$(page_list "$wide")
    [ "$after_run" = "$before_run" ] && break
    tries=$((tries + 1))
    [ "$tries" -lt 5 ] || { echo "pages still change after 5 runs" >&2; return 1; }
  done
  page_list "$wide" >"$work/pages.before"
  title="shape (a) with /t again: every page the same, none written"
  # floor -t writes a page of its own that both pass over (a dot name), so
  # it lists Tabulon's pages as entries: one entry more per directory.
  compare --title "$title" --base "floor -t" \
    "$T=$tabulon $wide /t$jobs_arg" \
    "$T1=$tabulon $wide /t --jobs=1" \
    "floor -t=$floor -t -n .floor.htm $wide"
  page_list "$wide" >"$work/pages.after"
  echo "floor -t wrote a page named .floor.htm in every directory (passed"
  echo "over by Tabulon), so it listed Tabulon's pages too."
  echo "Pages tabulon wrote during the timed runs:" \
    "$(LC_ALL=C comm -13 "$work/pages.before" "$work/pages.after" | wc -l)" \
    "of $(wc -l <"$work/pages.after") (0 expected)."
  echo "The first run, from \"$tree_title\":" \
    "$T $(median_of "$tree_title" "$T"), $T1 $(median_of "$tree_title" "$T1")."
  echo
  restore_tree "$wide"
}

cold_cache() {
  if [ "$(id -u)" != 0 ] || [ ! -w /proc/sys/vm/drop_caches ]; then
    echo "Cold cache: skipped (needs root to drop the caches)."
    echo
    return
  fi
  compare_rounds "$cold_rounds" \
    --title "cold cache, shape (a), one page, caches dropped before every run" \
    --base floor \
    --prepare "sh -c 'rm -f $wide/FILES.HTM; sync; echo 3 > /proc/sys/vm/drop_caches'" \
    "$T=$tabulon $wide$jobs_arg" \
    "$T1=$tabulon $wide --jobs=1" \
    "floor=$floor $wide $work/floor.txt" \
    "$P=$floor_par -j $jobs $wide $work/floor_par.txt"
  restore_tree "$wide"
}

unmount_slow() {
  if mountpoint -q "$mnt"; then
    fusermount3 -u "$mnt" || umount -l "$mnt"
  fi
}

slow_file_system() {
  if [ "$(id -u)" != 0 ] || [ ! -c /dev/fuse ]; then
    echo "Slow file system: skipped (needs root and /dev/fuse)."
    echo
    return
  fi
  install_missing "fusermount3 pkg-config" "fuse3 libfuse3-dev pkg-config"
  pkg-config --exists fuse3 || install_missing "" "libfuse3-dev"
  # shellcheck disable=SC2046
  gcc -O2 -o "$work/latfs" "$shared/bench/latfs.c" $(pkg-config --cflags --libs fuse3)
  make_tree_once wide "$slow" --dirs "${BENCH_SLOW_DIRS:-400}" \
    --files "${BENCH_SLOW_FILES:-20000}"
  restore_tree "$slow"
  unmount_slow
  mkdir -p "$mnt"
  LATFS_DELAY_US=$lat_delay_us "$work/latfs" "$slow" "$mnt" -o max_threads=64 \
    </dev/null >"$work/latfs.log" 2>&1 || { cat "$work/latfs.log" >&2; return 1; }
  "$floor" "$mnt" "$work/floor.txt"   # the server's cache warm, untimed
  local one=() par16=()
  [ "${LAT_SLOW:-0}" != 1 ] || one=("$T1=$tabulon $mnt --jobs=1")
  [ "$jobs" = 16 ] || par16=("floor_par (16 jobs)=$floor_par -j 16 $mnt $work/floor_par.txt")
  compare_rounds "$lat_rounds" \
    --title "slow file system: $(size_of "$slow"), $lat_delay_us µs a request, one page" \
    --base floor --prepare "sh -c 'rm -f $mnt/FILES.HTM; sleep 1.2'" \
    "$T=$tabulon $mnt$jobs_arg" \
    "${one[@]}" \
    "floor=$floor $mnt $work/floor.txt" \
    "$P=$floor_par -j $jobs $mnt $work/floor_par.txt" \
    "${par16[@]}"
  [ ${#one[@]} -gt 0 ] || echo "(tabulon --jobs=1 left out: LAT_SLOW=1 adds it.)"
  echo "A FUSE pass-through (latfs, max_threads=64); 1.2 s pause before every"
  echo "run so that the kernel's cached entries expire."
  echo
  unmount_slow
  restore_tree "$slow"
}

peak_memory() {
  local run default one
  echo "Peak resident memory of tabulon (largest of 3 runs, /usr/bin/time;"
  echo "pages removed before every run):"
  echo
  echo "| run | $T | $T1 |"
  echo "| --- | --- | --- |"
  for run in "(a) one page:$wide" "(a) /t:$wide /t" "(b):$flat"; do
    # shellcheck disable=SC2086
    default=$(peak_kib ${run#*:} $jobs_arg)
    # shellcheck disable=SC2086
    one=$(peak_kib ${run#*:} --jobs=1)
    echo "| ${run%%:*} | $(mib "$default") | $(mib "$one") |"
    printf '{"title": "peak memory", "run": "%s", "jobs": %d, "kib": %d}\n' \
      "${run%%:*}" "$jobs" "$default" >>"$json"
    printf '{"title": "peak memory", "run": "%s", "jobs": 1, "kib": %d}\n' \
      "${run%%:*}" "$one" >>"$json"
  done
  echo
  restore_tree "$wide"
  restore_tree "$flat"
}

cleanup() {
  unmount_slow
  local tree
  for tree in "$wide" "$flat" "$slow"; do
    [ -f "$tree.state" ] && restore_tree "$tree"
  done
  return 0
}

# --- the run ------------------------------------------------------------------

install_missing "hyperfine tree g++ cmake python3" \
  "hyperfine tree g++ cmake python3"
install_missing /usr/bin/time time
mkdir -p "$work"
trap cleanup EXIT
trap 'exit 130' INT TERM
if [ -n "${BENCH_TABULON:-}" ]; then
  tabulon=$BENCH_TABULON
  revision="$tabulon"
else
  build_tabulon "$root" "$build"
  tabulon=$build/src/tabulon
  revision="$(git -C "$root" rev-parse --short HEAD)"
  git -C "$root" diff --quiet HEAD -- src || revision="$revision with changes"
fi
g++ -O2 -std=c++17 -o "$work/floor" "$shared/bench/floor.cpp"
g++ -O2 -std=c++20 -pthread -o "$work/floor_par" "$shared/bench/floor_par.cpp"
floor=$work/floor
floor_par=$work/floor_par

before=""
if [ -n "${BEFORE:-}" ]; then
  rm -rf "$work/before-src"
  mkdir -p "$work/before-src"
  git -C "$root" archive "$BEFORE" | tar -x -C "$work/before-src"
  build_tabulon "$work/before-src" "$work/before-build"
  before=$work/before-build/src/tabulon
fi

make_tree_once wide "$wide" --dirs "${BENCH_WIDE_DIRS:-4000}" \
  --files "${BENCH_WIDE_FILES:-200000}"
make_tree_once flat "$flat" --files "${BENCH_FLAT_FILES:-50000}"
restore_tree "$wide"
restore_tree "$flat"
: >"$json"

{
  echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  echo "tabulon: $revision${BEFORE:+; before: $BEFORE}. J = $jobs jobs" \
    "$([ -n "${BENCH_JOBS:-}" ] && echo "(BENCH_JOBS)" ||
      echo "(tabulon's default here: processors, at least 8, at most 16)")."
  echo "Shape (a): $(size_of "$wide"); shape (b): $(size_of "$flat")."
  echo
  check_pages
  list_mode
  tree_mode
  flat_shape
  unchanged_pages
  cold_cache
  slow_file_system
  peak_memory
  echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$results"
echo "(also in $results and $json)"
