#!/usr/bin/env bash
# Runs the catalogue and template benchmarks and times `cat` (and, for the
# templates, `sed` with the same 18 substitutions) on the very files they use,
# on the same machine, and prints each figure beside its reference with the
# ratio. Times are medians of 5 runs (3 for sed on the large template).
#
# Usage: bench/compare.sh [BUILD_DIR]   (default: build; the benchmarks must be built:
#        cmake --build BUILD_DIR --target catalogue_bench template_bench)
set -euo pipefail

build=${1:-build}
for program in catalogue_bench template_bench; do
  if [[ ! -x "$build/bench/$program" ]]; then
    echo "missing $build/bench/$program: build the targets catalogue_bench and template_bench" >&2
    exit 1
  fi
done

dir=$(mktemp -d /tmp/install-bench.XXXXXX)
trap 'rm -rf "$dir"' EXIT
export BENCH_DIR=$dir

# Median real time (ms) of each benchmark, as "name time" lines.
run_benchmark() {
  "$build/bench/$1" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null |
    awk -F, '$1 ~ /_median"?$/ { name = $1; gsub(/"/, "", name); sub(/\/real_time_median$/, "", name);
                               t = $3; if ($5 ~ /us/) t /= 1000; if ($5 ~ /ns/) t /= 1e6; if ($5 ~ /^"?s"?$/) t *= 1000;
                               print name, t }'
}

# Median wall time (ms) of `runs` runs of a command.
median_ms() {
  local runs=$1
  shift
  local times=()
  for ((i = 0; i < runs; ++i)); do
    local start end
    start=$(date +%s%N)
    "$@"
    end=$(date +%s%N)
    times+=($((end - start)))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk -v m=$(((runs + 1) / 2)) 'NR == m { printf "%.3f", $1 / 1e6 }'
}

cat_to_null() { cat "$1" >/dev/null; }
cat_to_file() { cat "$1" >"$1.cat"; }
sed_to_file() {
  sed -e 's|%%%FILE_PREFIX%%%|file:|g' -e 's|%%%SERVER_ROOT%%%|/opt/zora/server|g' -e 's|%%%HTTP_PORT%%%|8080|g' \
    -e 's|%%%SERVER_NAME%%%|www.example.test|g' -e 's|%%%SERVER_ID%%%|web1|g' \
    -e 's|%%%INSTANCE_ROOT%%%|/opt/zora/server|g' -e 's|%%%DEFAULT_DOC_ROOT%%%|/opt/zora/server/docs|g' \
    -e 's|%%%JMS_SERVICE_PORT%%%|7676|g' -e 's|%%%JMS_SERVICE_USER_NAME%%%|admin|g' \
    -e 's|%%%JMS_SERVICE_PASSWORD%%%|secret|g' -e 's|%%%JAVA_HOME%%%|/usr/lib/jvm/java|g' \
    -e 's|%%%QBUS_BIN%%%|/opt/zora/server/qbus/bin|g' -e 's|%%%QBUS_LIB%%%|/opt/zora/server/qbus/lib|g' \
    -e 's|%%%DEFAULT_LOCALE%%%|en_US|g' -e 's|%%%WEBSERVICES_LIB%%%|/opt/zora/server/lib/ws|g' \
    -e 's|%%%ORB_LISTENER1_PORT%%%|3700|g' -e 's|%%%INSTALL_CONFIG_ROOT%%%|/opt/zora/server/config|g' \
    -e 's|%%%JAVA_SEP%%%|:|g' "$1" >"$1.sed"
}

row() { # what size ours reference_name reference
  awk -v w="$1" -v s="$2" -v o="$3" -v rn="$4" -v r="$5" \
    'BEGIN { printf "%-28s %10s %12.3f   %-10s %12.3f %8.2f\n", w, s, o, rn, r, (r > 0 ? o / r : 0) }'
}

printf '%-28s %10s %12s   %-10s %12s %8s\n' "benchmark (median)" "size" "ours ms" "reference" "ref ms" "ratio"

while read -r name ours; do
  entries=${name##*/}
  file=$dir/catalogue-$entries.conf
  size=$(du -h --apparent-size "$file" | cut -f1)
  case $name in
  BM_OpenClose/*) row "catalogue open+close $entries" "$size" "$ours" "cat>null" "$(median_ms 5 cat_to_null "$file")" ;;
  BM_OpenRewriteClose/*) row "catalogue open+rewrite $entries" "$size" "$ours" "cat>file" "$(median_ms 5 cat_to_file "$file")" ;;
  esac
done < <(run_benchmark catalogue_bench)

while read -r name ours; do
  megabytes=${name##*/}
  file=$dir/template-${megabytes}MB.xml
  size=$(du -h --apparent-size "$file" | cut -f1)
  row "template expansion ${megabytes}MB" "$size" "$ours" "cat>file" "$(median_ms 5 cat_to_file "$file")"
  runs=5
  ((megabytes >= 100)) && runs=3
  row "template expansion ${megabytes}MB" "$size" "$ours" "sed>file" "$(median_ms $runs sed_to_file "$file")"
  if ! cmp -s "$file.out" "$file.sed"; then
    echo "warning: the expansion of $file differs from sed's" >&2
  fi
done < <(run_benchmark template_bench)
