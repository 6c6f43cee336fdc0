#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time, one after
# the other. Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# Seeds come from fuzz/corpus/<target>/; what a run learns is kept in
# build-fuzz/corpus/<target>/ and any finding in build-fuzz/findings/.
# Exits 1 when a target finds a fault. When TABULON_TEST_SUMMARY names a
# file, adds "failed total skipped" of the targets to it (as
# scripts/ctest-run.sh does for ctest).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=${*:-"description_file_fuzzer descript_ion_fuzzer lookup_fuzzer command_line_fuzzer
  page_text_fuzzer page_fuzzer"}
build="$root/build-fuzz"

missing=""
for package in clang libclang-rt-dev cmake make; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q 'install ok installed'; then
    missing="$missing $package"
  fi
done
if [ -n "$missing" ]; then
  echo "fuzz: installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

flags="-gline-tables-only -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DTABULON_TESTS=OFF -DTABULON_FUZZ=ON >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j 2 --target $targets

mkdir -p "$build/findings"
# One target a processor at a time: each runs on one thread.
parallel=$(nproc 2>/dev/null || echo 1)
running=0
for target in $targets; do
  mkdir -p "$build/corpus/$target"
  echo "fuzz: $target for ${seconds}s"
  rm -f "$build/$target.status"
  (
    code=0
    "$build/fuzz/$target" -max_total_time="$seconds" -max_len=8192 \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$build/findings/$target-" \
      "$build/corpus/$target" "$root/fuzz/corpus/$target" \
      >"$build/$target.log" 2>&1 || code=$?
    echo "$code" >"$build/$target.status"
  ) &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait
    running=0
  fi
done
wait

status=0
total=0
failed=0
for target in $targets; do
  total=$((total + 1))
  if [ "$(cat "$build/$target.status" 2>/dev/null)" != 0 ]; then
    echo "fuzz: $target found a fault, see $build/$target.log" >&2
    tail -n 30 "$build/$target.log" >&2
    status=1
    failed=$((failed + 1))
  fi
  grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' \
    "$build/$target.log" | tail -n 2 || true
done
echo "fuzz: $failed of $total targets found a fault"
if [ -n "${TABULON_TEST_SUMMARY:-}" ]; then
  echo "$failed $total 0" >>"$TABULON_TEST_SUMMARY"
fi
exit $status
