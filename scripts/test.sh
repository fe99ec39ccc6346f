#!/bin/sh
# Sets up the machine, builds, and runs every test: once plainly, once under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/setup-web.sh
scripts/build.sh plain
scripts/build.sh asan
scripts/check-exports.sh build/install
ctest --test-dir build --output-on-failure -j2
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j2
# Every fuzz target, 30 seconds each, after replaying the inputs of past findings.
fuzz/run.sh 30
