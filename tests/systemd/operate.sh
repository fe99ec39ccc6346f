#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck disable=SC2317  # finish runs from the trap
# shellcheck disable=SC2016  # the sh programs are in single quotes
# instancectl operating instances that have their unit, against the real
# systemd (the test system of harness.sh, booted once), as an administrator
# meets it, run inside as root and as the owner daemon:
#   1. after `unit --enable`, root's start, stop and restart go through the
#      unit: the server is the unit's main process, in its cgroup; status
#      says running and stopped (0 and 3); systemctl reload keeps the
#      process and has it open its logs anew;
#   2. a server started with bin/startserv by root runs outside the unit:
#      start leaves it as it is (0), stop stops it with its script and says
#      that it ran outside, the unit not failed, and restart brings it under
#      the unit;
#   3. the owner operates with the scripts (0), is told that systemd does
#      not supervise what it started, and runs no systemctl that would ask
#      for authentication;
#   4. restarts until systemd's start limit: instancectl says that systemd
#      refused the start, not what the error log holds, and systemctl
#      reset-failed lets it start again;
#   5. removals leave systemd with nothing of the instance (no unit listed,
#      none to reload, the system running, not degraded): unit --remove of
#      a unit that runs and of one whose server crashed, remove --stop, and
#      the Ansible module's enabled: false and state: absent, run inside as
#      Ansible runs a module.
#
#   tests/systemd/operate.sh INSTALL_BINARY INSTANCECTL_BINARY SAMPLE_SERVER_ROOT
set -u
here=$(dirname "$0")
# shellcheck source=SCRIPTDIR/../checks.sh
. "$here/../checks.sh"
# shellcheck source=SCRIPTDIR/harness.sh
. "$here/harness.sh"
[ $# -eq 3 ] || { echo "usage: $0 INSTALL_BINARY INSTANCECTL_BINARY SAMPLE_SERVER_ROOT" >&2; exit 2; }
instancectl=$(realpath -e -- "$2") || exit 2
library=$(realpath -e -- "$here/../../ansible/library") || exit 2
finish() { sd_teardown; }
start_instance_test systemd-operate "$1" "$3"
[ "$user" = daemon ] || sd_skip "only root writes units"

# create ID PORT JMS_PORT: the instance ID of the server root, made on the
# host (the test system shares the scratch directory).
create() {
  env PATH=/usr/bin:/bin LANG=C ZORA_SERVER_HOME="$root" "$install_bin" -s www.example.test -p "$2" -i "$1" \
    -u daemon -d "$scratch/docs-$1" -P "$3" -A admin -W secret -J /usr/lib/jvm/java >"$scratch/create-$1.out" 2>&1
}
unit_of() { echo "server-instance-$(systemd-escape --path "$root/$1").service"; }

# What the last command said (both streams) and its status.
out=$scratch/said
status=0
# ctl ARGS...: instancectl run inside by root.
ctl() {
  sd_run "$instancectl" --server-root "$root" "$@" >"$out" 2>&1
  status=$?
}
# as_owner ARGS...: instancectl run inside by daemon, with a systemctl that
# notes how it was called before it runs systemctl.
as_owner() {
  sd_run setpriv --reuid=daemon --regid=daemon --init-groups -- \
    "$instancectl" --server-root "$root" --systemctl "$scratch/systemctl" "$@" >"$out" 2>&1
  status=$?
}
# said DESCRIPTION STATUS [TEXT | !TEXT]...: the last command ended with
# STATUS and said every TEXT and no !TEXT; otherwise what it said is shown.
said() {
  local what=$1 want=$2 text good=1
  shift 2
  [ "$status" = "$want" ] || good=0
  for text; do
    case $text in
      !*) ! grep -qF -- "${text#!}" "$out" || good=0 ;;
      *) grep -qF -- "$text" "$out" || good=0 ;;
    esac
  done
  check "$what" [ "$good" -eq 1 ]
  [ "$good" -eq 1 ] || { echo "  status $status, it said:"; sed 's/^/  /' "$out"; } >&2
}
# show UNIT PROPERTY: the property's value as systemd has it.
show() { sd_run systemctl show -p "$2" --value "$1"; }
# server_pid ID: the process of the instance's server, by its lock (from
# instancectl's JSON); nothing when none runs.
server_pid() {
  sd_run "$instancectl" --server-root "$root" status "$1" --json | sed -n 's/^  "pid": \([0-9][0-9]*\),$/\1/p'
}
# cgroup_of PID: the process's cgroup2 path.
cgroup_of() { sd_run sed -n 's/^0:://p' "/proc/$1/cgroup"; }
# under_unit ID PID: PID is the main process of the instance's unit, in
# the unit's cgroup.
under_unit() {
  [ -n "$2" ] && [ "$(cgroup_of "$2")" = "/system.slice/$(unit_of "$1")" ] &&
    [ "$(show "$(unit_of "$1")" MainPID)" = "$2" ]
}
# outside_unit ID PID: PID is a server that runs outside the unit.
outside_unit() { [ -n "$2" ] && ! under_unit "$1" "$2"; }
# replaced under_unit|outside_unit ID OLD NEW: NEW is a server other than
# OLD, which runs under the instance's unit or outside it.
replaced() { [ -n "$4" ] && [ "$4" != "$3" ] && "$1" "$2" "$4"; }
# within SECONDS COMMAND...: true once COMMAND is (polled); false when
# SECONDS pass first.
within() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}
# nothing_left WHAT ID: systemd has nothing of the instance's unit: no file,
# no unit loaded, none waiting for a reload, no failure keeping the system
# degraded.
nothing_left() {
  local unit
  unit=$(unit_of "$2")
  check "$1: no unit file or link is left" \
    sd_run sh -c 'cd /etc/systemd/system && ! test -e "$1" -o -L "$1" -o -e ".$1.new" -o -L "multi-user.target.wants/$1"' sh "$unit"
  check "$1: systemctl list-units --all lists no unit of it" \
    [ -z "$(sd_run systemctl list-units --all --plain --no-legend --no-pager "$unit")" ]
  check "$1: ... none needs a daemon-reload" [ "$(show "$unit" NeedDaemonReload)" = no ]
  check "$1: ... and the system is running, not degraded" [ "$(sd_run systemctl is-system-running)" = running ]
}

start=$SECONDS
read -r -a ports <<<"$(free_port 4)"
[ "${#ports[@]}" -eq 4 ] || fatal "finding free ports"
# The instances are made while the test system boots.
create web1 "${ports[0]}" "${ports[1]}" &
first=$!
create web2 "${ports[2]}" "${ports[3]}" &
second=$!
# systemctl for the owner's runs: notes each call where only daemon writes.
{ mkdir "$scratch/calls" && chown daemon: "$scratch/calls"; } || fatal "making $scratch/calls"
printf '#!/bin/sh\necho "$*" >>%s/calls/made\nexec /usr/bin/systemctl "$@"\n' "$scratch" >"$scratch/systemctl"
chmod 755 "$scratch/systemctl"
sd_boot --rw "$scratch" --ro "$(dirname "$instancectl")" --ro "$library" || fatal "booting the test system"
sd_wait_ready || fatal "waiting for the test system's boot"
echo "# booted in $((SECONDS - start)) s"
wait "$first" || fatal "creating web1: $(cat "$scratch/create-web1.out")"
wait "$second" || fatal "creating web2: $(cat "$scratch/create-web2.out")"
unit=$(unit_of web1)
instance=$root/web1

# --- 1. Root's start, stop and restart through the unit --------------------
ctl unit web1 --enable
said "unit --enable: enabled" 0 "Enabled the service unit $unit"
check "... systemd loaded it" [ "$(show "$unit" LoadState)" = loaded ]
ctl start web1
said "start: started with systemctl start" 0 "with systemctl start $unit"
pid=$(server_pid web1)
check "... the server is the unit's main process, in the unit's cgroup" under_unit web1 "$pid"
ctl status web1
said "status as root: running (0)" 0 "is running: process $pid"
as_owner status web1
said "status as the owner: running (0)" 0 "is running: process $pid"

# The logs moved away as bin/rotatelogs moves them: reload has the server
# open them anew.
within 30 test -e "$instance/logs/access" || fatal "the server of web1 opened no access log"
setpriv --reuid=daemon --regid=daemon --init-groups mv "$instance/logs/access" "$instance/logs/access.moved"
sd_run systemctl reload "$unit"
check "systemctl reload $unit succeeds" [ $? -eq 0 ]
check "... the server opens a new access log" within 30 test -e "$instance/logs/access"
check "... in the same process, still the unit's" under_unit web1 "$(server_pid web1)"
check "... the one that ran before" [ "$(server_pid web1)" = "$pid" ]

ctl restart web1
said "restart: restarted with systemctl restart" 0 "with systemctl restart $unit"
check "... a new server runs, under the unit" replaced under_unit web1 "$pid" "$(server_pid web1)"
ctl stop web1
said "stop: stopped with systemctl stop" 0 "with systemctl stop $unit"
check "... the unit is inactive" [ "$(show "$unit" ActiveState)" = inactive ]
ctl status web1
said "status as root: stopped (3)" 3 "is stopped"
as_owner status web1
said "status as the owner: stopped (3)" 3 "is stopped"

# --- 2. A server started outside systemd ----------------------------------
sd_run "$instance/bin/startserv" >"$out" 2>&1 || fatal "bin/startserv as root: $(cat "$out")"
outside=$(server_pid web1)
outside_unit web1 "$outside" || fatal "bin/startserv started no server outside the unit"
ctl start web1
said "start of a server started outside: running (0), outside its unit" 0 \
  "is already running (process $outside)" "runs outside its unit $unit"
check "... the same server runs" [ "$(server_pid web1)" = "$outside" ]
check "... and systemd started nothing" [ "$(show "$unit" ActiveState)" = inactive ]
ctl stop web1
said "stop of it: stopped with its script, said to have run outside" 0 \
  "runs outside its unit $unit" "Stopped the instance web1."
check "... nothing runs" [ -z "$(server_pid web1)" ]
check "... the unit is not failed" [ "$(show "$unit" ActiveState)" = inactive ]
sd_run "$instance/bin/startserv" >"$out" 2>&1 || fatal "bin/startserv as root: $(cat "$out")"
outside=$(server_pid web1)
ctl restart web1
said "restart of a server started outside: started under the unit" 0 \
  "runs outside its unit $unit" "with systemctl start $unit"
check "... a new server runs, under the unit" replaced under_unit web1 "$outside" "$(server_pid web1)"

# --- 3. The owner ---------------------------------------------------------
as_owner stop web1
said "the owner's stop: stopped with the script" 0 "Stopped the instance web1."
check "... nothing runs" [ -z "$(server_pid web1)" ]
check "... the unit is not failed" [ "$(show "$unit" ActiveState)" = inactive ]
as_owner start web1
said "the owner's start: started, told systemd does not supervise it" 0 \
  "Started the instance web1 (process" "systemd does not supervise the server of the instance web1"
pid=$(server_pid web1)
check "... it runs outside the unit" outside_unit web1 "$pid"
as_owner restart web1
said "the owner's restart: restarted, told systemd does not supervise it" 0 \
  "Restarted the instance web1 (process" "systemd does not supervise the server of the instance web1"
check "... a new server runs, outside the unit" replaced outside_unit web1 "$pid" "$(server_pid web1)"
check "the owner's runs called no systemctl but to ask (no authentication asked)" \
  [ -z "$(grep -v '^show ' "$scratch/calls/made" 2>/dev/null)" ]

# --- 4. The start limit ---------------------------------------------------
# From a fresh count: StartLimitBurst=5 lets five starts through, not six.
# (systemd may have unloaded the inactive unit meanwhile, and with it the
# count: it then says that it is not loaded.)
sd_run systemctl reset-failed "$unit" 2>/dev/null
statuses=""
for _ in 1 2 3 4 5 6; do
  ctl restart web1
  statuses="$statuses $status"
  [ "$status" -eq 0 ] || break
done
check "five restarts in a row succeed, the sixth fails (statuses:$statuses)" [ "$statuses" = " 0 0 0 0 0 2" ]
said "... said refused by systemd's start limit, without the error log" 2 \
  "systemd refused to start $unit for the instance web1" "start-limit-hit" "!The last lines of its error log"
sd_run systemctl reset-failed "$unit"
check "systemctl reset-failed of it succeeds" [ $? -eq 0 ]
ctl start web1
said "after systemctl reset-failed, start starts it under the unit" 0 "with systemctl start $unit"
check "... the server runs under the unit" under_unit web1 "$(server_pid web1)"

# --- 5. Removals ----------------------------------------------------------
# web1: unit --remove of the unit its server runs under; then, the unit
# back, its server killed and the instance removed.
ctl unit web1 --remove
said "unit --remove of a running unit: removed, the server stopped" 0 \
  "with systemctl stop $unit" "Removed the service unit"
check "... nothing runs" [ -z "$(server_pid web1)" ]
nothing_left "unit --remove of a running unit" web1

ctl unit web1 --enable
ctl start web1
pid=$(server_pid web1)
under_unit web1 "$pid" || fatal "web1 did not start under its unit again"
sd_run kill -KILL "$pid"
# systemd takes the end for a failure: the unit waits to start it again
# (or has done so already, or has failed).
crashed() {
  case $(show "$unit" SubState) in auto-restart | failed) return 0 ;; esac
  [ "$(show "$unit" NRestarts)" != 0 ]
}
within 30 crashed || fatal "systemd did not see the server of web1 end"
ctl remove web1 --stop
said "remove --stop after the server crashed: removed" 0 "Removed the instance web1"
grep -qF "with systemctl stop" "$out" && echo "# (systemd had started the server of web1 again before the removal)"
check "... the instance directory is gone" [ ! -e "$instance" ]
nothing_left "remove --stop after a crash" web1

# web2: the Ansible module's enabled: false and state: absent, run inside
# as Ansible runs a module (its arguments in a file, its result, JSON, on
# standard output); state: absent is remove --stop of a running unit.
module() {  # module ARGUMENTS_JSON
  printf '{"ANSIBLE_MODULE_ARGS": {"server_root": "%s", "id": "web2", "instancectl": "%s", %s}}\n' \
    "$root" "$instancectl" "$1" >"$scratch/arguments.json"
  sd_run /usr/bin/python3 "$library/server_instance.py" "$scratch/arguments.json" >"$scratch/result.json" 2>"$out"
  status=$?
  # What instancectl said, from the result; a result that does not say that
  # the host changed counts as a failure.
  /usr/bin/python3 -c '
import json, sys
result = json.load(open(sys.argv[1]))
for line in result.get("stdout_lines", []) + result.get("stderr_lines", []) + [result.get("msg", "")]:
    print(line)
sys.exit(not result.get("changed"))' "$scratch/result.json" >>"$out" 2>&1 || [ "$status" -ne 0 ] || status="0 (unchanged)"
}
unit=$(unit_of web2)
ctl unit web2 --enable
ctl start web2
under_unit web2 "$(server_pid web2)" || fatal "web2 did not start under its unit"
if /usr/bin/python3 -c 'import ansible.module_utils.basic' 2>/dev/null; then
  module '"state": "started", "enabled": false'
  said "Ansible enabled: false (state: started) changes the host" 0 "Stopped the instance web2 with systemctl stop"
  check "... the server runs again, started with its scripts" outside_unit web2 "$(server_pid web2)"
  nothing_left "Ansible enabled: false" web2
  ctl unit web2 --enable
  ctl restart web2
  under_unit web2 "$(server_pid web2)" || fatal "web2 did not restart under its unit"
  module '"state": "absent"'
  said "Ansible state: absent of a running unit: stopped through it, removed" 0 \
    "Stopped the instance web2 with systemctl stop" "Removed the instance web2"
  removal="Ansible state: absent (remove --stop of a running unit)"
else
  echo "# SKIPPED the Ansible module's part: /usr/bin/python3 has no ansible.module_utils"
  ctl remove web2 --stop
  said "remove --stop of a running unit: stopped through it, removed" 0 \
    "with systemctl stop $unit" "Removed the instance web2"
  removal="remove --stop of a running unit"
fi
check "... the instance directory is gone" [ ! -e "$root/web2" ]
nothing_left "$removal" web2
echo "# the whole test took $((SECONDS - start)) s"
exit $((failures > 0))
