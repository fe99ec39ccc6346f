#!/bin/bash
# shellcheck disable=SC2317  # finish runs from the trap
# An instance's whole life through its own control scripts: created by the
# tool from a scratch copy of the sample installation, started (the sample's
# stand-in server program serves the document root through lighttpd),
# asked for its home page, refused a second start, its logs rotated,
# restarted and stopped. As root the instance runs as daemon, and one more
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

# --- an English instance: the whole cycle ----------------------------------
# The document root's name needs escaping in server.xml and quoting in
# lighttpd's configuration.
docroot="$scratch/docs & \"more\""
instance=$root/web1
instances+=("$instance")
create web1 "$port" "$jms_port" "$docroot" || fatal "creating the instance: $(cat "$scratch/create.out")"
url=http://127.0.0.1:$port

"$instance/bin/startserv" -a 127.0.0.1 >"$scratch/start.out" 2>&1
check "startserv returns 0" [ $? -eq 0 ]
pid=$(pid_of "$instance")
check "the pid file names a live process running as $user" serving_as_user "$pid"
if [ "$(id -u)" -eq 0 ]; then
  check "started by root, the server holds the capability to bind low ports and no other" \
    has_capabilities "$pid" 0000000000000400
  nobody_out=$(setpriv --reuid=nobody --regid="$(id -g nobody)" --init-groups -- "$instance/bin/stopserv" 2>&1)
  check "stopserv run by a third user is refused with status 1" [ $? -eq 1 ]
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

"$instance/bin/startserv" -a 127.0.0.1 >"$scratch/again.out" 2>&1
check "a second startserv fails" [ $? -ne 0 ]
check "a second startserv says the server is already running" grep -q "already running" "$scratch/again.out"
check "the first server still runs" serving_as_user "$pid"

check "the request is in the access log" holds '"GET / HTTP/1.1" 200 ' "$instance/logs/access"

"$instance/bin/rotatelogs" >"$scratch/rotate.out" 2>&1
check "rotatelogs returns 0" [ $? -eq 0 ]
rotated=$(find "$instance/logs" -name 'access.*' | head -n 1)
check "rotatelogs moves the access log aside" [ -n "$rotated" ]
check "the moved log holds the first request" holds '"GET / HTTP/1.1" 200 ' "${rotated:-/dev/null}"
# The server opens a new log when it has taken the signal.
check "the server opens a fresh access log" wait_for_file "$instance/logs/access"
status=$(fetch "$url/index.html?after-rotation" "$scratch/page")
check "GET after the rotation answers 200" [ "$status" = 200 ]
check "the next request lands in the fresh log" holds 'after-rotation' "$instance/logs/access"
check "the fresh log holds nothing older" lacks '"GET / HTTP' "$instance/logs/access"
check "the moved log holds nothing newer" lacks after-rotation "${rotated:-/dev/null}"

"$instance/bin/restartserv" -a 127.0.0.1 >"$scratch/restart.out" 2>&1
check "restartserv returns 0" [ $? -eq 0 ]
new_pid=$(pid_of "$instance")
check "restartserv leaves a new process" new_process "$new_pid" "$pid"
check "the old process is gone" gone "$pid"
check "the new process runs as $user" serving_as_user "$new_pid"
status=$(fetch "$url/" "$scratch/home")
check "after the restart GET / answers 200 with the home page" \
  page_is "$status" "$scratch/home" "$sample/lib/install/templates/index.html"

"$instance/bin/stopserv" >"$scratch/stop.out" 2>&1
check "stopserv returns 0" [ $? -eq 0 ]
check "stopserv removes the pid file" [ ! -e "$instance/logs/pid" ]
check "the server process is gone" gone "$new_pid"
status=$(fetch "$url/" "$scratch/home")
check "nothing answers on the port any more" [ "$status" = 599 ]
"$instance/bin/stopserv" >"$scratch/stop2.out" 2>&1
check "a second stopserv returns 2" [ $? -eq 2 ]

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
