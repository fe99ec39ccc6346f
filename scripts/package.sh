#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian packages instance-install and instance-install-sample
# from a clean copy of the committed tree (HEAD; changes not committed are
# not in them), checks them with lintian (any error or warning fails), and
# puts the packages, the .changes and the lintian report in OUTPUT_DIR
# (build-deb/ by default). The packaging tools and the build's dependencies
# are installed first when missing.
#
# With --test the packages are also tested as installed: autopkgtest runs
# debian/tests on this machine itself (its "null" testbed installs the
# packages here, so it needs root), then both packages are purged and no
# file of theirs may be left.
#
#   scripts/package.sh [--test] [OUTPUT_DIR]
set -eu
cd "$(dirname "$0")/.."
source_dir=$(pwd)
test_installed=no
if [ "${1:-}" = --test ]; then
  test_installed=yes
  shift
fi
case "${1:-}" in
  -*) echo "usage: scripts/package.sh [--test] [OUTPUT_DIR]" >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "usage: scripts/package.sh [--test] [OUTPUT_DIR]" >&2; exit 2; }
output=${1:-build-deb}

step() {
  printf '\n== %s\n' "$*"
}
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

step "Checking the packaging tools"
scripts/setup.sh dpkg-dev debhelper fakeroot lintian devscripts equivs git
[ "$test_installed" = no ] || scripts/setup.sh autopkgtest

if ! git diff --quiet HEAD -- 2>/dev/null; then
  echo "Note: the working tree has changes that are not committed; the packages are built from HEAD."
fi
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
arch=$(dpkg --print-architecture)

work=$(mktemp -d "${TMPDIR:-/tmp}/package.XXXXXX")
trap 'rm -rf "$work"' EXIT
step "Copying the committed tree (HEAD, $(git rev-parse --short HEAD)) to $work/src"
mkdir "$work/src"
git archive --format=tar HEAD | tar -x -C "$work/src"

cd "$work/src"
if ! dpkg-checkbuilddeps >/dev/null 2>&1; then
  step "Installing the build dependencies (mk-build-deps)"
  # A package that depends on debian/control's Build-Depends, installed and
  # removed again: what it pulled in stays.
  mkdir "$work/deps"
  (cd "$work/deps" && $SUDO mk-build-deps --install --remove \
    --tool 'apt-get -y -qq --no-install-recommends' "$work/src/debian/control" >/dev/null)
fi

step "Building the packages (dpkg-buildpackage -us -uc -b)"
if ! dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  echo "The build failed; its last lines are above." >&2
  exit 1
fi
changes=$work/instance-install_${version}_${arch}.changes

step "lintian (errors and warnings fail)"
status=0
lintian --fail-on error,warning --info "$changes" >"$work/lintian.txt" 2>&1 || status=$?
cat "$work/lintian.txt"
[ "$status" -eq 0 ] || { echo "lintian found errors or warnings." >&2; exit 1; }
echo "No error, no warning."

cd "$source_dir"
mkdir -p "$output"
for file in "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$work/build.log" "$work/lintian.txt"; do
  cp "$file" "$output/"
done
output=$(cd "$output" && pwd)
tool_deb=$output/instance-install_${version}_${arch}.deb
sample_deb=$output/instance-install-sample_${version}_all.deb

if [ "$test_installed" = yes ]; then
  step "autopkgtest on this machine (-- null)"
  [ "$(id -u)" -eq 0 ] || { echo "autopkgtest's null testbed installs the packages here: run as root." >&2; exit 1; }
  autopkgtest "$tool_deb" "$sample_deb" "$work/src/" -- null

  step "Installing both packages with apt-get, then purging them"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$tool_deb" "$sample_deb" >/dev/null
  dpkg -L instance-install instance-install-sample 2>/dev/null | grep -vx "/\." | sort -u >"$work/files"
  [ -s "$work/files" ] || { echo "dpkg lists no file of the packages." >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq instance-install-sample instance-install >/dev/null
  left=""
  while IFS= read -r path; do
    # What stays must be another package's (a directory such as /usr/share/doc).
    if { [ -e "$path" ] || [ -L "$path" ]; } && ! dpkg-query -S "$path" >/dev/null 2>&1; then
      left="$left $path"
    fi
  done <"$work/files"
  [ -z "$left" ] || { echo "Left behind after the purge:$left" >&2; exit 1; }
  echo "Nothing of theirs is left."
fi

step "Done"
echo "Packages:"
echo "  $tool_deb"
echo "  $sample_deb"
echo "Install them with: apt-get install $tool_deb $sample_deb"
echo "lintian's report: $output/lintian.txt; the build's log: $output/build.log"
