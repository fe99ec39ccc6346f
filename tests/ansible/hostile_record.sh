#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck disable=SC2317  # finish runs from the trap
# The server_instance module against records the server user wrote to
# mislead root, as root with the instance handed to daemon:
#   1. daemon gives its config/answers.conf a second name, a file of root's
#      (with fs.protected_hardlinks at 0 for the moment it takes, restored
#      at once); state: present must neither read nor quote that file;
#   2. daemon fills its record and the server name of its config/server.xml
#      (which the module compares) with escape sequences, C1 and other
#      control characters; the failure that lists the differences shows
#      them escaped, and nothing of them reaches the output raw.
#
#   tests/ansible/hostile_record.sh BUILD_DIR
set -u
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: the record is daemon's, the run root's" >&2
  exit 77
fi
build=$(cd "$1" && pwd) || exit 2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=SCRIPTDIR/../checks.sh
. "$here/../checks.sh"
protection=/proc/sys/fs/protected_hardlinks
saved_protection=
finish() {
  [ -z "$saved_protection" ] || echo "$saved_protection" >"$protection"
}
make_scratch ansible-record-test
while read -r variable; do unset "$variable"; done < <(compgen -e | grep '^ANSIBLE_')
export ANSIBLE_CONFIG=$here/ansible.cfg ANSIBLE_NOCOLOR=1 ANSIBLE_LOCAL_TEMP=$scratch/ansible-local \
  ANSIBLE_REMOTE_TEMP=$scratch/ansible-remote ANSIBLE_HOME=$scratch/ansible-home LC_ALL=C.UTF-8
as_daemon() { setpriv --reuid=daemon --regid="$(id -g daemon)" --init-groups -- "$@"; }

root=$scratch/server-root
cp -a "$build/server-root" "$root" || fatal "copying the sample installation"
test_port=$build/tests/test-port
read -r port jms_port <<<"$(free_port 2)"
instance=$root/web
env PATH=/usr/bin:/bin LANG=C INSTALL_CHECK_PORTS=no ZORA_SERVER_HOME="$root" "$build/install" -s h1.example.test -p "$port" -i web \
  -u daemon -d "$scratch/docs" -P "$jms_port" -A admin -W secret -J /usr/lib/jvm/default-java \
  >"$scratch/create.out" 2>&1 || fatal "creating the instance: $(cat "$scratch/create.out")"
printf '[servers]\nh1 server_root=%s instance_id=web http_port=%s jms_port=%s server_user=daemon docroot=%s server_name=h1.example.test\n[servers:vars]\nansible_connection=local\nansible_python_interpreter=/usr/bin/python3\ntool=%s\n' \
  "$root" "$port" "$jms_port" "$scratch/docs" "$build/install" >"$scratch/hosts"
printf 'jms_password: "pw"\n' >"$scratch/secrets.yml"
playbook() {  # playbook OUTPUT
  ansible-playbook -v -e "@$scratch/secrets.yml" -i "$scratch/hosts" "$here/instances.yml" >"$1" 2>&1
}
record=$instance/config/answers.conf

# --- 1. a record with a second name -------------------------------------------
secret=$scratch/root-secret
printf 'serverName = ROOT-SECRET-NAME\nport = 1\ndocRoot = /ROOT-SECRET-PATH\nserverUser = root\n' >"$secret"
chmod 600 "$secret"
if saved_protection=$(cat "$protection" 2>/dev/null) && echo 0 >"$protection" 2>/dev/null; then
  as_daemon sh -c 'rm -f "$1" && ln "$2" "$1"' sh "$record" "$secret"
  linked=$?
  echo "$saved_protection" >"$protection"
  saved_protection=
  [ "$linked" -eq 0 ] || fatal "daemon could not link its record to root's file"
  playbook "$scratch/linked.out"
  check "a record with a second name fails the host" grep -q 'h1 *: ok=0 .*failed=1' "$scratch/linked.out"
  check "... saying that it cannot be read" grep -q "recorded answers cannot be read" "$scratch/linked.out"
  check "... and quoting nothing of root's file" eval '! grep -q ROOT-SECRET "$scratch/linked.out"'
  check "root's file is as it was" test "$(stat -c '%u %a %h' "$secret")" = "0 600 2"
  as_daemon rm -f "$record"
else
  saved_protection=
  echo "fs.protected_hardlinks cannot be set here: the second name is not tried"
fi

# --- 2. control characters in the record --------------------------------------
as_daemon sh -c 'printf "serverId = web\nserverName = h1\033]0;owned\007\302\233""31m\033[2J\nport = %s\njmsPort = %s\nserverUser = root\ndocRoot = %s\njavaHome = /usr/lib/jvm/default-java\njmsAdminUser = admin\n" "$2" "$3" "$4" >"$1"' \
  sh "$record" "$port" "$jms_port" "$scratch/docs"
as_daemon perl -i -pe 's/server-name="h1\.example\.test"/server-name="h1\e]0;owned\a\xc2\x9b31m\e[2J"/' \
  "$instance/config/server.xml" || fatal "daemon could not rewrite its config/server.xml"
playbook "$scratch/escapes.out"
check "a record with other answers fails the host" grep -q 'h1 *: ok=0 .*failed=1' "$scratch/escapes.out"
check "the differing server name is shown escaped" grep -qF 'h1\\x1b]0;owned\\x07\\u009b31m\\x1b[2J' \
  "$scratch/escapes.out"
check "no escape sequence, C1 or other control character reaches the output raw" \
  eval "! LC_ALL=C grep -qP '[\\x00-\\x08\\x0b-\\x1f\\x7f]|\\xc2[\\x80-\\x9f]' \"\$scratch/escapes.out\""
check "the user is the instance's owner, not the record's" eval '! grep -q "user: " "$scratch/escapes.out"'

if [ "$failures" -ne 0 ]; then
  for output in "$scratch"/*.out; do
    echo "--- $output" >&2
    cat -v "$output" >&2
  done
  exit 1
fi
echo "all checks passed"
