#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages the build and the tests need (only the missing
# ones): scripts/setup.sh [PACKAGE...], by default the whole set.
set -eu
packages="cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libicu-dev icu-devtools perl util-linux libbenchmark-dev strace valgrind clang libclang-rt-14-dev libxml2-utils groff-base man-db ansible-core nlohmann-json3-dev python3-voluptuous systemd locales-all"
[ $# -eq 0 ] || packages="$*"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086  # one word per package
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
