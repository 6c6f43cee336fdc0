#!/bin/sh
# Installs what the native and the Windows builds and their tests need, on a
# fresh Debian machine as root. Does nothing when everything is there.
set -eu

packages="cmake make g++ libgtest-dev googletest python3 python3-jsonschema
  locales unicode-data tzdata strace g++-mingw-w64-x86-64-posix wine wine64"

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
if ! locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
  echo "install-deps: generating ru_RU.UTF-8"
  localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
