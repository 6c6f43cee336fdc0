#!/bin/sh
# Cross-builds tabulon.exe and the Windows tests into build-win with
# MinGW-w64. With the argument "test", runs them under Wine with ctest, in a
# Wine prefix of its own under build-win and a Russian locale, and then the
# end-to-end tests against tabulon.exe: a native test program (built in
# build-e2e-wine) that runs it under Wine on real trees.
set -eu
started=$(date +%s)

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-win"
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S "$root" -B "$build" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs"

# Only system DLLs: the program must run from a bare copy.
deps=$(x86_64-w64-mingw32-objdump -p "$build/src/tabulon.exe" |
  sed -n 's/^\tDLL Name: //p')
for dll in $deps; do
  case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*.dll | \
      user32.dll | advapi32.dll | ntdll.dll | shell32.dll) ;;
    *)
      echo "build-windows: tabulon.exe needs $dll" >&2
      exit 1
      ;;
  esac
done

[ "${1:-}" = test ] || exit 0

export WINEPREFIX="$build/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko prompt
export LANG=ru_RU.UTF-8
unset DISPLAY
wine=$(command -v wine64 || command -v wine)

# The first start creates the prefix, which takes a while; then every test
# program starts in a fraction of a second.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1 || {
    echo "build-windows: could not initialise the Wine prefix" >&2
    exit 1
  }
fi
# Keep one wineserver, with Wine's services started, for the whole run, and
# end it afterwards. Neither may hold this script's output open. A server
# started by a program (wineboot's above) ends whenever no program is left,
# as between two tests, and a test starting at that moment fails ("wine
# client error: recvmsg"); while it runs, a persistent one can't start. So
# the one left goes first.
timeout 60 wineserver -w || wineserver -k || true
trap 'wineserver -k 2>/dev/null || true' EXIT
if ! wineserver -p </dev/null >/dev/null 2>&1; then
  echo "build-windows: could not start a wineserver that stays" >&2
  exit 1
fi
if ! timeout 120 "$wine" cmd /c exit </dev/null >/dev/null 2>&1; then
  echo "build-windows: Wine does not start" >&2
  exit 1
fi

. "$root/scripts/ctest-run.sh"
status=0
run_ctest "$build" --output-on-failure -j "$jobs" --timeout 300 || status=1

native="$root/build-e2e-wine"
werror=OFF
[ -n "${CI:-}" ] && werror=ON
# TABULON_POSIX_PROGRAM: a POSIX build's program to compare with, so that
# none is built here.
cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DTABULON_WERROR="$werror" -DTABULON_WINDOWS_BUILD="$build" \
  -DTABULON_POSIX_PROGRAM="${TABULON_POSIX_PROGRAM:-}" >/dev/null
cmake --build "$native" -j "$jobs" --target e2e_wine_test
run_ctest "$native" -L wine --output-on-failure -j "$jobs" --timeout 300 ||
  status=1

echo "build-windows: the Windows leg took $(($(date +%s) - started)) s"
exit $status
