#!/bin/sh
# Installs, on a fresh Debian machine as root, what one kind of work needs,
# and does nothing when everything is there:
#   build    the native program (what scripts/example.sh and the Debian
#            package need);
#   windows  that and the MinGW-w64 cross compiler (the Windows zip);
#   test     everything the tests need: GoogleTest, Python, the Unicode and
#            zone data, the Windows toolchain and Wine (the default).
set -eu

build="cmake make g++"
windows="$build g++-mingw-w64-x86-64-posix"
test="$windows libgtest-dev googletest python3 python3-jsonschema locales
  unicode-data tzdata strace wine wine64"

case "${1:-test}" in
  build) packages=$build ;;
  windows) packages=$windows ;;
  test) packages=$test ;;
  *)
    echo "install-deps: usage: install-deps.sh [build|windows|test]" >&2
    exit 2
    ;;
esac

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q 'install ok installed'; then
    missing="$missing $package"
  fi
done

if [ -n "$missing" ]; then
  echo "install-deps: installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# The Windows tests run in a Russian locale (OEM 866, ANSI 1251 under Wine).
if [ "${1:-test}" = test ] &&
    ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
  echo "install-deps: generating ru_RU.UTF-8"
  localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
