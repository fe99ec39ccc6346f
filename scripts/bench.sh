#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs every benchmark of the tool beside its reference on this machine and
# writes the table into BENCHMARKS.md and the plot into bench/benchmarks.png.
#
#   scripts/bench.sh            install what is missing, build, measure, write
#   scripts/bench.sh --print    the same, but only print the table
#   scripts/bench.sh --quick    fewer runs and no 1 GB template (a trial run)
#   scripts/bench.sh --listing  only the listing rows (6), printed, not written
#
# Every figure is a median of several runs, and every ratio is taken between
# figures measured in this same run: the machines here are shared and noisy,
# so absolute times vary while ratios hold. Needs root for the packages and
# for the creation as root (the instance goes to the user `daemon`).
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
build=$project/build-bench

write_files=1
quick=0
listing_only=0
for argument in "$@"; do
  case $argument in
    --print) write_files=0 ;;
    --quick) quick=1 ;;
    --listing) listing_only=1; write_files=0 ;;
    *) echo "usage: scripts/bench.sh [--print] [--quick] [--listing]" >&2; exit 2 ;;
  esac
done

say() { printf '%s\n' "$*" >&2; }
# The type of the file system holding a path (findmnt may list stacked mounts).
fs_type() { findmnt -n -o FSTYPE -T "$1" 2>/dev/null | head -n 1 | grep . || echo '?'; }

# --- What the benchmarks need ------------------------------------------------
install_packages() {
  scripts/setup.sh
  local missing="" package
  for package in libbenchmark-dev hyperfine gnuplot-nox fonts-dejavu-core time; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing="$missing $package"
  done
  if [[ -n $missing ]]; then
    say "Installing:$missing"
    local sudo=""
    [[ $(id -u) -eq 0 ]] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
  fi
}

build_release() {
  say "Building the Release build in $build"
  cmake -S "$project" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  local targets=(install_tool instancectl bench_tool docroot_bench sample_installation)
  ((listing_only)) && targets=(instancectl sample_installation)
  cmake --build "$build" --target "${targets[@]}" >/dev/null
}

install_packages
build_release

tool=$build/bench/bench_tool
install=$build/install
instancectl=$build/instancectl
work=$(mktemp -d /tmp/install-bench.XXXXXX)
cleanup() { rm -rf "$work" /dev/shm/install-bench.*; }
trap cleanup EXIT
results=$work/results.txt  # one line per row: key ours reference
: >"$results"

if ((quick)); then rounds=1; runs=5; else rounds=3; runs=7; fi

# --- Measuring ----------------------------------------------------------------
# Median of a list of numbers on standard input.
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) { print "nan"; exit } m = int((NR + 1) / 2); print (NR % 2 ? v[m] : (v[m] + v[m + 1]) / 2) }'; }

# Median wall time in ms of `command`, over `count` hyperfine runs.
# Options before "--" go to hyperfine (--prepare, -N, ...).
hyperfine_ms() {
  local count=$1
  shift
  local options=()
  while [[ $1 != -- ]]; do options+=("$1"); shift; done
  shift
  local csv=$work/hyperfine.csv
  [[ " ${options[*]} " == *" --warmup "* ]] || options+=(--warmup 1)
  hyperfine --style none --runs "$count" --export-csv "$csv" "${options[@]}" "$@" >/dev/null 2>&1 ||
    { say "hyperfine failed: $*"; hyperfine --runs 1 "${options[@]}" "$@" >&2 || true; exit 1; }
  awk -F, 'NR == 2 { printf "%.3f\n", $4 * 1000 }' "$csv"
  # Processor time (user + system, mean), for the caller that wants it.
  awk -F, 'NR == 2 { printf "%.3f\n", ($5 + $6) * 1000 }' "$csv" >"$work/last-cpu.txt"
}

# Measures `ours` and `reference` in alternating rounds and records
# "key ours_ms reference_ms" (medians of the rounds' medians).
#   pair KEY COUNT "HYPERFINE OPTIONS" "OURS" "REFERENCE"
pair() {
  local key=$1 count=$2 options=$3 ours=$4 reference=$5 round
  local ours_times=() reference_times=() ours_cpu=() reference_cpu=()
  for ((round = 0; round < rounds; ++round)); do
    # shellcheck disable=SC2086 # the options are words
    ours_times+=("$(hyperfine_ms "$count" $options -- "$ours")")
    ours_cpu+=("$(cat "$work/last-cpu.txt")")
    # shellcheck disable=SC2086
    reference_times+=("$(hyperfine_ms "$count" $options -- "$reference")")
    reference_cpu+=("$(cat "$work/last-cpu.txt")")
  done
  local o r oc rc
  o=$(printf '%s\n' "${ours_times[@]}" | median)
  r=$(printf '%s\n' "${reference_times[@]}" | median)
  oc=$(printf '%s\n' "${ours_cpu[@]}" | median)
  rc=$(printf '%s\n' "${reference_cpu[@]}" | median)
  echo "$key $o $r $oc $rc" >>"$results"
  say "  $key: ours $o ms, reference $r ms (processor time $oc and $rc ms)"
}

# Peak resident memory in KiB of a command (GNU time: the largest of the
# process and the children it waited for).
peak_kib() {
  /usr/bin/time -f '%M' -o "$work/time.txt" "$@" >/dev/null 2>"$work/time.err" ||
    { cat "$work/time.err" >&2; exit 1; }
  tail -n 1 "$work/time.txt"
}

# --- 1. A whole creation against its floor --------------------------------------
bench_creation() {
  say "1. Creation from the sample installation"
  local root=$work/creation/server-root docs=$work/creation/docs finished=$work/creation/finished
  mkdir -p "$work/creation"
  cp -a "$build/server-root" "$root"
  local user=daemon
  if [[ $(id -u) -ne 0 ]]; then
    user=$(id -un)
    say "  not root: the instance goes to $user, and the ownership changes are skipped"
  fi
  local perl_home
  perl_home=$(dirname "$(command -v perl)")
  cat >"$work/creation/create.sh" <<EOF
#!/bin/sh
ZORA_SERVER_HOME='$root' exec '$install' -s www.example.test -p 8080 -i web1 -u '$user' -d '$docs' \\
  -P 7676 -A admin -W secret -J /usr/lib/jvm/default-java 2>/dev/null
EOF
  # The floor: the files of a finished creation copied whole, the four runs
  # of the script generator the creation makes (the same settings), and the
  # sync of the file system it ends with.
  local t=$root/lib/install/templates i=$root/web1 p=$perl_home/perl
  cat >"$work/creation/floor.sh" <<EOF
#!/bin/sh
set -e
cp -a '$finished/web1' '$i'
cp -a '$finished/docs' '$docs'
'$p' '$t/makeScript' 'ROOT=$root' BIN=appservd-wdog 'SUBDIR=$i' NAME=https \\
  'LD_LIBRARY_PATH=\${SERVER_ROOT}/lib:\${LD_LIBRARY_PATH}' JAVA_HOME=/usr/lib/jvm/default-java \\
  'JRE_RUNTIME_LIBPATH=\${JAVA_HOME}/jre/lib/i386/server:\${JAVA_HOME}/jre/lib/i386:\${JAVA_HOME}/jre/lib/i386/native_threads' \\
  'INSTALL_CONFIG_ROOT=$root/config' '$t/start' '$i/bin/startserv'
'$p' '$t/makeScript' 'ROOT=$root' 'SUBDIR=$i' INSTANCE=web1 NAME=https '$t/stop' '$i/bin/stopserv'
'$p' '$t/makeScript' 'SUBDIR=$i' '$t/restart' '$i/bin/restartserv'
'$p' '$t/makeScript' 'ROOT=$root' 'SUBDIR=$i' 'LD_LIBRARY_PATH=\${SERVER_ROOT}/lib:\${LD_LIBRARY_PATH}' \\
  'INSTALL_CONFIG_ROOT=$root/config' '$t/rotate' '$i/bin/rotatelogs'
sync -f '$i'
EOF
  chmod +x "$work/creation/create.sh" "$work/creation/floor.sh"
  local reset="rm -rf '$i' '$docs'"

  sh "$work/creation/create.sh"
  mkdir "$finished"
  mv "$i" "$finished/web1"
  mv "$docs" "$finished/docs"
  # The floor must make what the creation makes, or it is no floor.
  sh "$work/creation/floor.sh"
  if ! diff -r "$finished/web1" "$i" >/dev/null || ! diff -r "$finished/docs" "$docs" >/dev/null; then
    say "  the floor does not reproduce the creation's files"
    exit 1
  fi

  pair creation "$runs" "-N --prepare $work/creation/reset.sh" "$work/creation/create.sh" "$work/creation/floor.sh"
}

# hyperfine's --prepare takes one command: a script holding the reset.
write_reset() {
  mkdir -p "$work/creation"
  cat >"$work/creation/reset.sh" <<EOF
#!/bin/sh
rm -rf '$work/creation/server-root/web1' '$work/creation/docs'
EOF
  chmod +x "$work/creation/reset.sh"
}

creation_memory() {
  local root=$work/creation/server-root
  sh "$work/creation/reset.sh"
  echo "memory-creation $(peak_kib sh "$work/creation/create.sh") 0" >>"$results"
  # The tool's own peak: the script generator replaced by a stub that only
  # leaves its output file (perl's own interpreter is the largest child).
  mkdir -p "$work/stub-perl"
  printf '#!/bin/sh\nfor last; do :; done\n: > "$last"\n' >"$work/stub-perl/perl"
  chmod +x "$work/stub-perl/perl"
  sh "$work/creation/reset.sh"
  echo "memory-install $(peak_kib env INSTALL_PERL_HOME="$work/stub-perl" sh "$work/creation/create.sh") 0" >>"$results"
  echo "memory-perl $(peak_kib "$(command -v perl)" "$root/lib/install/templates/makeScript" SUBDIR=/x \
    "$root/lib/install/templates/restart" "$work/restartserv") 0" >>"$results"
  sh "$work/creation/reset.sh"
}

# --- 2. Document roots -------------------------------------------------------------
document_counts="10 1000 10000"

# Median ms of populateDocRoot (in process) for `count` documents of the
# installations prepared in `directory`.
docroot_ms() {
  local count=$1 directory=$2 csv=$work/docroot.csv
  BENCH_DIR=$directory "$build/bench/docroot_bench" --benchmark_filter="BM_PopulateDocRoot/$count/" \
    --benchmark_repetitions=3 --benchmark_format=csv >"$csv" 2>/dev/null
  awk -F, '/_median"?,/ { t = $3; if ($5 ~ /us/) t /= 1000; if ($5 ~ /ns/) t /= 1e6; if ($5 ~ /^"?s"?$/) t *= 1000; printf "%.3f\n", t }' "$csv"
}

# Prepares, in `directory`, a scratch copy of the installation whose docs.lst
# lists `count` generated documents, and the same documents alone for cp -r.
prepare_documents() {
  local count=$1 directory=$2
  cp -a "$build/server-root" "$directory/root-$count"
  "$tool" make-documents "$count" "$directory/root-$count/lib/install/templates"
  mkdir "$directory/documents-$count"
  "$tool" make-documents "$count" "$directory/documents-$count"
}

# The series runs in memory (tmpfs) where there is room: on this project's
# machines creating a file on the disk costs hundreds of microseconds that
# vary with what the other tenants write, which would drown the tool's own
# cost. One row repeats the largest size on the disk.
bench_docroot() {
  say "2. Document roots"
  local memory="" n
  if [[ -d /dev/shm && -w /dev/shm ]] && (($(df -Pk /dev/shm | awk 'NR == 2 { print $4 }') > 1024 * 1024)); then
    memory=$(mktemp -d /dev/shm/install-bench.XXXXXX)
  fi
  local series=${memory:-$work}
  echo "docroot-place $(fs_type "$series") $(fs_type "$work")" >>"$results"
  for n in $document_counts; do prepare_documents "$n" "$series"; done
  local round
  for n in $document_counts; do
    local ours=() reference=()
    for ((round = 0; round < rounds; ++round)); do
      ours+=("$(docroot_ms "$n" "$series")")
      reference+=("$(hyperfine_ms 3 -N --prepare "rm -rf $series/copy-$n" -- "cp -r $series/documents-$n $series/copy-$n")")
    done
    local o r
    o=$(printf '%s\n' "${ours[@]}" | median)
    r=$(printf '%s\n' "${reference[@]}" | median)
    echo "docroot-$n $o $r" >>"$results"
    say "  $n documents: ours $o ms, cp -r $r ms"
    rm -rf "$series/copy-$n"
  done
  if [[ -n $memory ]]; then
    rm -rf "$memory"
    n=${document_counts##* }
    prepare_documents "$n" "$work"
    local o r
    o=$(docroot_ms "$n" "$work")
    r=$(hyperfine_ms 3 -N --prepare "rm -rf $work/copy-$n" -- "cp -r $work/documents-$n $work/copy-$n")
    echo "docroot-disk-$n $o $r" >>"$results"
    say "  $n documents on the disk: ours $o ms, cp -r $r ms"
    rm -rf "$work/copy-$n" "$work/root-$n" "$work/documents-$n"
  fi
}

# --- 3. Template expansion ---------------------------------------------------------
bench_templates() {
  say "3. Template expansion"
  "$tool" sed-script >"$work/substitutions.sed"
  local sizes="1 100"
  local free_kib
  free_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
  if ((!quick && free_kib > 6 * 1024 * 1024)); then sizes="1 100 1000"; fi
  # Each program's fixed cost (start, dynamic loading) measured on an empty
  # template, so that the throughput compares the copying and replacing only.
  local empty=$work/template-empty.xml round
  : >"$empty"
  local ours_empty=() cat_empty=()
  for ((round = 0; round < rounds; ++round)); do
    ours_empty+=("$(hyperfine_ms "$runs" -- "$tool expand $empty $empty.out")")
    cat_empty+=("$(hyperfine_ms "$runs" -- "cat $empty > $empty.cat")")
  done
  echo "template-empty $(printf '%s\n' "${ours_empty[@]}" | median) $(printf '%s\n' "${cat_empty[@]}" | median)" >>"$results"
  local megabytes
  for megabytes in $sizes; do
    local source=$work/template-$megabytes.xml
    "$tool" make-template "$megabytes" "$source"
    local count=$runs sed_count=$runs
    ((megabytes >= 1000)) && { count=3; sed_count=1; }
    ((megabytes >= 100 && sed_count > 3)) && sed_count=3
    local ours=() cat_times=() sed_times=()
    for ((round = 0; round < rounds; ++round)); do
      ours+=("$(hyperfine_ms "$count" -- "$tool expand $source $source.out")")
      cat_times+=("$(hyperfine_ms "$count" -- "cat $source > $source.cat")")
      # sed is tens of times slower: one round is plenty against a target of 5.
      if ((round == 0 || megabytes < 100)); then
        local sed_warmup=1
        ((megabytes >= 1000)) && sed_warmup=0
        sed_times+=("$(hyperfine_ms "$sed_count" --warmup "$sed_warmup" -- "sed -f $work/substitutions.sed $source > $source.sed")")
      fi
    done
    if ! cmp -s "$source.out" "$source.sed"; then
      say "  the expansion of the $megabytes MB template differs from sed's"
      exit 1
    fi
    local o c s
    o=$(printf '%s\n' "${ours[@]}" | median)
    c=$(printf '%s\n' "${cat_times[@]}" | median)
    s=$(printf '%s\n' "${sed_times[@]}" | median)
    echo "template-cat-$megabytes $o $c" >>"$results"
    echo "template-sed-$megabytes $o $s" >>"$results"
    echo "memory-template-$megabytes $(peak_kib "$tool" expand "$source" "$source.out") 0" >>"$results"
    say "  $megabytes MB: ours $o ms, cat $c ms, sed $s ms"
    rm -f "$source" "$source".*
  done
}

# --- 4. Catalogues -----------------------------------------------------------------
catalogue_sizes="100 300 1000 3000"

bench_catalogues() {
  say "4. Backup catalogues"
  local n
  for n in $catalogue_sizes; do
    local file=$work/catalogue-$n.conf
    "$tool" make-catalogue "$n" "$file"
    pair "catalogue-$n" $((runs * 2)) "-N" "$tool open-catalogue $file" "cat $file"
    echo "memory-catalogue-$n $(peak_kib "$tool" open-catalogue "$file") $(stat -c %s "$file")" >>"$results"
    rm -f "$file"
  done
}

# --- 5. Managing instances ---------------------------------------------------------
listed_instances=10000
removed_files=100000

# A server root holding `count` instances, each with its record, its
# config/server.xml (the installation's template filled as a creation fills
# it), logs and bin, as creations leave them.
make_instances() {
  local root=$1 count=$2
  cp -a "$build/server-root" "$root"
  perl -e '
    my ($root, $count) = @ARGV;
    open(my $in, "<", "$root/lib/install/templates/server.xml.template") or die "template: $!";
    my $template = do { local $/; <$in> };
    my %fixed = (SERVER_ROOT => $root, INSTANCE_ROOT => $root, JMS_SERVICE_USER_NAME => "admin",
                 JMS_SERVICE_PASSWORD => "secret", JAVA_HOME => "/usr/lib/jvm/default-java", FILE_PREFIX => "file:",
                 JAVA_SEP => ":", ORB_LISTENER1_PORT => 3700, DEFAULT_LOCALE => "en_US");
    for my $n (1 .. $count) {
      my $dir = "$root/web$n";
      mkdir $dir or die "$dir: $!";
      mkdir "$dir/$_" or die "$dir/$_: $!" for qw(config logs bin);
      open(my $out, ">", "$dir/config/answers.conf") or die "$dir: $!";
      print {$out} "# The answers this instance was created with.\nserverId = web$n\nserverName = www$n.example.test\n",
        "port = ", 10000 + $n, "\njmsPort = ", 40000 + $n, "\nserverUser = daemon\ndocRoot = /srv/www/web$n\n",
        "javaHome = /usr/lib/jvm/default-java\njmsAdminUser = admin\n";
      close($out);
      my %values = (%fixed, SERVER_ID => "web$n", SERVER_NAME => "www$n.example.test", HTTP_PORT => 10000 + $n,
                    JMS_SERVICE_PORT => 40000 + $n, DEFAULT_DOC_ROOT => "/srv/www/web$n");
      (my $xml = $template) =~ s/%%%(\w+)%%%/$values{$1} \/\/ ""/ge;
      open($out, ">", "$dir/config/server.xml") or die "$dir: $!";
      print {$out} $xml;
      close($out);
    }' "$root" "$count"
}

# An instance holding `count` files in 100 directories below applications/,
# which (as root) belong to the server user as in a created instance.
make_big_instance() {
  local dir=$1 count=$2
  mkdir -p "$dir/config" "$dir/bin" "$dir/logs" "$dir/applications/j2ee-apps"
  printf 'serverId = big\nserverUser = daemon\n' >"$dir/config/answers.conf"
  printf '#!/bin/sh\n' >"$dir/bin/startserv"
  chmod 755 "$dir/bin/startserv"
  perl -e '
    my ($base, $count) = @ARGV;
    for my $d (1 .. 100) {
      mkdir "$base/app$d" or die "$base/app$d: $!";
      for my $f (1 .. $count / 100) { open(my $o, ">", "$base/app$d/f$f") or die "$!"; print {$o} "x"; close($o) }
    }' "$dir/applications/j2ee-apps" "$count"
  if [[ $(id -u) -eq 0 ]]; then chown -R daemon: "$dir/config" "$dir/logs" "$dir/applications"; fi
}

bench_instancectl() {
  say "5. instancectl"
  local root=$work/instances
  make_instances "$root" "$listed_instances"
  # One line per instance, each agreeing with its record: no legend line.
  if [[ $("$instancectl" --server-root "$root" list | wc -l) -ne $((listed_instances + 1)) ]]; then
    say "  instancectl list does not show the $listed_instances instances, or marks some"
    exit 1
  fi
  pair "list-$listed_instances" "$runs" "" "$instancectl --server-root $root list" \
    "cat $root/*/config/answers.conf"
  pair "list-config-$listed_instances" "$runs" "" "$instancectl --server-root $root list" \
    "cat $root/*/config/answers.conf $root/*/config/server.xml"
  # One instance among them, by the command that asks for one.
  local one=web$((listed_instances / 2)) command="list"
  if "$instancectl" --help | grep -q '^  status'; then command=status; fi
  echo "one-command $command" >>"$results"
  local status=0
  "$instancectl" --server-root "$root" "$command" "$one" >/dev/null || status=$?
  # status answers 3 for a stopped instance, as monitoring tools expect.
  ((status == 0 || (status == 3 && command == status))) || { say "  instancectl $command $one failed"; exit 1; }
  local one_options="-N"
  [[ $command == status ]] && one_options="-N --ignore-failure"  # its 3 is the answer, not a failure
  pair "one-$listed_instances" "$((runs * 3))" "$one_options" "$instancectl --server-root $root $command $one" \
    "cat $root/$one/config/answers.conf $root/$one/config/server.xml"
  rm -rf "$root"
  ((listing_only)) && return

  # Each run removes a fresh copy, made and written out outside the timing:
  # a copy still being written back would slow whichever command ran next.
  # In memory where there is room, as the document roots: on these disks the
  # cost of an unlink varies with what other tenants write.
  local big=$work/removal
  if [[ -d /dev/shm && -w /dev/shm ]] && (($(df -Pk /dev/shm | awk 'NR == 2 { print $4 }') > 2 * 1024 * 1024)); then
    big=$(mktemp -d /dev/shm/install-bench.XXXXXX)
  fi
  echo "remove-place $(fs_type "$big")" >>"$results"
  mkdir -p "$big/root"
  make_big_instance "$big/template" "$removed_files"
  printf '#!/bin/sh\nrm -rf "%s/root/big"\ncp -a "%s/template" "%s/root/big"\nsync -f "%s/root"\n' \
    "$big" "$big" "$big" "$big" >"$big/prepare.sh"
  chmod +x "$big/prepare.sh"
  local count=5
  ((quick)) && count=3
  pair "remove-$removed_files" "$count" "-N --warmup 0 --prepare $big/prepare.sh" \
    "$instancectl --server-root $big/root remove big" "rm -rf $big/root/big"
  rm -rf "$big"
}


if ((!listing_only)); then
  write_reset
  bench_creation
  creation_memory
  bench_docroot
  bench_templates
  bench_catalogues
fi
bench_instancectl

# --- The table ---------------------------------------------------------------------
value() { awk -v k="$1" -v f="$2" '$1 == k { print $f }' "$results"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
judge() { awk -v x="$1" -v op="$2" -v t="$3" 'BEGIN { ok = (op == "<=" ? x <= t : x >= t); print (ok ? "yes" : "**no**") }'; }
ms() { awk -v x="$1" 'BEGIN { printf (x >= 100 ? "%.0f ms" : (x >= 10 ? "%.1f ms" : "%.2f ms")), x }'; }
mib() { awk -v x="$1" 'BEGIN { printf "%.1f MiB", x / 1024 }'; }

# The rows of the listing: all instances against their records, then
# against their records and configurations, then one instance.
listing_rows() {
  local o r q cpu
  o=$(value "list-$listed_instances" 2); r=$(value "list-$listed_instances" 3); q=$(ratio "$o" "$r")
  cpu=$(ratio "$(value "list-$listed_instances" 4)" "$(value "list-$listed_instances" 5)")
  echo "| 6 | \`instancectl list\` over $listed_instances instances, reading each record and \`config/server.xml\` (processor-time ratio $cpu) | $(ms "$o") | \`cat\` of their $listed_instances records (\`answers.conf\`) | $(ms "$r") | $q | ≤ 3 | $(judge "$q" "<=" 3) |"
  o=$(value "list-config-$listed_instances" 2); r=$(value "list-config-$listed_instances" 3); q=$(ratio "$o" "$r")
  cpu=$(ratio "$(value "list-config-$listed_instances" 4)" "$(value "list-config-$listed_instances" 5)")
  echo "| 6 | the same (processor-time ratio $cpu) | $(ms "$o") | \`cat\` of their records and their \`config/server.xml\` | $(ms "$r") | $q | ≤ 3 | $(judge "$q" "<=" 3) |"
  local command
  command=$(value one-command 2)
  o=$(value "one-$listed_instances" 2); r=$(value "one-$listed_instances" 3); q=$(ratio "$o" "$r")
  cpu=$(ratio "$(value "one-$listed_instances" 4)" "$(value "one-$listed_instances" 5)")
  echo "| 6 | \`instancectl $command ID\` of one of the $listed_instances instances (processor-time ratio $cpu) | $(ms "$o") | \`cat\` of its record and its \`config/server.xml\` | $(ms "$r") | $q | ≤ 3 | $(judge "$q" "<=" 3) |"
}

table=$work/table.md
if ((listing_only)); then
  {
    echo "| # | what is measured | ours | reference | reference time | ratio | target | met |"
    echo "|---|---|---|---|---|---|---|---|"
    listing_rows
  } >"$table"
  echo
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)."
  echo "Medians of $rounds rounds of $runs runs."
  echo
  cat "$table"
  exit 0
fi
{
  echo "| # | what is measured | ours | reference | reference time | ratio | target | met |"
  echo "|---|---|---|---|---|---|---|---|"
  o=$(value creation 2); r=$(value creation 3); q=$(ratio "$o" "$r")
  cpu=$(ratio "$(value creation 4)" "$(value creation 5)")
  echo "| 1 | creation from the sample installation (processor-time ratio $cpu) | $(ms "$o") | \`cp -a\` of its files + 4 generator runs + \`sync -f\` | $(ms "$r") | $q | ≤ 1.3 | $(judge "$q" "<=" 1.3) |"
  m=$(value memory-install 2)
  echo "| 1 | peak memory of the install process itself | $(mib "$m") | | | | < 8 MiB | $(judge "$m" "<=" 8191) |"
  echo "| 1 | peak memory, install with its generator children (\`time -v\`) | $(mib "$(value memory-creation 2)") | one perl generator alone | $(mib "$(value memory-perl 2)") | | | |"
  previous=""
  for n in $document_counts; do
    o=$(value "docroot-$n" 2); r=$(value "docroot-$n" 3); q=$(ratio "$o" "$r")
    target="" met=""
    if [[ $n == 10000 ]]; then target="≤ 1.2"; met=$(judge "$q" "<=" 1.2); fi
    growth=""
    if [[ -n $previous ]]; then
      growth="; per document ×$(awk -v a="$o" -v n="$n" -v pa="${previous% *}" -v pn="${previous#* }" 'BEGIN { printf "%.2f", (a / n) / (pa / pn) }') vs $(awk -v pn="${previous#* }" 'BEGIN { print pn }')"
    fi
    echo "| 2 | document root of $n documents, $(value docroot-place 2) (in process$growth) | $(ms "$o") | \`cp -r\` of the same files | $(ms "$r") | $q | $target | $met |"
    previous="$o $n"
  done
  n=${document_counts##* }
  if [[ -n $(value "docroot-disk-$n" 2) ]]; then
    o=$(value "docroot-disk-$n" 2); r=$(value "docroot-disk-$n" 3); q=$(ratio "$o" "$r")
    echo "| 2 | document root of $n documents, on the disk ($(value docroot-place 3); one round) | $(ms "$o") | \`cp -r\` of the same files | $(ms "$r") | $q | | |"
  fi
  for size in 1 100 1000; do
    [[ -n $(value "template-cat-$size" 2) ]] || continue
    o=$(value "template-cat-$size" 2); c=$(value "template-cat-$size" 3); s=$(value "template-sed-$size" 3)
    o0=$(value template-empty 2); c0=$(value template-empty 3)
    throughput=$(awk -v o="$o" -v c="$c" -v o0="$o0" -v c0="$c0" 'BEGIN { d = o - o0; printf "%.2f", (d > 0 ? (c - c0) / d : 0) }')
    speedup=$(ratio "$s" "$o")
    echo "| 3 | expansion of a $size MB template: throughput, each side's start on an empty file ($(ms "$o0") and $(ms "$c0")) subtracted | $(ms "$o") | \`cat\` to a file | $(ms "$c") | $throughput | ≥ 0.5 | $(judge "$throughput" ">=" 0.5) |"
    echo "| 3 | expansion of a $size MB template (speed-up vs reference) | $(ms "$o") | \`sed\` with the 18 substitutions | $(ms "$s") | $speedup | ≥ 5 | $(judge "$speedup" ">=" 5) |"
  done
  previous=""
  for n in $catalogue_sizes; do
    o=$(value "catalogue-$n" 2); r=$(value "catalogue-$n" 3); q=$(ratio "$o" "$r")
    bytes=$(value "memory-catalogue-$n" 3)
    growth=""
    if [[ -n $previous ]]; then
      growth="; per MB ×$(awk -v a="$o" -v b="$bytes" -v pa="${previous% *}" -v pb="${previous#* }" 'BEGIN { printf "%.2f", (a / b) / (pa / pb) }') vs the previous size"
    fi
    mb=$(awk -v b="$bytes" 'BEGIN { printf (b >= 1e7 ? "%.0f" : "%.2f"), b / 1e6 }')
    cpu=$(ratio "$(value "catalogue-$n" 4)" "$(value "catalogue-$n" 5)")
    echo "| 4 | open and close a catalogue of $n entries and tags ($mb MB$growth; processor-time ratio $cpu) | $(ms "$o") | \`cat\` of the same file | $(ms "$r") | $q | ≤ 5 | $(judge "$q" "<=" 5) |"
    previous="$o $bytes"
  done
  for n in $catalogue_sizes; do
    m=$(value "memory-catalogue-$n" 2); bytes=$(value "memory-catalogue-$n" 3)
    echo "| 5 | peak memory, catalogue of $n ($(awk -v b="$bytes" 'BEGIN { printf "%.2f", b / 1048576 }') MiB file) | $(mib "$m") | | | | grows with the file | |"
  done
  for size in 1 100 1000; do
    m=$(value "memory-template-$size" 2)
    [[ -n $m ]] || continue
    echo "| 5 | peak memory, expansion of a $size MB template | $(mib "$m") | | | | does not grow | |"
  done
  listing_rows
  o=$(value "remove-$removed_files" 2); r=$(value "remove-$removed_files" 3); q=$(ratio "$o" "$r")
  cpu=$(ratio "$(value "remove-$removed_files" 4)" "$(value "remove-$removed_files" 5)")
  echo "| 7 | \`instancectl remove\` of an instance of $removed_files files in 100 directories of the server user's, $(value remove-place 2) (processor-time ratio $cpu) | $(ms "$o") | \`rm -rf\` of the same tree | $(ms "$r") | $q | ≤ 1.5 | $(judge "$q" "<=" 1.5) |"
} >"$table"

machine=$work/machine.md
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores ($(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)),"
  echo "$(awk '/^MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) of memory, Linux $(uname -r), $(fs_type "$work") for the scratch files;"
  echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg). Medians of $rounds rounds of $runs runs (fewer for the largest inputs)."
} >"$machine"

# --- The plot ----------------------------------------------------------------------
plot=$project/bench/benchmarks.png
((write_files)) || plot=$work/benchmarks.png
for n in $document_counts; do echo "$n $(value "docroot-$n" 2) $(value "docroot-$n" 3)"; done >"$work/docroot.dat"
for n in $catalogue_sizes; do
  echo "$(awk -v b="$(value "memory-catalogue-$n" 3)" 'BEGIN { print b / 1e6 }') $(value "catalogue-$n" 2) $(value "catalogue-$n" 3) $n"
done >"$work/catalogue.dat"
gnuplot <<EOF
set terminal pngcairo size 1100,460 font ",10"
set output "$plot"
set multiplot layout 1,2 title "Cost against work (medians; log-log, a slope of 1 is linear growth)"
set logscale xy
set grid
set key top left
set xlabel "documents listed in docs.lst"
set ylabel "milliseconds"
set title "Document root ($(value docroot-place 2))"
plot "$work/docroot.dat" using 1:2 with linespoints lw 2 pt 7 title "populateDocRoot (ours)", \
     "" using 1:3 with linespoints lw 2 pt 5 title "cp -r of the same files"
set xlabel "catalogue file size (MB); entries = tags = 100, 300, 1000, 3000"
set title "Backup catalogue: open and close"
plot "$work/catalogue.dat" using 1:2 with linespoints lw 2 pt 7 title "open + close (ours)", \
     "" using 1:3 with linespoints lw 2 pt 5 title "cat of the same file"
unset multiplot
EOF

echo
cat "$machine"
echo
cat "$table"

if ((write_files)); then
  document=$project/BENCHMARKS.md
  begin='<!-- figures:begin -->'
  end='<!-- figures:end -->'
  if [[ -f $document ]] && grep -q "$begin" "$document" && grep -q "$end" "$document"; then
    awk -v begin="$begin" -v end="$end" -v machine="$machine" -v table="$table" '
      $0 == begin { print; print ""; while ((getline line < machine) > 0) print line; print "";
                    while ((getline line < table) > 0) print line; print ""; skipping = 1; next }
      $0 == end { skipping = 0 }
      !skipping { print }' "$document" >"$work/BENCHMARKS.md"
    cp "$work/BENCHMARKS.md" "$document"
    say "Wrote the figures into BENCHMARKS.md and the plot into bench/benchmarks.png"
  else
    say "BENCHMARKS.md has no $begin ... $end section: the table is only printed"
  fi
fi
