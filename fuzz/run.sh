#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the fuzz targets with clang in build-fuzz, replays the inputs of past
# findings (regressions/<target>/), then fuzzes each target for a bounded time
# on a temporary copy of its seed corpus (the committed corpus never grows).
# Exits non-zero on any finding.
#
#   fuzz/run.sh [seconds-per-target] [target ...]     (default 30 s, all targets)
#
# Environment: BUILD_DIR (default <repo>/build-fuzz), CC/CXX (default clang,
# clang++), FUZZ_KEEP=1 keeps the working directory with logs and artifacts.
set -u

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
seconds=${1:-30}
[ $# -gt 0 ] && shift
targets=${*:-"catalogue token_replacer form_body docs_list settings html_template"}
build=${BUILD_DIR:-$repo/build-fuzz}

case $seconds in
  '' | *[!0-9]*) echo "usage: $0 [seconds] [target ...]" >&2; exit 2 ;;
esac

# Largest input per target: beyond the pieces each reader cuts lines into
# (8191 bytes for catalogues and templates, 1023 and 1022 for the HTML
# templates and docs.lst), so that piece boundaries are reached.
max_len() {
  case $1 in
    catalogue | token_replacer) echo 20000 ;;
    html_template | docs_list) echo 4096 ;;
    *) echo 4096 ;;
  esac
}

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$repo" -B "$build" -G Ninja -DFUZZ=ON >/dev/null || exit 1
for target in $targets; do
  cmake --build "$build" -j2 --target "fuzz_$target" >/dev/null || { echo "build of fuzz_$target failed" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-run.XXXXXX") || exit 1
[ "${FUZZ_KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT INT TERM

status=0
printf '%-16s %10s %10s %9s  %s\n' target runs findings seconds result
for target in $targets; do
  binary=$build/fuzz/fuzz_$target
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  log=$work/$target/log
  result=ok

  # Past findings first: each must now pass.
  if [ -d "$here/regressions/$target" ] && [ -n "$(ls -A "$here/regressions/$target")" ]; then
    if ! "$binary" -runs=1 "$here/regressions/$target"/* >"$work/$target/regressions.log" 2>&1; then
      result="regression fails (see $work/$target/regressions.log)"
      status=1
      FUZZ_KEEP=1
    fi
  fi

  cp -R "$here/corpus/$target/." "$work/$target/corpus/"
  start=$(date +%s)
  "$binary" -max_total_time="$seconds" -max_len="$(max_len "$target")" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" "$work/$target/corpus" >"$log" 2>&1
  code=$?
  elapsed=$(($(date +%s) - start))
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  findings=$(ls "$work/$target/artifacts" | wc -l)
  if [ "$code" -ne 0 ] || [ "$findings" -ne 0 ]; then
    result="FINDING (exit $code; log and inputs in $work/$target)"
    status=1
    FUZZ_KEEP=1
    grep -m1 -A3 -E 'property broken|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error' "$log" >&2
  fi
  printf '%-16s %10s %10s %9s  %s\n' "$target" "${runs:-?}" "$findings" "$elapsed" "$result"
done
if [ "${FUZZ_KEEP:-0}" = 1 ]; then
  trap - EXIT INT TERM
  echo "working directory kept: $work"
fi
exit $status
