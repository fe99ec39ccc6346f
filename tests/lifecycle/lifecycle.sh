#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck disable=SC2317  # finish runs from the trap
# An instance's whole life through its own control scripts: created by the
# tool from a scratch copy of the sample installation, started (the sample's
# stand-in server program serves the document root through lighttpd),
# asked for its home page, refused a second start, its logs rotated,
# restarted and stopped; then the same under French and German locales,
# several starts at once (one server, the others told it runs), and stops
# whatever the pid file holds (the server is the holder of its lock). As root the instance runs as daemon, and one more
# instance serves a port below 1024 as daemon with nothing but the
# capability to bind it; then the whole test runs again as daemon, for an
# instance of an ordinary user's. Otherwise the instance runs as the
# current user. Every server started here is stopped at the end, also when
# a check fails.
#
#   tests/lifecycle/lifecycle.sh INSTALL_BINARY SAMPLE_SERVER_ROOT
set -u
# shellcheck source=SCRIPTDIR/../checks.sh
. "$(dirname "$0")/../checks.sh"
instances=()

# Runs a command as the server user: the pid files and logs are that user's,
# so root reads and signals nothing through them.
as_server_user() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups -- "$@"
  else
    "$@"
  fi
}

stop_leftovers() {
  local instance
  for instance in "${instances[@]}"; do
    # shellcheck disable=SC2016  # expanded by the inner shell
    as_server_user sh -c '
      pid=$(timeout 5 head -c 32 "$1" 2>/dev/null) || exit 0
      case $pid in ""|0*|*[!0-9]*) exit 0 ;; esac
      kill -TERM "$pid" 2>/dev/null || exit 0
      for _ in $(seq 1 50); do
        kill -0 "$pid" 2>/dev/null || exit 0
        sleep 0.1
      done
      kill -KILL "$pid" 2>/dev/null' sh "$instance/logs/pid"
  done
}
finish() { stop_leftovers; }
start_instance_test lifecycle-test "$@"

# fetch URL BODY_FILE: prints the status code (599: no connection) and
# stores the body.
fetch() {
  perl -MHTTP::Tiny -e '
    my $r = HTTP::Tiny->new(timeout => 60)->get($ARGV[0]);
    open(my $out, ">:raw", $ARGV[1]) or die "$ARGV[1]: $!";
    print {$out} $r->{content} // "";
    close($out);
    print "$r->{status}\n";' "$1" "$2"
}

# create ID PORT JMS_PORT DOCROOT [NAME=VALUE...]: makes the instance, output in $scratch/create.out.
create() {
  local id=$1 port=$2 jms_port=$3 docroot=$4
  shift 4
  env "$@" PATH=/usr/bin:/bin LANG=C ZORA_SERVER_HOME="$root" "$install_bin" -s www.example.test -p "$port" \
    -i "$id" -u "$user" -d "$docroot" -P "$jms_port" -A admin -W secret -J /usr/lib/jvm/java \
    >"$scratch/create.out" 2>&1
}

# The user a process runs as (real and effective).

serving_as_user() {  # serving_as_user PID: alive and running as the server user
  kill -0 "$1" 2>/dev/null && [ "$(process_user "$1")" = "$user" ]
}

# has_capabilities PID MASK: the process's permitted and effective sets are
# exactly MASK (as /proc shows it: 16 hexadecimal digits).
has_capabilities() {
  awk -v want="$2" '/^Cap(Prm|Eff):/ { if ($2 != want) bad = 1; n++ }
    END { exit (n == 2 && !bad) ? 0 : 1 }' "/proc/$1/status" 2>/dev/null
}

# gone PID: no such process, or one that has ended and waits for init to reap it.
gone() {
  ! kill -0 "$1" 2>/dev/null || [ "$(awk '/^State:/ { print $2 }' "/proc/$1/status" 2>/dev/null)" = Z ]
}
# The logs are the server user's: read them as that user.
holds() { as_server_user grep -q -- "$1" "$2"; }  # holds TEXT FILE
lacks() { ! holds "$@"; }  # lacks TEXT FILE
pid_of() { as_server_user timeout 30 head -c 32 "$1/logs/pid" 2>/dev/null; }  # pid_of INSTANCE
new_process() { [ -n "$1" ] && [ "$1" != "$2" ]; }  # new_process PID OLD_PID
page_is() { [ "$1" = 200 ] && cmp -s "$2" "$3"; }  # page_is STATUS BODY_FILE EXPECTED_FILE

# Waits up to 60 s for a file to exist.
wait_for_file() {
  local _
  for _ in $(seq 1 600); do
    [ -e "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# The ports of the English and the French instance. Run as daemon, the test
# is handed them by its run as root (daemon may not use root's registry).
read -r port jms_port fr_port fr_jms_port <<<"${LIFECYCLE_PORTS:-$(free_port 4)}"
[ -n "$fr_jms_port" ] || fatal "finding free ports"
# listening PID: ADDRESS:PORT of every TCP socket the process PID listens
# on, one a line, sorted: the sockets it really holds, not what it says.
listening() {
  perl -e '
    my $pid = shift;
    opendir(my $fds, "/proc/$pid/fd") or exit 1;
    my %held = map { (readlink("/proc/$pid/fd/$_") // "") =~ /\Asocket:\[(\d+)\]\z/ ? ($1 => 1) : () } readdir $fds;
    my @found;
    for my $table ("/proc/net/tcp", "/proc/net/tcp6") {
      open(my $in, "<", $table) or next;
      <$in>;
      while (<$in>) {
        my @f = split;
        next unless $f[3] eq "0A" && $held{$f[9]};
        my ($address, $port) = split /:/, $f[1];
        $address = join(".", reverse unpack("C4", pack("H8", $address))) if length $address == 8;
        push @found, "$address:" . hex $port;
      }
    }
    print "$_\n" for sort @found;' "$1"
}
# set_address ADDRESS: the owner sets the address of the HTTP listener.
set_address() {
  as_server_user sed -i "s/<http address=\"[^\"]*\"/<http address=\"$1\"/" "$instance/config/server.xml" &&
    holds "<http address=\"$1\"" "$instance/config/server.xml"
}
# rotated_to LOG OUTPUT_FILE: the name rotatelogs says it moved LOG to.
rotated_to() { sed -n "s|^$instance/logs/$1 -> ||p" "$2"; }
# rotations_of LOG: the names of LOG's rotations, one a line, sorted.
rotations_of() { (cd "$instance/logs" && find . -maxdepth 1 -name "$1.*" -printf '%f\n' | sort); }

# --- an English instance: the whole cycle ----------------------------------
# The document root's name needs escaping in server.xml and quoting in
# lighttpd's configuration.
docroot="$scratch/docs & \"more\""
instance=$root/web1
instances+=("$instance")
create web1 "$port" "$jms_port" "$docroot" || fatal "creating the instance: $(cat "$scratch/create.out")"
url=http://127.0.0.1:$port

# The scripts' own options come first; nothing of theirs starts a server.
for script in startserv stopserv restartserv rotatelogs; do
  "$instance/bin/$script" --help >"$scratch/help.out" 2>&1
  check "$script --help returns 0" [ $? -eq 0 ]
  check "... and prints its usage" grep -q "^usage: $script " "$scratch/help.out"
done
# Command lines each script refuses (status 64, with its usage).
refused_usage() {  # refused_usage SCRIPT [WORD...]
  "$instance/bin/$1" "${@:2}" >"$scratch/wrong.out" 2>&1
  [ $? -eq 64 ] && grep -q "^usage: $1 " "$scratch/wrong.out"
}
for wrong in "startserv --bogus" "startserv 127.0.0.1" "startserv -a" "startserv --address=" \
  "startserv --timeout 5" "stopserv -x" "stopserv --" "stopserv --timeout x" "stopserv --timeout 010" \
  "stopserv --keep 2" "restartserv --timeout" "restartserv 127.0.0.1" "restartserv --keep=2" \
  "rotatelogs --keep 0" "rotatelogs --keep=-1" "rotatelogs -a 127.0.0.1" "rotatelogs --kill"; do
  read -r -a words <<<"$wrong"
  check "$wrong is refused with status 64 and the usage" refused_usage "${words[@]}"
done
check "startserv -- with a word that holds a line end is refused likewise" refused_usage startserv -- "line
end"
check "... and none of them started a server" [ ! -e "$instance/logs/pid" ]
check "... nor made a log" [ ! -e "$instance/logs/access" ]

# An address the server cannot take is refused, never taken for every address.
check "the owner sets the listen address localhost in server.xml" set_address localhost
"$instance/bin/startserv" >"$scratch/start-bad.out" 2>&1
check "startserv with that address fails with status 1" [ $? -eq 1 ]
check "... naming the address and the file" \
  grep -qF "the address \"localhost\" of $instance/config/server.xml is not an IPv4 address nor *" \
  "$scratch/start-bad.out"
check "... and starts nothing" [ -z "$(pid_of "$instance")" ]
check "the owner sets the listen address 127.0.0.1 in server.xml" set_address 127.0.0.1
"$instance/bin/startserv" >"$scratch/start.out" 2>&1
check "startserv returns 0" [ $? -eq 0 ]
pid=$(pid_of "$instance")
check "the pid file names a live process running as $user" serving_as_user "$pid"
check "the server listens where server.xml says, 127.0.0.1 alone" [ "$(listening "$pid")" = "127.0.0.1:$port" ]
if [ "$(id -u)" -eq 0 ]; then
  check "started by root, the server holds the capability to bind low ports and no other" \
    has_capabilities "$pid" 0000000000000400
  nobody_out=$(setpriv --reuid=nobody --regid="$(id -g nobody)" --init-groups -- "$instance/bin/stopserv" 2>&1)
  check "stopserv run by a third user is refused with status 3" [ $? -eq 3 ]
  check "... in one line naming the instance's owner" \
    [ "$nobody_out" = "stopserv: the instance $instance is $user's: run this script as $user or as root." ]
  check "... and the server still runs" serving_as_user "$pid"
else
  check "started by its owner, the server holds no capability" has_capabilities "$pid" 0000000000000000
fi
status=$(fetch "$url/" "$scratch/home")
check "GET / answers 200" [ "$status" = 200 ]
check "GET / is the home page copied into the document root" \
  cmp -s "$scratch/home" "$sample/lib/install/templates/index.html"

"$instance/bin/startserv" >"$scratch/again.out" 2>&1
check "a second startserv returns 2, not a failure's status" [ $? -eq 2 ]
check "a second startserv says the server is already running" grep -q "already running" "$scratch/again.out"
"$instance/bin/startserv" --help >"$scratch/help.out" 2>&1
check "startserv --help of a running server returns 0" [ $? -eq 0 ]
check "... and says nothing of the server" eval '! grep -q "already running" "$scratch/help.out"'
check "the first server still runs" serving_as_user "$pid"
check "... alone" [ "$(pid_of "$instance")" = "$pid" ]

check "the request is in the access log" holds '"GET / HTTP/1.1" 200 ' "$instance/logs/access"

"$instance/bin/rotatelogs" >"$scratch/rotate.out" 2>&1
check "rotatelogs returns 0" [ $? -eq 0 ]
rotated=$(rotated_to access "$scratch/rotate.out")
check "rotatelogs moves the access log aside and says where" [ -n "$rotated" ]
rotated=$instance/logs/${rotated:-none}
check "the moved log holds the first request" holds '"GET / HTTP/1.1" 200 ' "$rotated"
# The server opens a new log when it has taken the signal.
check "the server opens a fresh access log" wait_for_file "$instance/logs/access"
status=$(fetch "$url/index.html?after-rotation" "$scratch/page")
check "GET after the rotation answers 200" [ "$status" = 200 ]
check "the next request lands in the fresh log" holds 'after-rotation' "$instance/logs/access"
check "the fresh log holds nothing older" lacks '"GET / HTTP' "$instance/logs/access"
check "the moved log holds nothing newer" lacks after-rotation "$rotated"

# Two more rotations at once, the names of the next two minutes taken by
# files of the owner's: each goes to a name of its own, nothing is
# overwritten.
as_server_user sh -c 'now=$(date +%s); set -C
  for second in $(seq 0 119); do
    echo planted 2>/dev/null >"$1.$(date -d "@$((now + second))" +%Y%m%d-%H%M%S)"
  done' sh "$instance/logs/access"
planted=$(rotations_of access | grep -vxF "${rotated##*/}")
for round in 2 3; do
  as_server_user sh -c 'echo "round $2" >>"$1"' sh "$instance/logs/access" "$round"
  "$instance/bin/rotatelogs" >"$scratch/rotate$round.out" 2>&1
  check "rotation $round returns 0" [ $? -eq 0 ]
done
second=$(rotated_to access "$scratch/rotate2.out")
third=$(rotated_to access "$scratch/rotate3.out")
check "the second rotation takes a numbered name beside the taken one" \
  eval '[[ $second == access.[0-9]*-[0-9]*.[1-9]* ]]'
check "the third takes another" eval '[ -n "$third" ] && [ "$third" != "$second" ]'
check "each holds its own round" \
  eval 'holds "round 2" "$instance/logs/$second" && holds "round 3" "$instance/logs/$third" &&
    lacks "round 3" "$instance/logs/$second"'
check "the planted files are untouched" \
  eval '[ "$(cd "$instance/logs" && for f in $planted; do as_server_user cat "$f"; done | sort -u)" = planted ]'
check "... and none of them was moved" \
  eval '[ "$(rotations_of access | grep -vxF -e "${rotated##*/}" -e "$second" -e "$third")" = "$planted" ]'

# Only the rotations of a log count for --keep; the newest are kept.
# shellcheck disable=SC2086  # one name each
(cd "$instance/logs" && as_server_user rm -f $planted)
as_server_user sh -c 'echo mine >"$1.notes"; echo "round 4" >>"$1"' sh "$instance/logs/access"
"$instance/bin/rotatelogs" --keep 2 >"$scratch/rotate-keep.out" 2>&1
check "rotatelogs --keep 2 returns 0" [ $? -eq 0 ]
fourth=$(rotated_to access "$scratch/rotate-keep.out")
check "... keeps the newest two rotations of the access log" \
  eval '[ -n "$fourth" ] && [ "$(rotations_of access)" = "$(printf "%s\n" access.notes "$third" "$fourth" | sort)" ]'
check "... and says what it removed" grep -qF "$instance/logs/${rotated##*/} removed" "$scratch/rotate-keep.out"
check "... and at most two of the error log" [ "$(rotations_of errors | wc -l)" -le 2 ]

# Once a second has a numbered rotation, a later rotation in it takes the
# next number: its plain name would sort before the numbered ones, and
# --keep would remove the newest rotation for the oldest.
as_server_user sh -c 'now=$(date +%s); set -C
  for second in $(seq 0 119); do
    echo planted 2>/dev/null >"$1.$(date -d "@$((now + second))" +%Y%m%d-%H%M%S).5"
  done' sh "$instance/logs/access"
as_server_user sh -c 'echo "round 5" >>"$1"' sh "$instance/logs/access"
"$instance/bin/rotatelogs" >"$scratch/rotate-next.out" 2>&1
check "a rotation of a second with numbered rotations returns 0" [ $? -eq 0 ]
fifth=$(rotated_to access "$scratch/rotate-next.out")
check "... and takes the number after the highest" eval '[[ $fifth == access.[0-9]*-[0-9]*.6 ]]'
(cd "$instance/logs" && as_server_user find . -maxdepth 1 -name 'access.*.5' -delete)

"$instance/bin/restartserv" >"$scratch/restart.out" 2>&1
check "restartserv returns 0" [ $? -eq 0 ]
new_pid=$(pid_of "$instance")
check "restartserv leaves a new process" new_process "$new_pid" "$pid"
check "the old process is gone" gone "$pid"
check "the new process runs as $user" serving_as_user "$new_pid"
check "... listening on 127.0.0.1 alone, as before" [ "$(listening "$new_pid")" = "127.0.0.1:$port" ]
status=$(fetch "$url/" "$scratch/home")
check "after the restart GET / answers 200 with the home page" \
  page_is "$status" "$scratch/home" "$sample/lib/install/templates/index.html"

# -a holds for its start, and for every restart after it.
check "the owner sets server.xml back to every address" set_address '\*'
pid=$new_pid
"$instance/bin/restartserv" -a 127.0.0.1 >"$scratch/restart-a.out" 2>&1
check "restartserv -a 127.0.0.1 returns 0" [ $? -eq 0 ]
new_pid=$(pid_of "$instance")
check "... the server listens on 127.0.0.1 alone" [ "$(listening "$new_pid")" = "127.0.0.1:$port" ]
check "... and says that -a overrides server.xml" \
  grep -qF "127.0.0.1:$port (given with -a; config/server.xml says *)" "$scratch/restart-a.out"
pid=$new_pid
"$instance/bin/restartserv" >"$scratch/restart-kept.out" 2>&1
check "a plain restartserv returns 0" [ $? -eq 0 ]
new_pid=$(pid_of "$instance")
check "... in a new process" new_process "$new_pid" "$pid"
check "... that listens on 127.0.0.1 alone again, not on every address" \
  [ "$(listening "$new_pid")" = "127.0.0.1:$port" ]

# Without the record of the last start, restartserv does not guess.
as_server_user rm "$instance/logs/startserv.args"
"$instance/bin/restartserv" >"$scratch/restart-unknown.out" 2>&1
check "restartserv without the record of the last start is refused (status 3)" [ $? -eq 3 ]
check "... naming it" grep -qF "$instance/logs/startserv.args" "$scratch/restart-unknown.out"
check "... and the server runs on untouched" eval '[ "$(pid_of "$instance")" = "$new_pid" ] && serving_as_user "$new_pid"'

# A server that does not act on SIGTERM (stopped with SIGSTOP by its owner).
pid=$new_pid
as_server_user kill -STOP "$pid"
"$instance/bin/stopserv" --timeout 1 >"$scratch/stop-stuck.out" 2>&1
check "stopserv --timeout 1 of a server that does not stop fails with status 1" [ $? -eq 1 ]
check "... saying what still runs" grep -q "still running 1 seconds after SIGTERM: process $pid " "$scratch/stop-stuck.out"
check "... and leaves it be" eval 'kill -0 "$pid" && [ "$(pid_of "$instance")" = "$pid" ]'
"$instance/bin/stopserv" --timeout 1 --kill >"$scratch/stop.out" 2>&1
check "stopserv --timeout 1 --kill returns 0" [ $? -eq 0 ]
check "... saying it sent SIGKILL" grep -q "sending SIGKILL to process $pid" "$scratch/stop.out"
check "stopserv removes the pid file" [ ! -e "$instance/logs/pid" ]
check "the server process is gone" gone "$pid"
status=$(fetch "$url/" "$scratch/home")
check "nothing answers on the port any more" [ "$status" = 599 ]
"$instance/bin/stopserv" >"$scratch/stop2.out" 2>&1
check "a second stopserv returns 2" [ $? -eq 2 ]

# --- the same life under other locales -------------------------------------
# Nothing the scripts decide by may be a translated text.
# life_in NAME=LOCALE: the scripts' statuses and texts, run with that
# variable set, are those of the C locale.
life_in() {
  local said=$scratch/life-$1.out statuses=""
  perl -MPOSIX -e 'exit(defined(setlocale(LC_ALL, $ARGV[0])) ? 0 : 1)' "${1#*=}" ||
    fatal "the locale ${1#*=} is missing: scripts/setup.sh installs locales-all"
  : >"$said"
  for words in "startserv -a 127.0.0.1" startserv rotatelogs restartserv stopserv stopserv "stopserv --bogus"; do
    read -r -a words <<<"$words"
    env "$1" "$instance/bin/${words[0]}" "${words[@]:1}" >>"$said" 2>&1
    statuses="$statuses $?"
  done
  [ "$statuses" = " 0 2 0 0 0 2 64" ] || { echo "statuses:$statuses" >>"$said"; return 1; }
  grep -q "listens on 127.0.0.1:$port " "$said" && grep -qF "already running (process" "$said" &&
    grep -qF "$instance/logs/access -> access." "$said" && grep -qF "has stopped." "$said" &&
    grep -qF "is not running." "$said" && grep -qxF "stopserv: unknown option --bogus." "$said"
}
# ctl_life_in NAME=LOCALE: instancectl, which runs the scripts, answers
# with the statuses of the C locale: start, status, restart, stop, status.
ctl_life_in() {
  local said=$scratch/ctl-life-$1.out statuses="" words
  : >"$said"
  for words in "start web1" "status web1" "restart web1" "stop web1" "status web1"; do
    read -r -a words <<<"$words"
    env "$1" "$instancectl" --server-root "$root" "${words[@]}" >>"$said" 2>&1
    statuses="$statuses $?"
  done
  [ "$statuses" = " 0 0 0 0 3" ] || { echo "statuses:$statuses" >>"$said"; return 1; }
}
instancectl=$(dirname "$install_bin")/instancectl
for variable in LANG LC_ALL; do
  for locale in fr_FR.UTF-8 de_DE.UTF-8; do
    check "under $variable=$locale the scripts start, rotate, restart and stop as in C" life_in "$variable=$locale"
    check "under $variable=$locale instancectl starts, restarts and stops as in C" ctl_life_in "$variable=$locale"
  done
done

# --- several starts at once -----------------------------------------------
# lock_holder FILE: the process that holds a lock on FILE, from /proc/locks.
lock_holder() {
  local file
  file=$(printf '%02x:%02x:%s' "$(stat -c %Hd "$1")" "$(stat -c %Ld "$1")" "$(stat -c %i "$1")") || return 1
  awk -v file="$file" '$2 != "->" && $6 == file { print $5; exit }' /proc/locks
}
# servers_of INSTANCE: the lighttpd processes serving the instance, one a line.
servers_of() {
  local dir
  for dir in /proc/[0-9]*; do
    { tr '\0' '\n' <"$dir/cmdline"; } 2>/dev/null | grep -qxF "$1/logs/lighttpd.conf" && echo "${dir#/proc/}"
  done
}
# starts_at_once COUNT: COUNT startserv at once; one starts the server, the
# others say it runs; the lock's holder is the instance's only lighttpd.
starts_at_once() {
  local i statuses="" holder starts=()
  for i in $(seq 1 "$1"); do
    "$instance/bin/startserv" -a 127.0.0.1 >"$scratch/together-$i.out" 2>&1 &
    starts+=($!)
  done
  for i in "${starts[@]}"; do
    wait "$i"
    statuses="$statuses $?"
  done
  statuses=$(printf '%s\n' $statuses | sort | tr '\n' ' ')
  holder=$(lock_holder "$instance/logs/server.lock")
  if [ "$statuses" = "0 $(printf '2 %.0s' $(seq 2 "$1"))" ] && [ -n "$holder" ] &&
    [ "$(servers_of "$instance")" = "$holder" ] && [ "$(pid_of "$instance")" = "$holder" ]; then
    return 0
  fi
  echo "statuses $statuses, lock holder ${holder:-none}, servers $(servers_of "$instance" | tr '\n' ' ')" >&2
  return 1
}
for round in 1 2 3; do
  check "round $round of six startserv at once: one server, the lock's holder, alone; the others status 2" starts_at_once 6
  "$instance/bin/stopserv" >"$scratch/stop-together.out" 2>&1
  check "... and stopserv leaves none" eval '[ $? -eq 0 ] && [ -z "$(servers_of "$instance")" ]'
done

# --- whatever the pid file holds ----------------------------------------------
# The server is the lock's holder: the text of the pid file neither hides it
# nor makes stopserv claim to have signalled anything.
odd_text() {  # odd_text KIND PID
  case $1 in
    zero) printf '0%s' "$2" ;;
    leading) printf ' %s' "$2" ;;
    trailing) printf '%s ' "$2" ;;
    twice) printf '%s%s' "$2" "$2" ;;
    *) printf '%s' "$1" ;;
  esac
}
for kind in zero leading trailing twice none; do
  "$instance/bin/startserv" -a 127.0.0.1 >"$scratch/start-odd.out" 2>&1
  pid=$(pid_of "$instance")
  odd=$(odd_text "$kind" "$pid")
  as_server_user sh -c 'printf "%s" "$2" >"$1"' sh "$instance/logs/pid" "$odd"
  "$instance/bin/stopserv" >"$scratch/stop-odd.out" 2>&1
  check "a pid file holding \"$odd\": stopserv stops the server (status 0)" [ $? -eq 0 ]
  check "... which is gone" gone "$pid"
  as_server_user sh -c 'printf "%s" "$2" >"$1"' sh "$instance/logs/pid" "$odd"
  "$instance/bin/stopserv" >"$scratch/stop-odd.out" 2>&1
  check "... with no server, stopserv says it is not running (status 2)" [ $? -eq 2 ]
  check "... and nothing else: no signal was sent" \
    [ "$(cat "$scratch/stop-odd.out")" = "stopserv: the https server web1 ($root) is not running." ]
done

# --- a start killed part way ---------------------------------------------------
# The server program waits, once it runs, until the test lets it go, and
# the test kills the startserv that ran it meanwhile. The record of the
# start was written before the server program ran: once the server is up,
# restartserv brings it back as that start asked (every address, as
# server.xml says now), not as the start before (127.0.0.1).
program=$root/bin/https/bin/appservd-wdog
held=$scratch/held
mkdir -p "$held" && mkfifo "$held/go" && chown -R "$user" "$held" || fatal "making $held"
mv "$program" "$program.real"
printf '#!/bin/sh\necho $$ >"%s/started"\nread -r _ <"%s/go"\nexec "%s.real" "$@"\n' "$held" "$held" "$program" >"$program"
chmod 755 "$program"
"$instance/bin/startserv" >"$scratch/start-killed.out" 2>&1 &
starter=$!
check "the held server program runs" wait_for_file "$held/started"
parent=$(awk '{ print $4 }' "/proc/$(cat "$held/started")/stat")
check "... and the startserv that waits for it is killed" kill -KILL "$parent"
{ wait "$starter"; } 2>/dev/null
echo go >"$held/go"
# served: the lock's holder is the process the pid file names.
served() { [ -n "$(lock_holder "$instance/logs/server.lock")" ] && [ "$(pid_of "$instance")" = "$(lock_holder "$instance/logs/server.lock")" ]; }
for _ in $(seq 1 600); do served && break; sleep 0.1; done
check "the server it started runs, the lock's holder" served
mv "$program.real" "$program"
pid=$(pid_of "$instance")
"$instance/bin/restartserv" >"$scratch/restart-killed.out" 2>&1
check "restartserv then returns 0" [ $? -eq 0 ]
new_pid=$(pid_of "$instance")
check "... stops the server the killed start left" gone "$pid"
check "... and starts it as that start asked: on every address" [ "$(listening "$new_pid")" = "0.0.0.0:$port" ]
"$instance/bin/stopserv" >"$scratch/stop-killed.out" 2>&1
check "stopserv stops it" [ $? -eq 0 ]

# --- a French document root -----------------------------------------------
port=$fr_port
instance=$root/webfr
instances+=("$instance")
create webfr "$port" "$fr_jms_port" "$scratch/docs-fr" INSTALL_DOC_LANGUAGE=fr ||
  fatal "creating the French instance: $(cat "$scratch/create.out")"
"$instance/bin/startserv" -a 127.0.0.1 >"$scratch/start-fr.out" 2>&1
check "the French instance starts" [ $? -eq 0 ]
status=$(fetch "http://127.0.0.1:$port/" "$scratch/home-fr")
check "its GET / answers 200 with the French home page" \
  page_is "$status" "$scratch/home-fr" "$sample/lib/install/templates/fr/index.html"
"$instance/bin/stopserv" >"$scratch/stop-fr.out" 2>&1
check "the French instance stops" [ $? -eq 0 ]

# --- as root: a port below 1024, served as the server user -----------------
if [ "$(id -u)" -eq 0 ]; then
  # (80 is left to the test that expects it free.)
  port=$(free_port 1 600 1023) || fatal "finding a free port below 1024"
  instance=$root/weblow
  instances+=("$instance")
  create weblow "$port" "$(free_port)" "$scratch/docs-low" || fatal "creating the instance on port $port: $(cat "$scratch/create.out")"
  "$instance/bin/startserv" -a 127.0.0.1 >"$scratch/start-low.out" 2>&1
  check "root's startserv serves port $port" [ $? -eq 0 ]
  pid=$(pid_of "$instance")
  check "... from a process of $user's" serving_as_user "$pid"
  check "... that holds the capability to bind low ports and no other" has_capabilities "$pid" 0000000000000400
  status=$(fetch "http://127.0.0.1:$port/" "$scratch/home-low")
  check "... and answers GET / with the home page" \
    page_is "$status" "$scratch/home-low" "$sample/lib/install/templates/index.html"
  "$instance/bin/restartserv" -a 127.0.0.1 >"$scratch/restart-low.out" 2>&1
  check "root's restartserv brings it back on port $port" [ $? -eq 0 ]
  new_pid=$(pid_of "$instance")
  check "... in a new process of $user's" new_process "$new_pid" "$pid"
  check "... that holds the same single capability" has_capabilities "$new_pid" 0000000000000400
  status=$(fetch "http://127.0.0.1:$port/" "$scratch/home-low")
  check "... and answers GET /" [ "$status" = 200 ]
  "$instance/bin/stopserv" >"$scratch/stop-low.out" 2>&1
  check "root's stopserv stops it" [ $? -eq 0 ]
  check "... and the process is gone" gone "$new_pid"
fi

if [ "$failures" -ne 0 ]; then
  for out in "$scratch"/*.out "$root"/web*/logs/errors*; do
    [ -f "$out" ] && { echo "--- $out"; as_server_user cat "$out"; }
  done >&2
  echo "$failures check(s) failed" >&2
  exit 1
fi
# --- the same life for an instance of an ordinary user's --------------------
if [ "$(id -u)" -eq 0 ]; then
  echo "--- again as $user, who creates and runs its own instance"
  stop_leftovers
  rm -rf -- "$scratch"
  trap - EXIT
  LIFECYCLE_PORTS=$(free_port 4) || fatal "finding free ports"
  export LIFECYCLE_PORTS
  exec setpriv --reuid="$user" --regid="$(id -g "$user")" --init-groups -- "$0" "$install_bin" "$sample"
fi
echo "all checks passed"
