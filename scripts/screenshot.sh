#!/bin/sh
# Renders the list-mode page of the example archive with headless Chromium
# (Debian's package, installed when missing) into docs/example.png, the
# picture in the README. The first argument is the build directory to take
# tabulon from (build when left out; it is built there if missing).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-"$root/build"}
case $build in /*) ;; *) build="$PWD/$build" ;; esac

for package in chromium fonts-dejavu-core; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q 'install ok installed'; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "$package" >/dev/null
  fi
done
if [ ! -x "$build/src/tabulon" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 2 --target tabulon
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -R "$root/examples/archive" "$work/"
"$build/src/tabulon" "$work/archive" >/dev/null

# A profile of its own, and nothing that would reach out to the network.
mkdir -p "$root/docs"
chromium --headless --no-sandbox --disable-gpu --disable-quic \
  --no-first-run --disable-background-networking --disable-component-update \
  --disable-sync --hide-scrollbars --user-data-dir="$work/profile" \
  --window-size=960,390 --screenshot="$root/docs/example.png" \
  "file://$work/archive/FILES.HTM" 2>/dev/null
echo "docs/example.png"
