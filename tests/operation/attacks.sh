#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck disable=SC2317  # cleanup runs from the trap
# Root operates instances it created for daemon with their own control
# scripts, as an administrator would, while daemon attacks: it tampers with
# the scripts, plants process numbers, rewrites the configuration the
# server is started with, edits lighttpd's configuration while the server
# starts, puts links, FIFOs and huge files in place of the record of the
# last start that restartserv reads, plants links where root's log
# rotation and pid-file removal go, and flips a link of its own on the way
# to the program the scripts run as root. Each attack runs against a fresh
# instance, plainly and through restartserv. After each one, a sentinel of root's outside the instances
# (a 0600 file and a 0700 directory with files in it) must be unchanged, a
# process of root's whose number daemon planted must still run, and a
# refusal must be one line naming the file and the reason.
#
#   tests/operation/attacks.sh INSTALL_BINARY SAMPLE_SERVER_ROOT
set -u
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: the attacks are made on runs of root's" >&2
  exit 77
fi
# shellcheck source=SCRIPTDIR/../checks.sh
. "$(dirname "$0")/../checks.sh"
victims=()

# Every process started here names the scratch directory on its command
# line (servers, victims, the attacker's loop): they all end with the test.
stop_everything() {
  local dir pid
  for pid in "${victims[@]}"; do
    { kill -KILL "$pid" && wait "$pid"; } 2>/dev/null
  done
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    if [ "$pid" != $$ ] && [ "$pid" != "$BASHPID" ] &&
      { tr '\0' '\n' <"$dir/cmdline"; } 2>/dev/null | grep -qF -- "$scratch/"; then
      kill -KILL "$pid" 2>/dev/null
    fi
  done
  wait 2>/dev/null
}
finish() { stop_everything; }
start_instance_test attacks-test "$@"

as_daemon() { setpriv --reuid=daemon --regid="$(id -g daemon)" --init-groups -- "$@"; }

# --- root's sentinel -------------------------------------------------------
sentinel_file=$scratch/sentinel.file
sentinel_dir=$scratch/sentinel.dir
# daemon's own place, where its payloads say who ran them.
attacker=$scratch/attacker
install -d -m 755 -o daemon -g "$(id -g daemon)" "$attacker"

snapshot() {
  (cd "$scratch" && find sentinel.file sentinel.dir -printf '%p %y %m %u %g %s %T@ %C@ %i\n' | sort &&
    find sentinel.file sentinel.dir -type f -exec sha256sum {} + | sort)
}
# A fresh sentinel for each attack, so that each is judged on its own.
arm_sentinel() {
  local name
  rm -rf -- "$sentinel_file" "$sentinel_dir"
  install -m 600 /dev/null "$sentinel_file"
  echo "root's own" >"$sentinel_file"
  install -d -m 700 "$sentinel_dir"
  for name in access errors pid; do
    # pid holds a number no process can have (above any pid_max).
    install -m 600 /dev/null "$sentinel_dir/$name"
    echo 99999999 >"$sentinel_dir/$name"
  done
  snapshot >"$scratch/sentinel.before"
  as_daemon rm -f "$attacker/ran-as"
}
sentinel_unchanged() { snapshot | cmp -s - "$scratch/sentinel.before"; }
# A payload of daemon's: harmless when daemon runs it, it changes the
# sentinel when root does, and leaves word of who ran it.
payload="echo pwned >>$sentinel_file; rm -f $sentinel_dir/pid; id -u >>$attacker/ran-as"
# The attacker's file is read as the attacker.
ran_as_root() { as_daemon grep -qx 0 "$attacker/ran-as" 2>/dev/null; }
ran_as_daemon() { as_daemon grep -qx "$(id -u daemon)" "$attacker/ran-as" 2>/dev/null; }

# --- helpers ----------------------------------------------------------------

# new_instance ID: creates the instance root hands to daemon; sets instance and port.
new_instance() {
  port=$(free_port) || fatal "finding a free port"
  instance=$root/$1
  env PATH=/usr/bin:/bin LANG=C ZORA_SERVER_HOME="$root" "$install_bin" -s www.example.test -p "$port" \
    -i "$1" -u daemon -d "$scratch/docs-$1" -P "$(free_port)" -A admin -W secret -J /usr/lib/jvm/java \
    >"$scratch/create.out" 2>&1 || fatal "creating $1: $(cat "$scratch/create.out")"
}

# as_root NAME SCRIPT [ARG...]: root runs one of the instance's scripts, as
# an administrator would, bounded in time; its status in ran, its outputs
# in $scratch/NAME.out and NAME.err.
as_root() {
  local name=$1 script=$2
  shift 2
  timeout 60 "$instance/bin/$script" "$@" >"$scratch/$name.out" 2>"$scratch/$name.err"
  ran=$?
}

# one_line NAME TEXT...: NAME.err holds one line with every TEXT, besides
# the line of a restartserv's stopserv that found no server.
one_line() {
  local text lines
  lines=$(grep -v '^stopserv: the .* is not running\.$' "$scratch/$1.err")
  shift
  [ -n "$lines" ] && [ "$(printf '%s\n' "$lines" | wc -l)" -eq 1 ] || return 1
  for text; do
    case $lines in *"$text"*) ;; *) return 1 ;; esac
  done
}

# A process of root's that names the instance on its command line, so that
# only its owner tells it from the server; sets victim.
new_victim() {
  perl -e 'sleep 600' "$instance/config" </dev/null >/dev/null 2>&1 &
  victim=$!
  victims+=("$victim")
}
alive() {  # alive PID: running (a process that has ended waits as a zombie for its reaper)
  kill -0 "$1" 2>/dev/null && [ "$(awk '/^State:/ { print $2 }' "/proc/$1/status" 2>/dev/null)" != Z ]
}

# The server of the instance, as daemon sees it: the process in its pid file.
server_pid() { as_daemon timeout 30 head -c 32 "$instance/logs/pid" 2>/dev/null; }
# The user a process runs as (its effective user), by name.

fetch_status() {  # fetch_status URL: the status code (599: no connection)
  perl -MHTTP::Tiny -e 'print HTTP::Tiny->new(timeout => 60)->get($ARGV[0])->{status}, "\n"' "$1"
}

# After every attack: the sentinel as it was, and no payload run by root.
after_attack() {
  check "$1: root's sentinel is unchanged" sentinel_unchanged
  check "$1: no payload of daemon's ran as root" eval '! ran_as_root'
}

# --- 1. the control scripts -------------------------------------------------
# daemon edits the scripts, replaces them, or replaces bin, so that root's
# next run of them runs its payload.
tamper_with_scripts() {
  local script
  for script in "$@"; do
    as_daemon sh -c "sed -i '2i $payload' '$instance/bin/$script'" 2>/dev/null
    as_daemon sh -c "printf '%s\n' '$payload' >>'$instance/bin/$script'" 2>/dev/null
    as_daemon sh -c "printf '#!/bin/sh\n%s\n' '$payload' >'$attacker/$script' && chmod 755 '$attacker/$script' &&
      mv -f '$attacker/$script' '$instance/bin/$script'" 2>/dev/null
  done
  as_daemon sh -c "mv '$instance/bin' '$instance/bin.old' && mkdir '$instance/bin' &&
    for s in $*; do printf '#!/bin/sh\n%s\n' '$payload' >\"$instance/bin/\$s\"; chmod 755 \"$instance/bin/\$s\"; done" \
    2>/dev/null
}
scripts_digest() { sha256sum "$instance"/bin/* 2>/dev/null; }

arm_sentinel
new_instance scripts
before=$(scripts_digest)
tamper_with_scripts stopserv
check "1: daemon cannot change, replace or move root's stopserv" [ "$(scripts_digest)" = "$before" ]
as_root stop-scripts stopserv
check "1: root's stopserv runs as made: status 2, not running" [ "$ran" -eq 2 ]
after_attack 1

arm_sentinel
new_instance scripts-restart
before=$(scripts_digest)
tamper_with_scripts restartserv stopserv startserv
check "1 through restartserv: daemon cannot change, replace or move the scripts" [ "$(scripts_digest)" = "$before" ]
as_root restart-scripts restartserv -a 127.0.0.1
check "1 through restartserv: root's restartserv starts the server" [ "$ran" -eq 0 ]
pid=$(server_pid)
check "1 through restartserv: the server runs as daemon" [ "$(process_user "$pid")" = daemon ]
as_root stop-scripts-restart stopserv
check "1 through restartserv: root's stopserv stops it" [ "$ran" -eq 0 ]
after_attack "1 through restartserv"

# --- 2. what daemon plants in the pid file ----------------------------------
# The server is the holder of the lock on logs/server.lock: the pid file
# decides nothing. A number of root's process, a link to a file of root's
# holding one, or a FIFO there is neither signalled, read nor waited on.
install -m 600 /dev/null "$scratch/victim.pid"
plant_pid_file() {  # plant_pid_file KIND
  as_daemon rm -f "$instance/logs/pid"
  case $1 in
    number) as_daemon sh -c "echo $victim >'$instance/logs/pid'" ;;
    link) as_daemon ln -s "$scratch/victim.pid" "$instance/logs/pid" ;;
    fifo) as_daemon mkfifo "$instance/logs/pid" ;;
  esac
}
arm_sentinel
new_instance pids
new_victim
echo "$victim" >"$scratch/victim.pid"
for kind in number link fifo; do
  plant_pid_file "$kind"
  as_root "stop-pid-$kind" stopserv
  check "2: the pid file a $kind: root's stopserv finds no server (status 2)" [ "$ran" -eq 2 ]
  check "2: ... and says only that" \
    [ "$(cat "$scratch/stop-pid-$kind.err")" = "stopserv: the https server pids ($root) is not running." ]
  plant_pid_file "$kind"
  as_root "rotate-pid-$kind" rotatelogs
  check "2: ... rotatelogs returns 0 and says nothing of it" \
    eval "[ \"\$ran\" -eq 0 ] && [ ! -s '$scratch/rotate-pid-$kind.err' ]"
  check "2: ... and root's process survives both" alive "$victim"
done
check "2: root's file the link named is as it was" [ "$(cat "$scratch/victim.pid")" = "$victim" ]
as_daemon rm -f "$instance/logs/pid"
after_attack 2

# A process of root's that holds the instance's server lock is no server
# of the instance: nothing is sent to it, nothing is started.
arm_sentinel
new_instance held
exec {held}< <(exec perl -MFcntl=:flock -e 'open(my $l, ">>", $ARGV[0]) or die "$ARGV[0]: $!";
  flock($l, LOCK_EX) or die; print "held\n"; close(STDOUT); sleep 600' "$instance/logs/server.lock" "$instance/config")
holder=$!
victims+=("$holder")
read -r _ <&"$held"
for script in stopserv startserv restartserv; do
  as_root "held-$script" "$script"
  check "2: the lock held by root's process: root's $script refuses (status 3)" [ "$ran" -eq 3 ]
  check "2: ... in one line naming the lock and the process" \
    one_line "held-$script" "$instance/logs/server.lock is held by process $holder (perl), which is no server"
done
as_root held-rotatelogs rotatelogs
check "2: ... rotatelogs tells no server (status 1)" [ "$ran" -eq 1 ]
check "2: ... and root's process survives them all" alive "$holder"
exec {held}<&-
after_attack "2 (lock)"

arm_sentinel
new_instance pids-restart
new_victim
as_daemon sh -c "echo $victim >'$instance/logs/pid'"
as_root restart-pid restartserv -a 127.0.0.1
check "2 through restartserv: root's process survives" alive "$victim"
check "2 through restartserv: the server starts all the same" [ "$ran" -eq 0 ]
check "2 through restartserv: nothing is said but that no server ran" \
  [ "$(cat "$scratch/restart-pid.err")" = "stopserv: the https server pids-restart ($root) is not running." ]
pid=$(server_pid)
check "2 through restartserv: the new server is daemon's" [ "$(process_user "$pid")" = daemon ]
as_daemon sh -c "echo $victim >'$instance/logs/pid'"
as_root restart-pid-again restartserv -a 127.0.0.1
check "2 through restartserv: root's process survives with a server running" alive "$victim"
check "2 through restartserv: ... which is restarted (status 0)" [ "$ran" -eq 0 ]
check "2 through restartserv: ... in another process of daemon's" \
  eval '[ "$(server_pid)" != "$pid" ] && [ "$(process_user "$(server_pid)")" = daemon ]'
as_root stop-pid-restart stopserv
after_attack "2 through restartserv"

# --- 3. the configuration the server starts with ----------------------------
# set_config FILE PATTERN REPLACEMENT: daemon edits its own configuration.
set_config() {
  as_daemon sed -i "s|$2|$3|" "$instance/config/$1" || fatal "daemon cannot edit its $1"
}

arm_sentinel
new_instance user-root
set_config init.conf '^User .*' 'User root'
set_config server.xml 'document-root="[^"]*"' 'document-root="/"'
as_root start-user-root startserv -a 127.0.0.1
check "3: a User root in init.conf is refused" [ "$ran" -ne 0 ]
check "3: ... in one line naming the file and the user" \
  one_line start-user-root "$instance/config/init.conf" "root" "daemon"
check "3: nothing serves / (nor root's sentinel)" \
  [ "$(fetch_status "http://127.0.0.1:$port$sentinel_file")" != 200 ]
after_attack 3

arm_sentinel
new_instance pidlog
set_config init.conf '^PidLog .*' "PidLog $sentinel_file"
as_root start-pidlog startserv -a 127.0.0.1
check "3: a PidLog naming a file of root's is refused" [ "$ran" -ne 0 ]
check "3: ... in one line naming the file and the reason" one_line start-pidlog "$sentinel_file" "Permission denied"
after_attack "3 (PidLog)"

arm_sentinel
new_instance user-root-restart
set_config init.conf '^User .*' 'User root'
set_config server.xml 'document-root="[^"]*"' 'document-root="/"'
as_root restart-user-root restartserv -a 127.0.0.1
check "3 through restartserv: a User root is refused" [ "$ran" -ne 0 ]
check "3 through restartserv: ... in one line" one_line restart-user-root "$instance/config/init.conf"
check "3 through restartserv: nothing serves root's sentinel" \
  [ "$(fetch_status "http://127.0.0.1:$port$sentinel_file")" != 200 ]
set_config init.conf '^User .*' 'User daemon'
set_config init.conf '^PidLog .*' "PidLog $sentinel_file"
as_root restart-pidlog restartserv -a 127.0.0.1
check "3 through restartserv: a PidLog naming a file of root's is refused in one line" \
  one_line restart-pidlog "$sentinel_file" "Permission denied"
after_attack "3 through restartserv"

# --- 4. lighttpd's configuration, edited while the server starts -----------
# daemon appends an include_shell line to every lighttpd.conf it sees that
# lacks one, as fast as it can, while root starts the server a few times
# (once the racer says it runs).
race_lighttpd_conf() {
  local conf=$instance/logs/lighttpd.conf ready=$attacker/racer-ready _
  as_daemon rm -f "$ready"
  # shellcheck disable=SC2016  # expanded by daemon's shell
  as_daemon sh -c ': >"$3"; while :; do
      if [ -f "$1" ] && ! grep -q include_shell "$1" 2>/dev/null; then
        printf "include_shell \"%s\"\n" "$2" >>"$1"
      fi
    done' "$scratch/attacker-loop" "$conf" "$payload" "$ready" &
  racer=$!
  for _ in $(seq 1 600); do
    [ -e "$ready" ] && return
    sleep 0.1
  done
  fatal "the racer did not start"
}
start_stop_rounds() {  # start_stop_rounds SCRIPT: five rounds of SCRIPT then stopserv
  local round
  for round in 1 2 3 4 5; do
    as_root "race-$1-$round" "$1" -a 127.0.0.1
    as_root "race-stop-$1-$round" stopserv
  done
}

arm_sentinel
new_instance conf-race
race_lighttpd_conf
start_stop_rounds startserv
kill "$racer" 2>/dev/null
wait "$racer" 2>/dev/null
after_attack 4
if ran_as_daemon; then
  echo "(4: daemon's line was read by lighttpd, which ran it as daemon)"
fi

arm_sentinel
new_instance conf-race-restart
race_lighttpd_conf
start_stop_rounds restartserv
kill "$racer" 2>/dev/null
wait "$racer" 2>/dev/null
after_attack "4 through restartserv"

# --- the record of the last start, which restartserv reads -------------------
# daemon puts a link to a file of root's, a FIFO or a huge file in its
# place while the server runs: root's restartserv reads it as daemon, so
# it refuses at once, without waiting, and stops nothing.
arm_sentinel
new_instance record
as_root start-record startserv -a 127.0.0.1
pid=$(server_pid)
for kind in link fifo huge; do
  as_daemon rm -f "$instance/logs/startserv.args"
  case $kind in
    link) as_daemon ln -s "$sentinel_dir/pid" "$instance/logs/startserv.args" ;;
    fifo) as_daemon mkfifo "$instance/logs/startserv.args" ;;
    huge) as_daemon truncate -s 1G "$instance/logs/startserv.args" ;;
  esac
  as_root "restart-record-$kind" restartserv
  check "the record a $kind: root's restartserv refuses (status 3)" [ "$ran" -eq 3 ]
  check "... in one line naming it" one_line "restart-record-$kind" "$instance/logs/startserv.args"
  check "... and the server runs on" eval '[ "$(server_pid)" = "$pid" ] && [ "$(process_user "$pid")" = daemon ]'
done
as_root stop-record stopserv
after_attack "the record of the last start"

# --- 5. links where root rotates and removes --------------------------------
arm_sentinel
new_instance logs
as_daemon sh -c "echo old >'$instance/logs/errors'"
# A link for every time stamp the rotation could take in the next seconds.
now=$(date +%s)
for second in 0 1 2 3 4 5; do
  stamp=$(date -d "@$((now + second))" +%Y%m%d-%H%M%S)
  as_daemon ln -s "$sentinel_dir" "$instance/logs/errors.$stamp"
done
links_digest() { find "$instance/logs" -name 'errors.*' -type l -printf '%f %l\n' | sort; }
links_before=$(links_digest)
as_root rotate-links rotatelogs
check "5: rotatelogs moves the log past the planted links (status 0)" [ "$ran" -eq 0 ]
check "5: ... every link is as daemon planted it" [ "$(links_digest)" = "$links_before" ]
moved=$(sed -n "s|^$instance/logs/errors -> ||p" "$scratch/rotate-links.out")
check "5: ... and the log is a file of daemon's of its own name" \
  eval '[ -n "$moved" ] && [ -f "$instance/logs/$moved" ] && [ ! -L "$instance/logs/$moved" ] &&
    [ "$(as_daemon cat "$instance/logs/$moved")" = old ]'
# Links named as rotations, to root's files, for --keep to remove or follow.
as_daemon ln -s "$sentinel_file" "$instance/logs/errors.20000101-000000"
as_daemon ln -s "$sentinel_dir/pid" "$instance/logs/errors.20000101-000000.1"
links_before=$(links_digest)
as_daemon sh -c "echo newer >'$instance/logs/errors'"
as_root rotate-keep rotatelogs --keep 1
check "5: rotatelogs --keep 1 with links among the rotations returns 0" [ "$ran" -eq 0 ]
check "5: ... leaves every link as it was" [ "$(links_digest)" = "$links_before" ]
check "5: ... and removes the older rotation of the log" [ ! -e "$instance/logs/$moved" ]
after_attack "5 (rotation)"

arm_sentinel
new_instance logs-link
as_daemon sh -c "mv '$instance/logs' '$instance/logs.moved' && ln -s '$sentinel_dir' '$instance/logs'" 2>/dev/null
check "5: daemon cannot swap logs for a link" [ ! -L "$instance/logs" ]
as_root stop-logs-link stopserv
check "5: stopserv finds no server (status 2)" [ "$ran" -eq 2 ]
after_attack "5 (logs a link)"

arm_sentinel
new_instance logs-link-restart
as_daemon sh -c "mv '$instance/logs' '$instance/logs.moved' && ln -s '$sentinel_dir' '$instance/logs'" 2>/dev/null
as_root restart-logs-link restartserv -a 127.0.0.1
check "5 through restartserv: the server starts" [ "$ran" -eq 0 ]
as_root stop-logs-link-restart stopserv
after_attack "5 through restartserv"

# --- 6. a link of daemon's on the way to the program -------------------------
# A deploy layout: the installation's bin/https/bin is root's link to
# deploy/current/bin, and current, in daemon's deploy directory, is
# daemon's link to a release of root's. daemon flips current between that
# release and a directory of its own that holds a fake asowner, as fast as
# it can, while root runs stopserv again and again: every run must refuse,
# whichever way the link points when it looks, and none may run daemon's
# program.
RACE_RUNS=300
arm_sentinel
new_instance layout
release=$scratch/release
deploy=$scratch/deploy
mkdir -p "$release" "$deploy"
mv "$root/bin/https/bin" "$release/bin"
ln -s "$release" "$deploy/current"
ln -s "$deploy/current/bin" "$root/bin/https/bin"
as_root layout-sound stopserv
check "6: through root's own links, root's stopserv runs (status 2: not running)" [ "$ran" -eq 2 ]
chown daemon "$deploy"
chown -h daemon "$deploy/current"
as_daemon mkdir -p "$attacker/fake/bin"
as_daemon sh -c 'printf "#!/bin/sh\n%s\n" "$1" >"$2" && chmod 755 "$2"' sh "$payload" "$attacker/fake/bin/asowner"
as_daemon rm -f "$attacker/flipper-ready"
# shellcheck disable=SC2016  # expanded by perl
as_daemon perl -e 'chdir $ARGV[0] or die; open(my $ready, ">", $ARGV[3]) or die; close($ready);
  while (1) { for my $to (@ARGV[1, 2]) { symlink($to, "next"); rename("next", "current"); } }' \
  "$deploy" "$attacker/fake" "$release" "$attacker/flipper-ready" &
flipper=$!
for _ in $(seq 1 600); do
  [ -e "$attacker/flipper-ready" ] && break
  sleep 0.1
done
[ -e "$attacker/flipper-ready" ] || fatal "the flipper did not start"
refused=0
for _ in $(seq 1 "$RACE_RUNS"); do
  as_root layout-race stopserv
  [ "$ran" -eq 3 ] && refused=$((refused + 1))
done
kill "$flipper" 2>/dev/null
wait "$flipper" 2>/dev/null
check "6: daemon flipping its link, root's stopserv refuses all $RACE_RUNS runs (status 3)" [ "$refused" -eq "$RACE_RUNS" ]
check "6: ... in one line naming daemon's directory" one_line layout-race \
  "which runs this script as the instance's owner, is not run as root: the directory $deploy can be changed by users other than root."
check "6: ... and daemon's program never ran" eval '! as_daemon test -e "$attacker/ran-as"'
after_attack 6
rm "$root/bin/https/bin"
mv "$release/bin" "$root/bin/https/bin"

# An instance directory handed to daemon in root's installation: the
# program refuses before it does anything as root.
new_instance handed
chown daemon "$instance"
as_root handed-stopserv stopserv
check "root's stopserv of an instance directory of daemon's refuses (status 3)" [ "$ran" -eq 3 ]
check "... in one line naming it" one_line handed-stopserv \
  "$instance can be changed by users other than root; run this script as daemon, not as root."

# --- an instance daemon made for itself --------------------------------------
# Its scripts are daemon's to change, so root would run whatever daemon put
# in them: as made, they refuse to run as root. (Changed, they could do
# anything; what is proven here is that root is stopped from the mistake.)
daemon_root=$scratch/daemons-server-root
cp -a "$sample" "$daemon_root" || fatal "copying the sample installation for daemon"
chown -R daemon:"$(id -g daemon)" "$daemon_root" || fatal "handing the copy to daemon"
port=$(free_port) || fatal "finding a free port"
instance=$daemon_root/own
as_daemon env PATH=/usr/bin:/bin LANG=C ZORA_SERVER_HOME="$daemon_root" "$install_bin" -s www.example.test \
  -p "$port" -i own -u daemon -d "$attacker/docs-own" -P "$(free_port)" -A admin -W secret -J /usr/lib/jvm/java \
  >"$scratch/create.out" 2>&1 || fatal "daemon creating its instance: $(cat "$scratch/create.out")"
for script in stopserv startserv; do
  as_root "own-$script" "$script"
  check "root's $script of daemon's own instance refuses (status 3)" [ "$ran" -eq 3 ]
  check "... in one line naming the directory daemon can change" one_line "own-$script" \
    "$daemon_root/bin/https/bin/asowner, which runs this script as the instance's owner, is not run as root: the directory $daemon_root can be changed by users other than root."
done

if [ "$failures" -ne 0 ]; then
  for out in "$scratch"/*.out "$scratch"/*.err; do
    [ -s "$out" ] && { echo "--- $out"; cat "$out"; }
  done >&2
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
