#!/bin/sh
# Builds everything and runs every test: the native build with its unit and
# end-to-end tests, the POSIX backend's portable ways, the sanitizers, then
# the Windows build under Wine, then every fuzz target for about 20 seconds
# (TABULON_FUZZ_SECONDS). Installs the Debian packages it needs when they
# are missing.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh" test
. "$root/scripts/ctest-run.sh"
TABULON_TEST_SUMMARY=$(mktemp)
export TABULON_TEST_SUMMARY
trap 'rm -f "$TABULON_TEST_SUMMARY"' EXIT

werror=OFF
[ -n "${CI:-}" ] && werror=ON
# Every build keeps line tables only: enough for every report's stack and
# a debugger's place in the source, and compiles in about two thirds of the
# time full debugging information takes.
lines_only=-g1

# Beside the program, one on the POSIX backend's portable ways (see
# src/platform/posix/CMakeLists.txt), forced on this system that has
# faster ones: the platform's contract and the end-to-end tests run against
# both (the latter's names begin "portable.").
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 $lines_only -DNDEBUG" \
  -DTABULON_TESTS=ON -DTABULON_PORTABLE_POSIX_TESTS=ON \
  -DTABULON_WERROR="$werror" >/dev/null
cmake --build "$root/build" -j "$jobs"

# The core never talks to the OS directly.
if grep -rnE '#include <(windows|unistd|fcntl|dirent)\.h>|_WIN32' \
    "$root/src/common" "$root/src/descriptions" "$root/src/html" \
    "$root/src/driver"; then
  echo "test: the core must not include OS headers" >&2
  exit 1
fi

# The uppercase table is generated from the Unicode data: it must be what
# its generator makes of the data Debian ships.
generated=$(mktemp)
python3 "$root/scripts/generate-unicode-upper.py" >"$generated"
if ! cmp -s "$generated" "$root/src/common/unicode_upper.cc"; then
  echo "test: src/common/unicode_upper.cc differs from what" \
    "scripts/generate-unicode-upper.py writes" >&2
  rm -f "$generated"
  exit 1
fi
rm -f "$generated"

status=0
run_ctest "$root/build" --output-on-failure -j "$jobs" --timeout 600 ||
  status=1
# The end-to-end cases once more with every directory read on one thread:
# the pages, reports and exit codes must not depend on the job count.
TABULON_E2E_JOBS=1 run_ctest "$root/build" -L e2e --output-on-failure \
  -j "$jobs" --timeout 600 || status=1

# Directories are read on several threads: the work pool's and the walk's
# tests, every other test of thread safety, the platform's contract and runs
# on a generated tree under ThreadSanitizer, any report fatal.
tsan="-fsanitize=thread -fno-omit-frame-pointer"
cmake -S "$root" -B "$root/build-tsan" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="$lines_only" -DCMAKE_CXX_FLAGS="-O1 $tsan" \
  -DCMAKE_EXE_LINKER_FLAGS="$tsan" -DTABULON_WERROR=OFF >/dev/null
cmake --build "$root/build-tsan" -j "$jobs" --target tabulon \
  driver_walk_test driver_work_pool_test driver_exclusion_test \
  driver_walk_room_test driver_work_pool_room_test driver_progress_test \
  driver_work_pool_memory_test \
  common_spare_names_test common_per_thread_test common_chain_release_test \
  descriptions_descript_ion_test platform_contract_test
(
  export TSAN_OPTIONS=halt_on_error=1:exitcode=66
  run_ctest "$root/build-tsan" -R \
    'WalkTest|WalkRoomTest|WalkOutOfMemoryTest|DirectoryJobTest|WorkPoolTest|WorkPoolRoomTest|WorkPoolMemoryTest|PlatformContractTest|SamePages|ProgressTest|SpareNamesTest|PerThreadTest|ChainReleaseTest|ExclusionTest.MatchesFromSeveralThreadsAtOnce|DescriptIonTest.OneDirectoryIsLookedUpFromSeveralThreadsAtOnce' \
    -E 'AddressSpace' --output-on-failure -j "$jobs" --timeout 600
) || status=1

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer,
# any finding fatal. A sanitized program reserves terabytes of address space,
# so the tests that cap the address space cannot run here (nor under
# ThreadSanitizer above). Warnings are the
# native build's business: GCC's sanitizers give false ones in <regex>.
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="$lines_only" \
  -DCMAKE_CXX_FLAGS="-O1 -Wno-maybe-uninitialized $sanitize" \
  -DCMAKE_EXE_LINKER_FLAGS="$sanitize" -DTABULON_WERROR=OFF >/dev/null
cmake --build "$root/build-asan" -j "$jobs"
(
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_ctest "$root/build-asan" --output-on-failure -j "$jobs" --timeout 600 \
    -E 'OutOfMemory|AddressSpace'
) || status=1
TABULON_POSIX_PROGRAM="$root/build/src/tabulon" \
  "$root/scripts/build-windows.sh" test || status=1
# Every fuzz target for a short while, sanitizers on; a finding fails.
"$root/scripts/fuzz.sh" "${TABULON_FUZZ_SECONDS:-20}" || status=1

# One closing line over every ctest and fuzz run above.
awk '{ failed += $1; total += $2; skipped += $3 }
     END { printf "%d passed, %d failed, %d skipped\n",
                  total - failed - skipped, failed, skipped }' \
  "$TABULON_TEST_SUMMARY"
exit $status
