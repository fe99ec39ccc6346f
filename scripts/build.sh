#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the tool and its tests: scripts/build.sh [plain|asan]
set -eu
cd "$(dirname "$0")/.."
kind=${1:-plain}
case "$kind" in
  plain) dir=build; flags="" ;;
  asan) dir=build-asan; flags="-DSANITIZE=ON -DCMAKE_BUILD_TYPE=Debug" ;;
  *) echo "usage: scripts/build.sh [plain|asan]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja $flags >/dev/null
cmake --build "$dir"
