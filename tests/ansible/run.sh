#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck disable=SC2317  # finish runs from the trap
# The server_instance module (ansible/library) driven by ansible-playbook
# against inventories of several hosts that are all this machine, each with
# its own scratch copy of the sample installation as server root:
#   1. a first run creates every instance (traced with strace, at -vvv);
#   2. the same run again changes nothing;
#   3. a check-mode run creates nothing and reports what it would do, and
#      fails the hosts whose answers the tool's check refuses or whose
#      existing instance differs;
#   4. a real run where some hosts fail (unknown user, a port a running
#      process listens on, an existing instance with other answers) while
#      another succeeds;
#   5. drift: an existing instance whose Java home or JMS administrator
#      differs fails with the difference;
#   6. --check --diff shows the answers an instance would get, and the ones
#      a removal would take away, and changes nothing;
#   7. state: absent removes an instance (running or not) and keeps its
#      document root; a second run changes nothing;
#   8. a creation that fails after it made something reports changed and
#      names the broken.<id> it left; one killed before it finished fails
#      the task, untouched, until state: absent clears it; a server root that is missing or no
#      installation fails the task with the one line the tool names it with;
#   9. the module passes ansible-test's validate-modules checks, run offline;
# and the JMS password is nowhere in the output nor in any traced execve,
# yet it reaches the instances' config/server.xml. As root the instances go
# to daemon; otherwise to the current user.
#
#   tests/ansible/run.sh BUILD_DIR
set -u
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd) || exit 2
tool=$build/install
sample=$build/server-root
here=$(cd "$(dirname "$0")" && pwd)
library=$(cd "$here/../../ansible/library" && pwd) || exit 2
python=/usr/bin/python3

for program in ansible-playbook ansible-doc strace "$python"; do
  command -v "$program" >/dev/null 2>&1 || { echo "$program missing: run scripts/setup.sh" >&2; exit 1; }
done
if [ ! -x "$tool" ] || [ ! -d "$sample" ]; then
  echo "no tool or sample installation in $build" >&2
  exit 1
fi

# shellcheck source=SCRIPTDIR/../checks.sh
. "$(dirname "$0")/../checks.sh"
listener_pid=
finish() {
  if [ -n "$listener_pid" ]; then
    kill "$listener_pid" 2>/dev/null
    wait "$listener_pid" 2>/dev/null
  fi
}
# The instances and their document roots go to the server user.
make_scratch ansible-test
unknown_user=nosuchuser$$

# Only this test's configuration, temporary directories and home.
while read -r variable; do unset "$variable"; done < <(compgen -e | grep '^ANSIBLE_')
export ANSIBLE_CONFIG=$here/ansible.cfg ANSIBLE_NOCOLOR=1 ANSIBLE_HOST_KEY_CHECKING=False \
  ANSIBLE_LOCAL_TEMP=$scratch/ansible-local ANSIBLE_REMOTE_TEMP=$scratch/ansible-remote \
  ANSIBLE_HOME=$scratch/ansible-home LC_ALL=C.UTF-8

# The password, only ever in a vars file read with -e @FILE.
password="pw-$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')"
secrets=$scratch/secrets.yml
(umask 077 && printf 'jms_password: "%s"\n' "$password" >"$secrets") || fatal "writing $secrets"

# The ports of this test's instances (free_port).
test_port=$build/tests/test-port
read -r -a ports <<<"$(free_port 24)"
[ "${#ports[@]}" -eq 24 ] || fatal "finding free ports"
next_port=0
port() {  # sets $got to the next free port
  got=${ports[$next_port]}
  next_port=$((next_port + 1))
}

# new_root NAME: a fresh copy of the sample installation.
new_root() {
  cp -a "$sample" "$scratch/$1" || fatal "copying the sample installation"
}

# host NAME ROOT ID HTTP JMS USER [DOCROOT]: one inventory line.
host() {
  printf '%s server_root=%s instance_id=%s http_port=%s jms_port=%s server_user=%s docroot=%s server_name=%s\n' \
    "$1" "$scratch/$2" "$3" "$4" "$5" "$6" "${7:-$scratch/docs-$1}" "$1.example.test"
}

# inventory FILE TOOL HOST_LINE...
inventory() {
  local file=$1 executable=$2
  shift 2
  {
    echo "[servers]"
    printf '%s' "$@"
    echo "[servers:vars]"
    echo "ansible_connection=local"
    echo "ansible_python_interpreter=$python"
    echo "tool=$executable"
  } >"$file"
}

playbook() {  # playbook OUTPUT ARGS...
  local output=$1
  shift
  ansible-playbook -e "@$secrets" "$@" "$here/instances.yml" >"$output" 2>&1
}

# recap OUTPUT HOST COUNTS...: the PLAY RECAP line of HOST has each
# NAME=VALUE of COUNTS.
recap() {
  local output=$1 name=$2 line count
  shift 2
  line=$(awk -v host="$name" '$1 == host && $2 == ":"' "$output")
  [ -n "$line" ] || { echo "no recap for $name" >&2; return 1; }
  for count in "$@"; do
    [[ " $line " == *" $count "* ]] || { echo "$name: expected $count in: $line" >&2; return 1; }
  done
}

# result OUTPUT HOST KEY: a key of HOST's task result (-v output: one JSON
# object a line), printed as JSON.
result() {
  sed -n "s/^\(ok\|changed\|fatal\): \[$2\]\(: FAILED!\)\? => //p" "$1" |
    "$python" -c 'import json, sys; print(json.dumps(json.loads(sys.stdin.read()).get(sys.argv[1])))' "$3"
}

# result_has OUTPUT HOST KEY TEXT: that key holds TEXT.
result_has() {
  local value
  value=$(result "$1" "$2" "$3") || return 1
  [[ $value == *"$4"* ]] || { echo "$2: $3 is $value, expected to hold $4" >&2; return 1; }
}

recorded() {  # recorded INSTANCE NAME: the value of NAME in its answers.conf
  sed -n "s/^$2 = //p" "$1/config/answers.conf"
}

no_password_in() { ! grep -qF -- "$password" "$@"; }

# --- the documentation --------------------------------------------------
ansible-doc -M "$library" server_instance >"$scratch/doc.out" 2>"$scratch/doc.err"
check "ansible-doc renders the module's documentation without errors or warnings" \
  test $? -eq 0 -a ! -s "$scratch/doc.err"
doc_shows() { grep -q '^- jms_password' "$1" && grep -q '^= server_root' "$1" && grep -q '^- instance_dir' "$1"; }
check "the documentation shows the options and the return values" doc_shows "$scratch/doc.out"

# --- 1. first run: every host creates its instance ---------------------
# LeakSanitizer cannot work under ptrace: in a sanitized build the traced
# run reaches the tool through a wrapper that turns leak detection off.
traced_tool=$tool
if grep -q '^SANITIZE:BOOL=ON$' "$build/CMakeCache.txt" 2>/dev/null; then
  traced_tool=$scratch/tool-without-leak-check
  printf '#!/bin/sh\nASAN_OPTIONS=detect_leaks=0 exec "%s" "$@"\n' "$tool" >"$traced_tool"
  chmod 755 "$traced_tool"
  ln -s "$build/instancectl" "$scratch/instancectl"  # the module finds instancectl beside the tool
fi
inventory_lines=()
declare -A http_of
for name in h1 h2 h3; do
  new_root "root-$name"
  port; http=$got
  port; jms=$got
  inventory_lines+=("$(host "$name" "root-$name" web "$http" "$jms" "$user")"$'\n')
  http_of[$name]=$http
done
inventory "$scratch/hosts-create" "$traced_tool" "${inventory_lines[@]}"

strace -f -v -s 100000 -e trace=execve -o "$scratch/execve.trace" \
  ansible-playbook -vvv -e "@$secrets" -i "$scratch/hosts-create" "$here/instances.yml" \
  >"$scratch/run1.out" 2>&1
check "the first run succeeds (exit status $?)" test "$?" -eq 0
for name in h1 h2 h3; do
  instance=$scratch/root-$name/web
  check "first run: $name changed" recap "$scratch/run1.out" "$name" ok=1 changed=1 failed=0
  check "first run: $name's instance recorded its answers" \
    test "$(recorded "$instance" port)/$(recorded "$instance" serverUser)/$(recorded "$instance" serverName)" \
    = "${http_of[$name]}/$user/$name.example.test"
  check "first run: $name's document root is filled" test -f "$scratch/docs-$name/index.html"
  check "the password reached $name's config/server.xml" grep -qF -- "admin-password=\"$password\"" \
    "$instance/config/server.xml"
done
check "the -vvv output shows the module's arguments with the password hidden" \
  grep -q '"jms_password": "VALUE_SPECIFIED_IN_NO_LOG_PARAMETER"' "$scratch/run1.out"
check "the password is nowhere in the -vvv output" no_password_in "$scratch/run1.out"
tool_traced() {  # the tool was executed with the password option -w -
  grep -F "execve(\"$tool\", [\"$tool\", " "$1" | grep -qF '"-A", "admin", "-w", "-", "-J"'
}
check "the trace holds the tool's execve with -w -" tool_traced "$scratch/execve.trace"
check "the password is in no traced execve (arguments or environment)" \
  no_password_in "$scratch/execve.trace"

# --- 2. the same run again: nothing changes -----------------------------
playbook "$scratch/run2.out" -v -i "$scratch/hosts-create"
check "the second run succeeds (exit status $?)" test "$?" -eq 0
for name in h1 h2 h3; do
  check "second run: $name unchanged" recap "$scratch/run2.out" "$name" ok=1 changed=0 failed=0
  check "second run: $name returns its instance directory" \
    result_has "$scratch/run2.out" "$name" instance_dir "\"$scratch/root-$name/web\""
done

# --- 3. check mode ------------------------------------------------------
new_root root-c1
new_root root-c2
new_root root-c4
port; c1_http=$got
port; c1_jms=$got
port; c2_http=$got
port; c2_jms=$got
port; c4_port=$got
inventory "$scratch/hosts-check" "$tool" \
  "$(host c1 root-c1 web "$c1_http" "$c1_jms" "$user")"$'\n' \
  "$(host c2 root-c2 web "$c2_http" "$c2_jms" "$user")"$'\n' \
  "$(host c4 root-c4 web "$c4_port" "$c4_port" "$unknown_user")"$'\n' \
  "$(host h1 root-h1 web "${http_of[h1]}" "$(recorded "$scratch/root-h1/web" jmsPort)" "$user" \
     "$scratch/docs-h1/")"$'\n' \
  "$(host c5 root-h2 web "$c1_http" "$(recorded "$scratch/root-h2/web" jmsPort)" "$user")"$'\n'
playbook "$scratch/run3.out" -v --check -i "$scratch/hosts-check"
for name in c1 c2; do
  check "check mode: $name would change" recap "$scratch/run3.out" "$name" ok=1 changed=1 failed=0
  check "check mode: $name reports where its instance would be" \
    result_has "$scratch/run3.out" "$name" instance_dir "\"$scratch/root-$name/web\""
  check "check mode: $name created nothing" \
    test ! -e "$scratch/root-$name/web" -a ! -e "$scratch/docs-$name"
done
check "check mode: an existing instance with the same answers (document root spelt otherwise) is ok" \
  recap "$scratch/run3.out" h1 ok=1 changed=0 failed=0
check "check mode: refused answers fail the host" recap "$scratch/run3.out" c4 ok=0 changed=0 failed=1
check "check mode: the failure gives the tool's exit status" test "$(result "$scratch/run3.out" c4 rc)" = 3
check "check mode: the failure lists the unknown user" \
  result_has "$scratch/run3.out" c4 msg "The user \\\"$unknown_user\\\" does not exist on this system."
check "check mode: the failure also lists the equal ports" \
  result_has "$scratch/run3.out" c4 msg "The HTTP port and the JMS port are both $c4_port; they must differ."
check "check mode: refused answers created nothing" test ! -e "$scratch/root-c4/web"
check "check mode: an existing instance with other answers fails" \
  recap "$scratch/run3.out" c5 ok=0 changed=0 failed=1
check "check mode: the differences are listed" \
  result_has "$scratch/run3.out" c5 msg "port: \\\"${http_of[h2]}\\\" there, \\\"$c1_http\\\" requested; server_name: \\\"h2.example.test\\\" there, \\\"c5.example.test\\\" requested"

# --- 4. real run: some hosts fail, the others go on ---------------------
"$python" -c '
import socket, sys, time
s = socket.socket()
s.bind(("0.0.0.0", 0))
s.listen()
print(s.getsockname()[1], flush=True)
time.sleep(3600)
' >"$scratch/listener.port" &
listener_pid=$!
for _ in $(seq 1 600); do
  [ -s "$scratch/listener.port" ] && break
  sleep 0.1
done
taken=$(cat "$scratch/listener.port")
[ -n "$taken" ] || fatal "starting a listener"

new_root root-d1
new_root root-d2
new_root root-d3
new_root root-d4
# An instance made before records were kept: its configuration and its start script.
mkdir -p "$scratch/root-d4/web/config" "$scratch/root-d4/web/bin" && : >"$scratch/root-d4/web/bin/startserv" ||
  fatal "making an instance directory without answers"
port; d1_http=$got
port; d1_jms=$got
port; d2_jms=$got
port; d3_http=$got
port; d3_jms=$got
port; d4_http=$got
cp "$scratch/root-h3/web/config/answers.conf" "$scratch/h3-answers.before"
inventory "$scratch/hosts-failures" "$tool" \
  "$(host d1 root-d1 web "$d1_http" "$d1_jms" "$unknown_user")"$'\n' \
  "$(host d2 root-d2 web "$taken" "$d2_jms" "$user")"$'\n' \
  "$(host d3 root-d3 web "$d3_http" "$d3_jms" "$user")"$'\n' \
  "$(host d4 root-d4 web "$d4_http" "$d3_jms" "$user")"$'\n' \
  "$(host h3 root-h3 web "${http_of[h3]}" "$(recorded "$scratch/root-h3/web" jmsPort)" root)"$'\n'
playbook "$scratch/run4.out" -v -i "$scratch/hosts-failures"
check "a run with failed hosts exits non-zero" test "$?" -ne 0
check "unknown user: the host fails" recap "$scratch/run4.out" d1 ok=0 changed=0 failed=1
check "unknown user: the tool's message" \
  result_has "$scratch/run4.out" d1 msg "The user \\\"$unknown_user\\\" does not exist on this system."
check "unknown user: the tool's exit status" test "$(result "$scratch/run4.out" d1 rc)" = 3
check "unknown user: no instance" test ! -e "$scratch/root-d1/web"
check "port in use: the host fails" recap "$scratch/run4.out" d2 ok=0 changed=0 failed=1
check "port in use: the tool's message" \
  result_has "$scratch/run4.out" d2 msg "The port $taken is already used by a running process."
check "port in use: no instance" test ! -e "$scratch/root-d2/web"
check "the good host of the same run creates its instance" \
  recap "$scratch/run4.out" d3 ok=1 changed=1 failed=0
check "the good host's instance exists" test "$(recorded "$scratch/root-d3/web" port)" = "$d3_http"
check "other answers: the host fails" recap "$scratch/run4.out" h3 ok=0 changed=0 failed=1
check "other answers: the difference is listed" \
  result_has "$scratch/run4.out" h3 msg "user: \\\"$user\\\" there, \\\"root\\\" requested"
check "other answers: the instance is left as it was" \
  cmp -s "$scratch/h3-answers.before" "$scratch/root-h3/web/config/answers.conf"
check "no recorded answers: the host fails" recap "$scratch/run4.out" d4 ok=0 changed=0 failed=1
check "no recorded answers: the message says so" \
  result_has "$scratch/run4.out" d4 msg "$scratch/root-d4/web exists but its recorded answers cannot be read"
check "the password is nowhere in the other runs' output" \
  no_password_in "$scratch/run2.out" "$scratch/run3.out" "$scratch/run4.out"

# --- 5. drift: the Java home and the JMS administrator are compared too ----
inventory "$scratch/hosts-drift" "$tool" \
  "$(host h1 root-h1 web "${http_of[h1]}" "$(recorded "$scratch/root-h1/web" jmsPort)" "$user")"' java_home=/opt/other-java'$'\n' \
  "$(host h2 root-h2 web "${http_of[h2]}" "$(recorded "$scratch/root-h2/web" jmsPort)" "$user")"' jms_admin=operator'$'\n'
playbook "$scratch/run5.out" -v -i "$scratch/hosts-drift"
check "drift: another Java home fails" recap "$scratch/run5.out" h1 ok=0 changed=0 failed=1
check "drift: the Java home difference is listed" \
  result_has "$scratch/run5.out" h1 msg "java_home: \\\"/usr/lib/jvm/default-java\\\" there, \\\"/opt/other-java\\\" requested"
check "drift: another JMS administrator fails" recap "$scratch/run5.out" h2 ok=0 changed=0 failed=1
check "drift: the JMS administrator difference is listed" \
  result_has "$scratch/run5.out" h2 msg "jms_admin: \\\"admin\\\" there, \\\"operator\\\" requested"
check "the Java home is recorded" test "$(recorded "$scratch/root-h1/web" javaHome)" = /usr/lib/jvm/default-java

# --- 6. --check --diff: what would be made and what would go --------------
new_root root-e1
port; e1_http=$got
port; e1_jms=$got
inventory "$scratch/hosts-diff" "$tool" "$(host e1 root-e1 web "$e1_http" "$e1_jms" "$user")"$'\n'
playbook "$scratch/run6.out" --check --diff -i "$scratch/hosts-diff"
check "check and diff: the new instance would change" recap "$scratch/run6.out" e1 ok=1 changed=1 failed=0
check "check and diff: the diff shows the answers it would get" \
  grep -q "^+port = $e1_http\$" "$scratch/run6.out"
check "check and diff: the diff shows its Java home" grep -q '^+javaHome = /usr/lib/jvm/default-java$' "$scratch/run6.out"
check "check and diff: nothing is made" test ! -e "$scratch/root-e1/web"
inventory "$scratch/hosts-remove-check" "$tool" \
  "$(host h3 root-h3 web "${http_of[h3]}" "$(recorded "$scratch/root-h3/web" jmsPort)" "$user")"$'\n'
ansible-playbook -e "@$secrets" --check --diff -i "$scratch/hosts-remove-check" \
  "$here/remove.yml" >"$scratch/run6b.out" 2>&1
check "check and diff: a removal would change" recap "$scratch/run6b.out" h3 ok=1 changed=1 failed=0
check "check and diff: the diff shows the answers that would go" \
  grep -q "^-port = ${http_of[h3]}\$" "$scratch/run6b.out"
check "check and diff: the instance is still there" test -f "$scratch/root-h3/web/config/answers.conf"

# --- 7. state: absent ---------------------------------------------------------
# h1's instance runs: instancectl stops it through its own stopserv first.
"$scratch/root-h1/web/bin/startserv" -a 127.0.0.1 >"$scratch/start-h1.out" 2>&1 ||
  fatal "starting h1's instance: $(cat "$scratch/start-h1.out")"
inventory "$scratch/hosts-remove" "$tool" \
  "$(host h1 root-h1 web 1 2 "$user")"$'\n' "$(host h3 root-h3 web 1 2 "$user")"$'\n'
ansible-playbook -v -i "$scratch/hosts-remove" "$here/remove.yml" >"$scratch/run7.out" 2>&1
check "absent: the run succeeds (exit status $?)" test "$?" -eq 0
for name in h1 h3; do
  check "absent: $name changed" recap "$scratch/run7.out" "$name" ok=1 changed=1 failed=0
  check "absent: $name's instance is gone" test ! -e "$scratch/root-$name/web"
  check "absent: $name's document root is kept" test -f "$scratch/docs-$name/index.html"
  check "absent: $name says it kept the document root" \
    result_has "$scratch/run7.out" "$name" msg "Kept the document root $scratch/docs-$name: it holds the site."
done
ansible-playbook -v -i "$scratch/hosts-remove" "$here/remove.yml" >"$scratch/run7b.out" 2>&1
check "absent again: nothing changes" recap "$scratch/run7b.out" h1 ok=1 changed=0 failed=0

# --- 8. a failed creation that left something -----------------------------
new_root root-f1
# A generator that fails while it runs: only trying shows it, after the
# instance directory was made.
printf 'exit 1;\n' >"$scratch/root-f1/lib/install/templates/makeScript"
port; f1_http=$got
port; f1_jms=$got
inventory "$scratch/hosts-broken" "$tool" "$(host f1 root-f1 web "$f1_http" "$f1_jms" "$user")"$'\n'
playbook "$scratch/run8.out" -v -i "$scratch/hosts-broken"
check "broken: the host fails" recap "$scratch/run8.out" f1 ok=0 failed=1
check "broken: the failure reports a change" test "$(result "$scratch/run8.out" f1 changed)" = true
check "broken: it names what was left" result_has "$scratch/run8.out" f1 broken_dir "\"$scratch/root-f1/broken.web\""
check "broken: the directory is there" test -d "$scratch/root-f1/broken.web"

# A creation killed once its document root was made: incomplete, left as it
# is by the module, cleared with what it made by state: absent.
new_root root-g1
port; g1_http=$got
port; g1_jms=$got
ZORA_SERVER_HOME=$scratch/root-g1 strace -qq -o /dev/null -e trace=syncfs -e inject=syncfs:signal=KILL:when=1 \
  "$tool" -s g1.example.test -p "$g1_http" -i web -u "$user" -d "$scratch/docs-g1" -P "$g1_jms" -A admin -W x \
  -J /usr/lib/jvm/default-java >"$scratch/kill-g1.out" 2>&1
check "unfinished: the killed creation left its instance" test -d "$scratch/root-g1/web"
inventory "$scratch/hosts-unfinished" "$tool" "$(host g1 root-g1 web "$g1_http" "$g1_jms" "$user")"$'\n'
playbook "$scratch/run8b.out" -v -i "$scratch/hosts-unfinished"
check "unfinished: the host fails" recap "$scratch/run8b.out" g1 ok=0 changed=0 failed=1
check "unfinished: the message says what it is" result_has "$scratch/run8b.out" g1 msg \
  "$scratch/root-g1/web is a creation or a removal that did not finish (instancectl lists it as incomplete)"
check "unfinished: it is left as it is" test -f "$scratch/root-g1/web/.incomplete"
ansible-playbook -v -i "$scratch/hosts-unfinished" "$here/remove.yml" >"$scratch/run8c.out" 2>&1
check "unfinished: state absent clears it" recap "$scratch/run8c.out" g1 ok=1 changed=1 failed=0
check "unfinished: nothing of it is left" test ! -e "$scratch/root-g1/web" -a ! -e "$scratch/docs-g1"
playbook "$scratch/run8d.out" -v -i "$scratch/hosts-unfinished"
check "unfinished: then the instance is made" recap "$scratch/run8d.out" g1 ok=1 changed=1 failed=0

# A server root that is no installation: the line the tool names it with,
# whether the tool or instancectl is run, never an internal error.
mkdir -p "$scratch/root-k2/web" || fatal "making a directory that is no installation"
root_problem() {  # root_problem OUTPUT HOST ROOT PROBLEM
  result_has "$1" "$2" msg "The server root $3 given by ZORA_SERVER_HOME is $4" &&
    ! grep -q 'Internal Error' "$1"
}
inventory "$scratch/hosts-no-root" "$tool" \
  "$(host k1 root-k1 web 1 2 "$user")"$'\n' "$(host k2 root-k2 web 1 2 "$user")"$'\n'
playbook "$scratch/run8e.out" -v -i "$scratch/hosts-no-root"
ansible-playbook -v -i "$scratch/hosts-no-root" "$here/remove.yml" >"$scratch/run8f.out" 2>&1
for output in run8e run8f; do
  for name in k1 k2; do
    check "no installation ($output): $name fails" recap "$scratch/$output.out" "$name" ok=0 changed=0 failed=1
  done
  check "no installation ($output): a missing root is named" \
    root_problem "$scratch/$output.out" k1 "$scratch/root-k1" "not a directory: No such file or directory."
  check "no installation ($output): a directory that is no installation is named" \
    root_problem "$scratch/$output.out" k2 "$scratch/root-k2" "not an installation: it has no $scratch/root-k2/lib"
done
check "no installation: the tool's status for a creation" test "$(result "$scratch/run8e.out" k1 rc)" = 3
check "no installation: instancectl's status for a removal" test "$(result "$scratch/run8f.out" k1 rc)" = 2
check "no installation: nothing is made" test ! -e "$scratch/root-k1" -a "$(ls -A "$scratch/root-k2")" = web

# --- 9. ansible-test's validate-modules checks ----------------------------
"$here/validate_modules.sh" "$library/server_instance.py" >"$scratch/validate.out" 2>&1
check "validate-modules finds nothing: $(tr '\n' ' ' <"$scratch/validate.out")" test $? -eq 0

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; outputs:" >&2
  for output in "$scratch"/run*.out; do
    echo "--- $output" >&2
    grep -v -F -- "$password" "$output" >&2
  done
  exit 1
fi
echo "all Ansible checks passed"
