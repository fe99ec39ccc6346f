#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up the machine, builds, and runs every test: once plainly, once under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the fuzz targets.
# Each pass runs whatever the one before it found; the last line sums all of
# them up, and the script fails when any of them failed.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/setup-web.sh
scripts/build.sh plain
scripts/build.sh asan
scripts/check-exports.sh build/install

logs=$(mktemp -d "${TMPDIR:-/tmp}/test-logs.XXXXXX")
trap 'rm -rf "$logs"' EXIT
failed=no
# outcome NAME LOG STATUS: "NAME passed", or "NAME FAILED", with ctest's count when LOG has it.
outcome() {
  count=$(sed -n 's/^[0-9]*% tests passed, \([0-9]* tests* failed out of [0-9]*\)$/\1/p' "$2" 2>/dev/null | tail -n 1)
  if [ "$3" -eq 0 ]; then word=passed; else word=FAILED; fi
  printf '%s %s%s' "$1" "$word" "${count:+ ($count)}"
}

status=0
ctest --test-dir build --output-on-failure -j2 -O "$logs/plain" || status=$?
[ "$status" -eq 0 ] || failed=yes
plain=$(outcome "plain pass" "$logs/plain" "$status")

status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2 -O "$logs/asan" || status=$?
[ "$status" -eq 0 ] || failed=yes
sanitized=$(outcome "sanitizer pass" "$logs/asan" "$status")

# Every fuzz target, 30 seconds each, after replaying the inputs of past findings.
status=0
fuzz/run.sh 30 || status=$?
[ "$status" -eq 0 ] || failed=yes
fuzzing=$(outcome "fuzzing" /dev/null "$status")

echo "Summary: $plain; $sanitized; $fuzzing."
[ "$failed" = no ]
