#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck disable=SC2317  # finish runs from the trap
# shellcheck disable=SC2016  # the perl and sh programs are in single quotes
# The service units instancectl writes, against the real systemd (the test
# system of harness.sh, booted once for every case): for server roots whose
# paths hold each character systemd treats specially in a unit ($ % \ ' "),
# a blank, UTF-8, and all of them at once, `instancectl unit ID --enable`
# run inside either makes a unit that systemd loads, enables, starts (the
# server answers HTTP on its port) and stops, or, for a path with one of
# $ \ ' " (which systemd takes in no executable path as they are), refuses
# with status 2 before it writes anything. A unit that systemd cannot run is
# a failure, whatever instancectl said.
#
#   tests/systemd/unit_paths.sh INSTALL_BINARY INSTANCECTL_BINARY SAMPLE_SERVER_ROOT
set -u
here=$(dirname "$0")
# shellcheck source=SCRIPTDIR/../checks.sh
. "$here/../checks.sh"
# shellcheck source=SCRIPTDIR/harness.sh
. "$here/harness.sh"
[ $# -eq 3 ] || { echo "usage: $0 INSTALL_BINARY INSTANCECTL_BINARY SAMPLE_SERVER_ROOT" >&2; exit 2; }
instancectl=$(realpath -e -- "$2") || exit 2
finish() { sd_teardown; }
start_instance_test systemd-unit-paths "$1" "$3"
[ "$user" = daemon ] || sd_skip "only root writes units"

unit_dir=/etc/systemd/system
# The directory holding each case's server root, one case a line.
cases='plain
dollar$sign
per%cent
back\slash
single'"'"'quote
double"quote
a blank
utf8-é日本
all $ % \ '"'"' " é日本'

# create BASE PORT JMS_PORT: the instance web1 in the server root
# BASE/server-root, a copy of the sample, made on the host (the test system
# shares the scratch directory); what the tool said in BASE/create.out.
create() {
  mkdir "$1" && cp -a "$sample" "$1/server-root" &&
    env PATH=/usr/bin:/bin LANG=C ZORA_SERVER_HOME="$1/server-root" "$install_bin" -s www.example.test -p "$2" \
      -i web1 -u "$user" -d "$1/docs" -P "$3" -A admin -W secret -J /usr/lib/jvm/java >"$1/create.out" 2>&1
}
# The entries of the unit directory that instancectl could have made for an
# instance (units, their temporary files, links enabling them).
unit_entries() {
  sd_run find "$unit_dir" -name '*server-instance-*' -printf '%P\n' | sort
}
# answers PORT: the status of GET / on 127.0.0.1:PORT inside, waiting up to
# 30 s for a listener; 599 when none came.
answers() {
  sd_run perl -MHTTP::Tiny -e '
    my $status = 599;
    for (1 .. 300) {
      $status = HTTP::Tiny->new(timeout => 30)->get("http://127.0.0.1:$ARGV[0]/")->{status};
      last if $status != 599 || !$ARGV[1];
      select(undef, undef, undef, 0.1);
    }
    print "$status\n";' "$1" "${2:-}"
}
# True when TEXT holds a character that systemd takes in no executable path.
special() { [[ $1 == *[\$\\\'\"]* ]]; }  # special TEXT
# show UNIT PROPERTY: the property's value as systemd has it.
show() { sd_run systemctl show -p "$2" --value "$1"; }

start=$SECONDS
# The instances are made while the test system boots, all at once.
mapfile -t names <<<"$cases"
read -r -a ports <<<"$(free_port $((2 * ${#names[@]})))"
[ "${#ports[@]}" -eq $((2 * ${#names[@]})) ] || fatal "finding free ports"
creations=()
for i in "${!names[@]}"; do
  create "$scratch/${names[i]}" "${ports[2 * i]}" "${ports[2 * i + 1]}" &
  creations+=($!)
done
sd_boot --rw "$scratch" --ro "$(dirname "$instancectl")" || fatal "booting the test system"
sd_wait_ready || fatal "waiting for the test system's boot"
echo "# booted in $((SECONDS - start)) s"
for i in "${!names[@]}"; do
  wait "${creations[i]}" || fatal "creating the instance for ${names[i]}: $(cat "$scratch/${names[i]}/create.out")"
done

for i in "${!names[@]}"; do
  name=${names[i]} port=${ports[2 * i]}
  root=$scratch/$name/server-root
  instance=$root/web1
  unit=server-instance-$(systemd-escape --path "$instance").service

  failures_before=$failures
  before=$(unit_entries)
  sd_run "$instancectl" --server-root "$root" unit web1 --unit-dir "$unit_dir" --enable >"$scratch/unit.out" 2>&1
  status=$?
  case $status in
    2)
      # A path without $ \ ' " goes into ExecStart= as it is: no reason to refuse it.
      check "$name: refused only for a path with \$, \\, ' or \"" special "$name"
      check "$name: refused, instancectl wrote nothing into the unit directory" [ "$(unit_entries)" = "$before" ]
      continue
      ;;
    0) ;;
    *)
      check "$name: instancectl unit --enable either enables (0) or refuses (2), not $status" false
      sed 's/^/  /' "$scratch/unit.out" >&2
      continue
      ;;
  esac
  check "$name: the unit file is there" sd_run test -f "$unit_dir/$unit"
  check "$name: enabled, the unit is loaded" [ "$(show "$unit" LoadState)" = loaded ]
  check "$name: ... and enabled" sd_run systemctl is-enabled --quiet "$unit"
  sd_run timeout 60 systemctl start "$unit" && [ "$(show "$unit" ActiveState)" = active ]
  started=$?
  check "$name: systemctl start starts it" [ "$started" -eq 0 ]
  if [ "$started" -eq 0 ]; then
    check "$name: ... and the server answers GET / on its port" [ "$(answers "$port" wait)" = 200 ]
    sd_run timeout 60 systemctl stop "$unit"
    check "$name: systemctl stop returns 0" [ $? -eq 0 ]
    check "$name: ... the unit is inactive" [ "$(show "$unit" ActiveState)" = inactive ]
    check "$name: ... and nothing answers on the port" [ "$(answers "$port")" = 599 ]
  fi
  # What instancectl said and wrote, for a failed case.
  if [ "$failures" -gt "$failures_before" ]; then
    sed 's/^/  /' "$scratch/unit.out" >&2
    sd_run grep '^ExecStart=' "$unit_dir/$unit" | sed 's/^/  /' >&2
  fi
done
echo "# the whole test took $((SECONDS - start)) s"
exit $((failures > 0))
