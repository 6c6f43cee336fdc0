#!/bin/sh
# Renders pages of the example archive with headless Chromium (Debian's
# package, installed when missing): the list-mode page into
# docs/example.png, the picture in the README, and the UTF-8 page of its
# "dos" directory, whose description shades with code page 866 blocks, into
# docs/example-utf8.png. The first argument is the build directory to take
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
mkdir -p "$work/utf8"
cp -R "$root/examples/archive" "$work/"
cp -R "$root/examples/archive" "$work/utf8/"
"$build/src/tabulon" "$work/archive" >/dev/null
"$build/src/tabulon" "$work/utf8/archive" /t --charset=utf-8 >/dev/null

# A profile of its own, and nothing that would reach out to the network.
mkdir -p "$root/docs"
shoot() {  # page, picture, height
  chromium --headless --no-sandbox --disable-gpu --disable-quic \
    --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --hide-scrollbars \
    --user-data-dir="$work/profile" --window-size="960,$3" \
    --screenshot="$root/docs/$2" "file://$1" 2>/dev/null
  echo "docs/$2"
}
shoot "$work/archive/FILES.HTM" example.png 390
shoot "$work/utf8/archive/dos/FILES.HTM" example-utf8.png 260
