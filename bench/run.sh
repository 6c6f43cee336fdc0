#!/usr/bin/env bash
# Times Tabulon on synthetic trees against yardsticks of our own, in
# alternation (bench/compare.py), and prints medians, spread and ratios of
# medians to the single-thread floor. Everything it needs is in this
# repository: the floor (bench/floor.cc), the parallel floor
# (bench/floor_parallel.cc) and the slow file system (bench/slowfs.c) are
# built here; `find -printf` and `tree -H` are timed as references. One
# invocation runs:
#
#   0. checks before any timing, each stopping the run when it fails:
#      floor lists every entry (its count against find's); floor_parallel
#      writes floor's bytes at 1, 2 and J threads, one listing and a page
#      per directory; tabulon gives byte-identical pages (and FILES.JSON)
#      with --jobs=1 and its default on shape (a) one page, /t, /t with
#      --charset=utf-8 --json, and shape (b)
#   1. shape (a), one page: tabulon, tabulon --jobs=1, before, floor,
#      floor_parallel -j J, find, tree -H
#   2. shape (a) with /t: the same (less find and tree), with -t, and
#      tabulon /t --charset=utf-8 --json, whose cost over plain /t is
#      printed beside that of floor -t writing a second file per directory
#   3. shape (b): tabulon, tabulon --jobs=1, before, floor,
#      floor_parallel -j J, find, tree -H
#   4. shape (a) with /t run again over its own pages: every page comes out
#      the same and is left alone (nothing is written), against floor -t
#   5. dates in another zone: shape (a), one page, with TZ=Europe/Moscow
#      (every other part runs with TZ unset: the machine's /etc/localtime)
#   6. cold cache, shape (a) one page, caches dropped before every run (as
#      root only): tabulon, tabulon --jobs=1, floor, floor_parallel -j J,
#      and floor_parallel -s -j J and -j 16 (names and stat calls alone:
#      what no listing can go below)
#   7. a slow file system (as root with /dev/fuse): a smaller shape (a)
#      through slowfs, which waits LAT_DELAY_US in every request,
#      1.2 s pause before every run so that the kernel's cached entries
#      expire: tabulon, floor, floor_parallel -j J and -j 16, floor_parallel
#      -s -j 16 and -j 64 (first, a check that floor lists the same bytes
#      through it as on the tree itself)
#   8. peak resident memory of tabulon on every shape, default and --jobs=1
#
# J is the parallel floor's job count: the number of processors, at least 8
# and at most 16 (so that its figures compare with earlier runs); Tabulon
# runs with its own default (one a processor and one more, up to 16,
# growing while its threads wait) unless BENCH_JOBS sets both. Outside 4, every run starts without
# pages (they are removed before each run, untimed), so each one writes them
# all. Afterwards the trees are put back as they were made (tree_state.py).
#
#   bench/run.sh                         # this work tree's Tabulon
#   BEFORE=<git revision> bench/run.sh   # and that revision's, side by side
#   bench/run.sh --quick                 # small trees, few rounds: does it
#                                        # all work? (figures mean little)
#
# Settings (environment), defaults in brackets (with --quick or QUICK=1 in
# braces; a setting given still wins):
#   BENCH_DIR         trees, yardsticks and results, no blanks in it
#                     [/tmp/tabulon-bench]
#   BENCH_BUILD       build directory for this work tree [build-bench]
#   BENCH_TABULON     time this tabulon binary instead of building one
#   BEFORE            a git revision, built and timed beside it
#   BENCH_JOBS        J for tabulon (given as --jobs=J) and floor_parallel
#   ROUNDS [15] {3}, COLD_ROUNDS [8] {1}, LAT_ROUNDS [3] {1}   rounds of
#                     each part; COLD_ROUNDS=0 or LAT_ROUNDS=0 leaves it out
#   LAT_DELAY_US [200]  wait in every request of the slow file system
#   LAT_SLOW=1        also tabulon --jobs=1 on it (about 7 s a run) [0]
#   BENCH_WIDE_DIRS [4000] {200}, BENCH_WIDE_FILES [200000] {10000}  (a)
#   BENCH_FLAT_FILES [50000] {5000}                                  (b)
#   BENCH_SLOW_DIRS [400] {40}, BENCH_SLOW_FILES [20000] {2000}   slow tree
#
# Output: BENCH_DIR/results.md (also on standard output) and
# BENCH_DIR/results.jsonl. The trees are made once and kept in BENCH_DIR,
# named by their settings (wide-4000-200000, flat-50000, slow-400-20000).
# Installs what it lacks from Debian's packages (hyperfine, tree, time,
# tzdata; fuse3 and libfuse3-dev for the slow file system) when run as root.
# Not part of CI: it needs a quiet machine and takes a good while.
set -euo pipefail
shopt -s inherit_errexit

for argument in "$@"; do
  case $argument in
    --quick) QUICK=1 ;;
    *) echo "usage: bench/run.sh [--quick] (settings in the environment)" >&2; exit 64 ;;
  esac
done
quick=${QUICK:-0}
small() {  # the default, then the one of --quick
  if [ "$quick" = 1 ]; then echo "$2"; else echo "$1"; fi
}

# Dates are the machine's own unless a part says otherwise.
unset TZ
root=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-/tmp/tabulon-bench}
build=${BENCH_BUILD:-$root/build-bench}
rounds=${ROUNDS:-$(small 15 3)}
cold_rounds=${COLD_ROUNDS:-$(small 8 1)}
lat_rounds=${LAT_ROUNDS:-$(small 3 1)}
lat_delay_us=${LAT_DELAY_US:-200}
wide_dirs=${BENCH_WIDE_DIRS:-$(small 4000 200)}
wide_files=${BENCH_WIDE_FILES:-$(small 200000 10000)}
flat_files=${BENCH_FLAT_FILES:-$(small 50000 5000)}
slow_dirs=${BENCH_SLOW_DIRS:-$(small 400 40)}
slow_files=${BENCH_SLOW_FILES:-$(small 20000 2000)}
wide=$work/wide-$wide_dirs-$wide_files
flat=$work/flat-$flat_files
slow=$work/slow-$slow_dirs-$slow_files
mnt=$work/slow-mount
results=$work/results.md
json=$work/results.jsonl
other_zone=Europe/Moscow
listing_format='"%s %TY-%Tm-%Td %p\n"'

# The parallel floor's job count, and what tabulon takes without --jobs;
# BENCH_JOBS sets both.
if [ -n "${BENCH_JOBS:-}" ]; then
  [[ $BENCH_JOBS =~ ^[1-9][0-9]*$ ]] || { echo "BENCH_JOBS: not a number" >&2; exit 64; }
  jobs=$BENCH_JOBS
  tabulon_jobs=$jobs
  jobs_arg=" --jobs=$jobs"
else
  jobs=$(nproc)
  tabulon_jobs=$((jobs + 1 > 16 ? 16 : jobs + 1))
  jobs=$((jobs < 8 ? 8 : jobs > 16 ? 16 : jobs))
  jobs_arg=""
fi
# Without --jobs tabulon starts with tabulon_jobs threads and may grow while
# they wait on the file system.
if [ -n "$jobs_arg" ]; then T="tabulon ($jobs jobs)"; else T="tabulon (default)"; fi
T1="tabulon (1 job)"
P="floor_parallel ($jobs jobs)"
# Names and stat calls alone, on as many threads as help.
S="floor_parallel -s, stat only"

# --- set-up -----------------------------------------------------------------

install_packages() {  # Debian packages
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

install_missing() {  # programs, then the Debian packages that hold them
  local programs=$1 packages=$2 program
  for program in $programs; do
    command -v "$program" >/dev/null && continue
    # shellcheck disable=SC2086
    install_packages $packages
    return
  done
}

install_for_file() {  # a file, then the Debian package that holds it
  [ -e "$1" ] || install_packages "$2"
}

build_yardsticks() {
  g++ -O2 -std=c++20 -o "$work/floor" "$root/bench/floor.cc"
  g++ -O2 -std=c++20 -pthread -o "$work/floor_parallel" \
    "$root/bench/floor_parallel.cc"
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
  # The part before may leave thousands of pages and removals for the
  # kernel to write back, which it would then do in this part's first
  # rounds, slowing some commands and not others.
  sync
  python3 "$root/bench/compare.py" --rounds "$n" --json "$json" "$@"
}
compare() { compare_rounds "$rounds" "$@"; }

page_list() {  # directory: "inode path" of every page, sorted
  # A page that is written anew is a new file, so its inode number changes.
  find "$1" -name FILES.HTM -printf '%i %P\n' | LC_ALL=C sort
}

md5_of() {  # standard input: its md5 sum alone
  md5sum | cut -c1-32
}

digest_of() {  # directory, file name: "N NAME, md5 X" over their bytes
  local count sum
  count=$(find "$1" -name "$2" | wc -l)
  sum=$(cd "$1" && find . -name "$2" -print0 | LC_ALL=C sort -z |
    xargs -0 -r md5sum | cut -c1-32 | md5_of)
  echo "$count $2, md5 $sum"
}

pages_digest() {  # directory: its pages, and its FILES.JSON if any
  local pages
  pages=$(digest_of "$1" FILES.HTM)
  [ -z "$(find "$1" -name FILES.JSON | head -1)" ] ||
    pages="$pages; $(digest_of "$1" FILES.JSON)"
  echo "$pages"
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
    echo "- $title: **DIFFERENT**: $tabulon_jobs jobs $default; 1 job $one"
    echo "run.sh: --jobs=1 and $tabulon_jobs jobs give different pages; stopped" >&2
    return 1
  fi
}

peak_kib() {  # tree, tabulon's parameters after the tree: largest of 3 runs
  local tree=$1 peak=0 kib
  shift
  for _ in 1 2 3; do
    find "$tree" -name FILES.HTM -delete -o -name FILES.JSON -delete
    kib=$(/usr/bin/time -f '%M' "$tabulon" "$tree" "$@" 2>&1 >/dev/null | tail -1)
    [ "$kib" -gt "$peak" ] && peak=$kib
  done
  echo "$peak"
}

mib() { awk -v k="$1" 'BEGIN { printf "%.1f MiB (%d KiB)", k / 1024, k }'; }

median_seconds() {  # title, command: the median from results.jsonl
  python3 - "$json" "$1" "$2" <<'EOF'
import json, sys
path, title, command = sys.argv[1:]
with open(path) as f:
    for line in f:
        r = json.loads(line)
        if r["title"] == title and r["command"] == command:
            print("%.3f" % r["median"])
EOF
}

ratio() {  # a over b, two places
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}

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

same_or_stop() {  # title, what one gave, what the other gave, names
  if [ "$2" = "$3" ]; then
    echo "- $1: identical ($2)"
  else
    echo "- $1: **DIFFERENT**: $4"
    echo "run.sh: $1: different output; stopped" >&2
    return 1
  fi
}

pages_of() {  # tree, command...: digest of the .floor.htm pages it writes
  local tree=$1 made
  shift
  restore_tree "$tree"
  "$@" >/dev/null
  made=$(digest_of "$tree" .floor.htm)
  restore_tree "$tree"
  echo "$made"
}

check_yardsticks() {
  local tree listed found threads one
  echo "The yardsticks, before any timing: floor lists every entry find"
  echo "finds, and floor_parallel writes floor's bytes on any thread count:"
  echo
  for tree in "$wide" "$flat"; do
    found=$(find "$tree" -mindepth 1 -name '.*' -prune -o ! -name FILES.HTM \
      -printf . | wc -c)
    listed=$("$floor" -v "$tree" "$work/floor.txt" 2>&1 |
      sed -n 's/.*, \([0-9]*\) entries,.*/\1/p')
    same_or_stop "$(basename "$tree"), entries of floor and of find" \
      "$found" "$listed" "find $found, floor $listed"
    for threads in 1 2 "$jobs"; do
      "$floor_parallel" -j "$threads" "$tree" "$work/floor_parallel.txt"
      same_or_stop "$(basename "$tree"), floor_parallel -j $threads" \
        "md5 $(md5_of <"$work/floor.txt")" \
        "md5 $(md5_of <"$work/floor_parallel.txt")" "cmp: $(cmp \
        "$work/floor.txt" "$work/floor_parallel.txt" 2>&1 || true)"
    done
    one=$(pages_of "$tree" "$floor" -t -n .floor.htm "$tree")
    same_or_stop "$(basename "$tree"), pages of floor -t and -t -j $jobs" \
      "$one" "$(pages_of "$tree" "$floor_parallel" -t -j "$jobs" \
        -n .floor.htm "$tree")" "floor -t $one"
  done
  echo
}

check_pages() {
  echo "Pages of tabulon ($tabulon_jobs jobs) and tabulon --jobs=1, each run from the"
  echo "tree as it was made:"
  echo
  check_same_pages "shape (a), one page" "$wide"
  check_same_pages "shape (a), /t" "$wide" /t
  check_same_pages "shape (a), /t --charset=utf-8 --json" "$wide" /t \
    --charset=utf-8 --json
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
    "$P=$floor_parallel -j $jobs $wide $work/floor_parallel.txt" \
    "find=env TZ=UTC find $wide -fprintf $work/find.txt $listing_format" \
    "tree=tree -H . -s -D -o $work/tree.htm $wide"
}

tree_title="shape (a) with /t: a page per directory, written anew"
tree_mode() {
  local utf8="$T, UTF-8 and FILES.JSON" twice="floor -t, two files each"
  compare --title "$tree_title" --base "floor -t" \
    --prepare "find $wide -name FILES.HTM -delete -o -name FILES.JSON -delete" \
    "$T=$tabulon $wide /t$jobs_arg" \
    "$utf8=$tabulon $wide /t --charset=utf-8 --json$jobs_arg" \
    "$T1=$tabulon $wide /t --jobs=1" \
    ${before:+"before=$before $wide /t"} \
    "floor -t=$floor -t $wide" \
    "$twice=$floor -t -a FILES.JSON $wide" \
    "$P=$floor_parallel -t -j $jobs $wide"
  local plain with one two
  plain=$(median_seconds "$tree_title" "$T")
  with=$(median_seconds "$tree_title" "$utf8")
  one=$(median_seconds "$tree_title" "floor -t")
  two=$(median_seconds "$tree_title" "$twice")
  echo "- UTF-8 pages with FILES.JSON beside them: $(ratio "$with" "$plain") ×" \
    "the plain run ($with s against $plain s; target ≤ 1.3)"
  echo "- the least a second file in every directory costs (floor -t -a" \
    "FILES.JSON): $(ratio "$two" "$one") × floor -t ($two s against $one s)"
  echo
  restore_tree "$wide"
}

flat_shape() {
  compare --title "shape (b), $(size_of "$flat") and a FILES.BBS" \
    --base floor --prepare "rm -f $flat/FILES.HTM" \
    "$T=$tabulon $flat$jobs_arg" \
    "$T1=$tabulon $flat --jobs=1" \
    ${before:+"before=$before $flat"} \
    "floor=$floor $flat $work/floor.txt" \
    "$P=$floor_parallel -j $jobs $flat $work/floor_parallel.txt" \
    "find=env TZ=UTC find $flat -fprintf $work/find.txt $listing_format" \
    "tree=tree -H . -s -D -o $work/tree.htm $flat"
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
  # it lists Tabulon's pages as entries: one entry more per directory. It
  # leaves every directory a new date, which the pages of their parents
  # show: the dates are put back before every run (untimed).
  compare --title "$title" --base "floor -t" \
    --prepare "python3 $root/bench/tree_state.py dates $wide $wide.state" \
    "$T=$tabulon $wide /t$jobs_arg" \
    "$T1=$tabulon $wide /t --jobs=1" \
    "floor -t=$floor -t -n .floor.htm $wide"
  page_list "$wide" >"$work/pages.after"
  echo "floor -t wrote a page named .floor.htm in every directory (passed"
  echo "over by Tabulon), so it listed Tabulon's pages too; the directories'"
  echo "dates were put back before every run."
  echo "Pages tabulon wrote during the timed runs:" \
    "$(LC_ALL=C comm -13 "$work/pages.before" "$work/pages.after" | wc -l)" \
    "of $(wc -l <"$work/pages.after") (0 expected)."
  echo "The first run, from \"$tree_title\":" \
    "$T $(median_of "$tree_title" "$T"), $T1 $(median_of "$tree_title" "$T1")."
  echo
  restore_tree "$wide"
}

other_zone_title="shape (a), one page, TZ=$other_zone"
other_zone_dates() {
  local zone="env TZ=$other_zone" name unset_title
  unset_title="shape (a), $(size_of "$wide"), one page"
  compare --title "$other_zone_title" --base floor \
    --prepare "rm -f $wide/FILES.HTM" \
    "$T=$zone $tabulon $wide$jobs_arg" \
    "$T1=$zone $tabulon $wide --jobs=1" \
    ${before:+"before=$zone $before $wide"} \
    "floor=$zone $floor $wide $work/floor.txt"
  echo "With TZ=$other_zone against TZ unset ($(readlink -f /etc/localtime))," \
    "the same shape:"
  for name in "$T" "$T1" ${before:+before} floor; do
    echo "- $name: $(median_seconds "$other_zone_title" "$name") s against" \
      "$(median_seconds "$unset_title" "$name") s"
  done
  echo
  restore_tree "$wide"
}

cold_cache() {
  [ "$cold_rounds" != 0 ] || return 0
  if [ "$(id -u)" != 0 ] || [ ! -w /proc/sys/vm/drop_caches ]; then
    echo "Cold cache: skipped (needs root to drop the caches)."
    echo
    return
  fi
  local bound16=()
  [ "$jobs" = 16 ] || bound16=("$S (16 jobs)=$floor_parallel -s -j 16 $wide $work/floor_parallel.txt")
  compare_rounds "$cold_rounds" \
    --title "cold cache, shape (a), one page, caches dropped before every run" \
    --base floor \
    --prepare "sh -c 'rm -f $wide/FILES.HTM; sync; echo 3 > /proc/sys/vm/drop_caches'" \
    "$T=$tabulon $wide$jobs_arg" \
    "$T1=$tabulon $wide --jobs=1" \
    "floor=$floor $wide $work/floor.txt" \
    "$P=$floor_parallel -j $jobs $wide $work/floor_parallel.txt" \
    "$S ($jobs jobs)=$floor_parallel -s -j $jobs $wide $work/floor_parallel.txt" \
    "${bound16[@]}"
  echo "$S: every directory listed and every entry stat'ed,"
  echo "nothing else read or written; no listing of sizes and dates takes less."
  echo
  restore_tree "$wide"
}

unmount_slow() {
  if mountpoint -q "$mnt"; then
    fusermount3 -u "$mnt" || umount -l "$mnt"
  fi
}

slow_file_system() {
  [ "$lat_rounds" != 0 ] || return 0
  if [ "$(id -u)" != 0 ] || [ ! -c /dev/fuse ]; then
    echo "Slow file system: skipped (needs root and /dev/fuse)."
    echo
    return
  fi
  install_missing "fusermount3 pkg-config" "fuse3 libfuse3-dev pkg-config"
  pkg-config --exists fuse3 || install_packages libfuse3-dev
  # shellcheck disable=SC2046
  gcc -O2 -o "$work/slowfs" "$root/bench/slowfs.c" $(pkg-config --cflags --libs fuse3)
  make_tree_once wide "$slow" --dirs "$slow_dirs" --files "$slow_files"
  restore_tree "$slow"
  unmount_slow
  mkdir -p "$mnt"
  "$work/slowfs" "$slow" "$mnt" "$lat_delay_us" -o max_threads=64 \
    </dev/null >"$work/slowfs.log" 2>&1 || { cat "$work/slowfs.log" >&2; return 1; }
  # Untimed: warms the server's cache, and shows that the pass-through
  # passes everything through.
  "$floor" "$mnt" "$work/floor.txt"
  "$floor" "$slow" "$work/floor_parallel.txt"
  same_or_stop "floor through slowfs and on the tree itself" \
    "md5 $(md5_of <"$work/floor.txt")" \
    "md5 $(md5_of <"$work/floor_parallel.txt")" "cmp: $(cmp \
    "$work/floor.txt" "$work/floor_parallel.txt" 2>&1 || true)"
  local one=() par16=()
  [ "${LAT_SLOW:-0}" != 1 ] || one=("$T1=$tabulon $mnt --jobs=1")
  [ "$jobs" = 16 ] || par16=("floor_parallel (16 jobs)=$floor_parallel -j 16 $mnt $work/floor_parallel.txt")
  compare_rounds "$lat_rounds" \
    --title "slow file system: $(size_of "$slow"), $lat_delay_us µs a request, one page" \
    --base floor --prepare "sh -c 'rm -f $mnt/FILES.HTM; sleep 1.2'" \
    "$T=$tabulon $mnt$jobs_arg" \
    "${one[@]}" \
    "floor=$floor $mnt $work/floor.txt" \
    "$P=$floor_parallel -j $jobs $mnt $work/floor_parallel.txt" \
    "${par16[@]}" \
    "$S (16 jobs)=$floor_parallel -s -j 16 $mnt $work/floor_parallel.txt" \
    "$S (64 jobs)=$floor_parallel -s -j 64 $mnt $work/floor_parallel.txt"
  [ ${#one[@]} -gt 0 ] || echo "(tabulon --jobs=1 left out: LAT_SLOW=1 adds it.)"
  echo "A FUSE pass-through (slowfs, max_threads=64); 1.2 s pause before every"
  echo "run so that the kernel's cached entries expire; $S:"
  echo "names and stat calls alone."
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
  for run in "(a) one page:$wide" "(a) /t:$wide /t" \
    "(a) /t, UTF-8 and FILES.JSON:$wide /t --charset=utf-8 --json" \
    "(b):$flat"; do
    # shellcheck disable=SC2086
    default=$(peak_kib ${run#*:} $jobs_arg)
    # shellcheck disable=SC2086
    one=$(peak_kib ${run#*:} --jobs=1)
    echo "| ${run%%:*} | $(mib "$default") | $(mib "$one") |"
    printf '{"title": "peak memory", "run": "%s", "jobs": %d, "kib": %d}\n' \
      "${run%%:*}" "$tabulon_jobs" "$default" >>"$json"
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
install_for_file "/usr/share/zoneinfo/$other_zone" tzdata
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
build_yardsticks
floor=$work/floor
floor_parallel=$work/floor_parallel

before=""
if [ -n "${BEFORE:-}" ]; then
  rm -rf "$work/before-src"
  mkdir -p "$work/before-src"
  git -C "$root" archive "$BEFORE" | tar -x -C "$work/before-src"
  build_tabulon "$work/before-src" "$work/before-build"
  before=$work/before-build/src/tabulon
fi

make_tree_once wide "$wide" --dirs "$wide_dirs" --files "$wide_files"
make_tree_once flat "$flat" --files "$flat_files"
restore_tree "$wide"
restore_tree "$flat"
: >"$json"

{
  echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  echo "tabulon: $revision${BEFORE:+; before: $BEFORE}. J = $jobs jobs" \
    "$([ -n "${BENCH_JOBS:-}" ] && echo "(BENCH_JOBS, for tabulon too)" ||
      echo "(the parallel floor's: processors, at least 8, at most 16;" \
        "tabulon's default here: $tabulon_jobs, growing while threads wait)")."
  echo "Shape (a): $(size_of "$wide"); shape (b): $(size_of "$flat")."
  echo "TZ unset (dates in $(readlink -f /etc/localtime)) but where a part names a zone."
  [ "$quick" != 1 ] || echo "**Quick run**: small trees, few rounds."
  echo
  check_yardsticks
  check_pages
  list_mode
  tree_mode
  flat_shape
  unchanged_pages
  other_zone_dates
  cold_cache
  slow_file_system
  peak_memory
  echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee "$results"
echo "(also in $results and $json)"
