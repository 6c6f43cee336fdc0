#!/bin/sh
# Builds everything and runs every test: the native build with its unit and
# end-to-end tests, then the Windows build under Wine. Installs the Debian
# packages it needs when they are missing.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

"$root/scripts/install-deps.sh"

werror=OFF
[ -n "${CI:-}" ] && werror=ON

cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTABULON_WERROR="$werror" >/dev/null
cmake --build "$root/build" -j "$jobs"

# The core never talks to the OS directly.
if grep -rnE '#include <(windows|unistd|fcntl|dirent)\.h>|_WIN32' \
    "$root/src/common" "$root/src/descriptions" "$root/src/html" \
    "$root/src/driver"; then
  echo "test: the core must not include OS headers" >&2
  exit 1
fi

status=0
(cd "$root/build" && ctest --output-on-failure -j "$jobs" --timeout 600) ||
  status=1
"$root/scripts/build-windows.sh" test || status=1
exit $status
