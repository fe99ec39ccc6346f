#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck disable=SC2317  # finish runs from the trap
# The program that does the control scripts' work and becomes the owner,
# bin/https/bin/asowner of the installation, is run by root: the scripts
# must refuse it whenever a user other than root could have changed it or
# anything on the way to it. daemon replaces it with a payload wherever it
# could (the program writable by others, its directory daemon's, a link in
# its place to what daemon can change, missing), and root's stopserv must
# refuse in one line naming it (status 3), with root's sentinel unchanged;
# links of root's alone, however many and however written, are followed.
# Then the program's old interface, which the scripts of instances made
# before call: refused to anyone but root, wrong command lines, an unknown
# user, and a program killed by Ctrl-C's signal ending asowner the same way.
#
#   tests/operation/runner.sh INSTALL_BINARY SAMPLE_SERVER_ROOT
set -u
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: root runs the program" >&2
  exit 77
fi
# shellcheck source=SCRIPTDIR/../checks.sh
. "$(dirname "$0")/../checks.sh"
finish() { :; }
start_instance_test runner-test "$@"
as_daemon() { setpriv --reuid=daemon --regid="$(id -g daemon)" --init-groups -- "$@"; }

sentinel=$scratch/sentinel
install -m 600 /dev/null "$sentinel"
echo "root's own" >"$sentinel"
payload="#!/bin/sh
echo pwned >>$sentinel
"
port=$(free_port) || fatal "finding a free port"
env PATH=/usr/bin:/bin LANG=C INSTALL_CHECK_PORTS=no ZORA_SERVER_HOME="$root" "$install_bin" -s www.example.test \
  -p "$port" -i web1 -u daemon -d "$scratch/docs" -P "$((port + 1))" -A admin -W secret -J /usr/lib/jvm/java \
  >"$scratch/create.out" 2>&1 || fatal "creating web1: $(cat "$scratch/create.out")"
instance=$root/web1
program_dir=$root/bin/https/bin
program=$program_dir/asowner
cp -p "$program" "$scratch/asowner.good"

# refused NAME: root's stopserv refuses in one line naming the program, and
# ran nothing.
refused() {
  local out
  out=$(timeout 60 "$instance/bin/stopserv" 2>&1)
  [ $? -eq 3 ] && [ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] &&
    [[ $out == "stopserv: $program, which runs this script as the instance's owner, is not run as root: "* ]] &&
    [ "$(cat "$sentinel")" = "root's own" ] || { echo "$out" >&2; return 1; }
}
restore() {
  rm -rf "$program_dir"
  mkdir -p "$program_dir"
  cp -p "$scratch/asowner.good" "$program"
}

check "as installed, root's stopserv runs as daemon (status 2: not running)" \
  eval 'timeout 60 "$instance/bin/stopserv" >/dev/null 2>&1; [ $? -eq 2 ]'

chmod 777 "$program"
as_daemon sh -c 'printf "%s" "$1" >"$2"' sh "$payload" "$program"
check "a program others can write is refused" refused
restore

chown daemon "$program_dir"
as_daemon sh -c 'printf "%s" "$1" >"$2.new" && chmod 755 "$2.new" && mv -f "$2.new" "$2"' sh "$payload" "$program"
check "a program in a directory of daemon's is refused" refused
restore

chown daemon "$root/bin"
check "a program below a directory of daemon's is refused" refused
chown root "$root/bin"

# A packaged installation links the program to the system's copy: links
# of root's in directories of root's are followed, one at a time, whether
# they name the program or another such link, by an absolute or a relative
# path; a link of daemon's, or one that leads to what daemon can change, is
# refused.
mkdir -m 755 "$scratch/daemons"
chown daemon "$scratch/daemons"
printf '%s' "$payload" >"$scratch/daemons/payload"
printf '%s' "$payload" >"$scratch/payload"
chmod 755 "$scratch/daemons/payload" "$scratch/payload"
chown daemon "$scratch/payload"
ln -s "$scratch/asowner.good" "$scratch/hop"
runs() { timeout 60 "$instance/bin/stopserv" >/dev/null 2>&1; [ $? -eq 2 ]; }
while IFS='|' read -r target link_owner what verdict; do
  ln -sfn "$target" "$program"
  chown -h "$link_owner" "$program"
  check "a link in the program's place $what: root's stopserv $verdict" "$verdict"
  restore
done <<EOF_LINKS
$scratch/payload|root|to a program of daemon's|refused
$scratch/daemons/payload|root|to a program in a directory of daemon's|refused
$scratch/asowner.good|daemon|of daemon's|refused
$scratch/asowner.good|root|to a program of root's|runs
$scratch/hop|root|to another link of root's|runs
../../../../asowner.good|root|naming the program by a relative path|runs
EOF_LINKS

rm -f "$program"
check "a missing program is refused" refused
restore

# An installation reached through a link of root's is no cause to refuse.
ln -s "$root" "$scratch/linked-root"
env PATH=/usr/bin:/bin LANG=C INSTALL_CHECK_PORTS=no ZORA_SERVER_HOME="$scratch/linked-root" "$install_bin" \
  -s www.example.test -p "$port" -i web2 -u daemon -d "$scratch/docs" -P "$((port + 1))" -A admin -W secret \
  -J /usr/lib/jvm/java >"$scratch/create.out" 2>&1 || fatal "creating web2: $(cat "$scratch/create.out")"
check "an installation reached through root's link: root's stopserv runs as daemon (status 2)" \
  eval 'timeout 60 "$scratch/linked-root/web2/bin/stopserv" >/dev/null 2>&1; [ $? -eq 2 ]'

# --- the program itself ------------------------------------------------------
daemon_uid=$(id -u daemon)
out=$(as_daemon "$program" "$daemon_uid" -- /bin/true 2>&1)
check "asowner refuses anyone but root (status 1)" test $? -eq 1
check "... saying so" test "$out" = "asowner: only root runs a program as another user."
for words in "" "$daemon_uid" "$daemon_uid /bin/true" "--bogus $daemon_uid -- /bin/true" "x -- /bin/true"; do
  # shellcheck disable=SC2086  # one word each
  out=$("$program" $words 2>&1)
  status=$?
  check "asowner $words: usage, status 1" eval '[ "$status" -eq 1 ] && [[ $out == usage:* ]]'
done
out=$("$program" 4000000000 -- /bin/true 2>&1)
status=$?
check "an unknown user is refused" eval \
  '[ "$status" -eq 1 ] && [ "$out" = "asowner: the user 4000000000 is not a user of this system." ]'
out=$("$program" "$daemon_uid" -- true 2>&1)
status=$?
check "a program that is no absolute path is refused" eval \
  '[ "$status" -eq 1 ] && [ "$out" = "asowner: the program true is not an absolute path." ]'
"$program" "$daemon_uid" -- /nonexistent >/dev/null 2>&1
check "a program that does not exist: status 127" test $? -eq 127
ended=$(python3 -c 'import subprocess, sys; print(subprocess.run(sys.argv[1:]).returncode)' \
  "$program" "$daemon_uid" -- /bin/sh -c 'kill -INT $$')
check "a program ended by SIGINT ends asowner by SIGINT" test "$ended" = -2
out=$("$program" "$daemon_uid" -- /usr/bin/id -u)
check "the program runs as daemon" test "$out" = "$daemon_uid"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "all checks passed"
