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
#      differs fails with the difference; one whose port and server name
#      the administrator changed in its config/server.xml is compared by
#      those, and the failure says that the record differs;
#   6. --check --diff shows the answers an instance would get, and the ones
#      a removal would take away, and changes nothing;
#   7. state: absent removes an instance (running or not) and keeps its
#      document root; a second run changes nothing;
#   8. a creation that fails after it made something reports changed and
#      names the broken.<id> it left; one killed before it finished fails
#      the task, untouched, until state: absent clears it; a server root that is missing or no
#      installation fails the task with the one line the tool names it with;
#   9. state: started, stopped and restarted, in check mode and for real: a
#      missing instance is made and started, a second run changes nothing,
#      a running one is stopped, a restart keeps the loopback address it
#      was started on; as root, enabled writes, enables, disables and
#      removes the unit through instancectl with a stand-in systemctl; a
#      server started outside systemd is restarted under the unit, and one
#      that runs under it through systemctl; removing the unit stops it and
#      state: started starts it again with its scripts;
#  10. the module passes ansible-test's validate-modules checks, run offline;
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
read -r -a ports <<<"$(free_port 27)"
[ "${#ports[@]}" -eq 27 ] || fatal "finding free ports"
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

# The port and the server name changed in config/server.xml, as the
# administrator changes them: the file keeps its owner and mode.
h2_xml=$scratch/root-h2/web/config/server.xml
h2_jms=$(recorded "$scratch/root-h2/web" jmsPort)
port; moved=$got
edited=$(sed -e "s/ port=\"${http_of[h2]}\"/ port=\"$moved\"/" \
  -e 's/server-name="h2.example.test"/server-name="moved.example.test"/' "$h2_xml") &&
  printf '%s\n' "$edited" >"$h2_xml" || fatal "editing h2's config/server.xml"
grep -q "port=\"$moved\" server-name=\"moved.example.test\"" "$h2_xml" || fatal "h2's config/server.xml unchanged"
inventory "$scratch/hosts-drift-config" "$tool" "$(host h2 root-h2 web "${http_of[h2]}" "$h2_jms" "$user")"$'\n'
playbook "$scratch/run5b.out" -v -i "$scratch/hosts-drift-config"
check "drift in server.xml: the recorded port and name fail" recap "$scratch/run5b.out" h2 ok=0 changed=0 failed=1
check "drift in server.xml: the port and name the server reads are listed" result_has "$scratch/run5b.out" h2 msg \
  "port: \\\"$moved\\\" there, \\\"${http_of[h2]}\\\" requested; server_name: \\\"moved.example.test\\\" there"
check "drift in server.xml: the failure says that the record differs" result_has "$scratch/run5b.out" h2 msg \
  "config/server.xml, whose values these are, differs from the record config/answers.conf in server_name, port"
printf 'h2 server_root=%s instance_id=web http_port=%s jms_port=%s server_user=%s docroot=%s server_name=%s\n' \
  "$scratch/root-h2" "$moved" "$h2_jms" "$user" "$scratch/docs-h2" moved.example.test >"$scratch/h2-moved"
inventory "$scratch/hosts-drift-moved" "$tool" "$(cat "$scratch/h2-moved")"$'\n'
playbook "$scratch/run5c.out" -v -i "$scratch/hosts-drift-moved"
check "drift in server.xml: asking for what the server reads is ok" recap "$scratch/run5c.out" h2 ok=1 changed=0 failed=0

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

# --- 9. started, stopped, restarted, enabled -------------------------------
instancectl_of() { ZORA_SERVER_HOME=$scratch/root-o1 "$build/instancectl" "$@"; }
server_state() { instancectl_of status web --json | "$python" -c 'import json, sys; print(json.load(sys.stdin)["state"])'; }
operate() {  # operate OUTPUT WANTED [EXTRA-VARIABLES] [ANSIBLE-OPTION...]
  local output=$1 wanted=$2 extra=${3:-}
  shift 3
  inventory "$scratch/hosts-operate" "$tool" \
    "$(host o1 root-o1 web "$o1_http" "$o1_jms" "$user") wanted=$wanted $extra"$'\n'
  ansible-playbook -v -e "@$secrets" "$@" -i "$scratch/hosts-operate" "$here/operate.yml" >"$output" 2>&1
}
new_root root-o1
port; o1_http=$got
port; o1_jms=$got
operate "$scratch/run9a.out" started "" --check
check "started, check mode: a missing instance would be made and started" \
  recap "$scratch/run9a.out" o1 ok=1 changed=1 failed=0
check "started, check mode: nothing is made" test ! -e "$scratch/root-o1/web"
operate "$scratch/run9b.out" started ""
check "started: the instance is made and started" recap "$scratch/run9b.out" o1 ok=1 changed=1 failed=0
check "started: it runs" test "$(server_state)" = running
check "started: the result says so" test "$(result "$scratch/run9b.out" o1 instance_state)" = '"running"'
operate "$scratch/run9c.out" started ""
check "started again: nothing changes" recap "$scratch/run9c.out" o1 ok=1 changed=0 failed=0
# Only the identifier: an existing instance is operated without its answers.
inventory "$scratch/hosts-operate-bare" "$tool" \
  "o1 server_root=$scratch/root-o1 instance_id=web wanted=stopped"$'\n'
ansible-playbook -v --check -i "$scratch/hosts-operate-bare" "$here/operate.yml" >"$scratch/run9d.out" 2>&1
check "stopped, check mode: a running server would be stopped" recap "$scratch/run9d.out" o1 ok=1 changed=1 failed=0
check "stopped, check mode: it still runs" test "$(server_state)" = running
ansible-playbook -v -i "$scratch/hosts-operate-bare" "$here/operate.yml" >"$scratch/run9e.out" 2>&1
check "stopped: it is stopped" recap "$scratch/run9e.out" o1 ok=1 changed=1 failed=0
check "stopped: it no longer runs" test "$(server_state)" = stopped
ansible-playbook -v -i "$scratch/hosts-operate-bare" "$here/operate.yml" >"$scratch/run9f.out" 2>&1
check "stopped again: nothing changes" recap "$scratch/run9f.out" o1 ok=1 changed=0 failed=0
inventory "$scratch/hosts-operate-port" "$tool" \
  "o1 server_root=$scratch/root-o1 instance_id=web wanted=started http_port=1"$'\n'
ansible-playbook -v -i "$scratch/hosts-operate-port" "$here/operate.yml" >"$scratch/run9g.out" 2>&1
check "started with another port: the difference fails the task" recap "$scratch/run9g.out" o1 ok=0 failed=1
check "started with another port: it stays stopped" test "$(server_state)" = stopped
# Started by hand on the loopback address: restarted, it listens there again.
"$scratch/root-o1/web/bin/startserv" -a 127.0.0.1 >"$scratch/start-o1.out" 2>&1 ||
  fatal "starting o1's instance: $(cat "$scratch/start-o1.out")"
operate "$scratch/run9h.out" restarted "stop_timeout=20 kill=true"
check "restarted: it changed" recap "$scratch/run9h.out" o1 ok=1 changed=1 failed=0
restarted_on_loopback() {
  grep -qF "listens on 127.0.0.1:$o1_http " "$scratch/run9h.out" && test "$(server_state)" = running
}
check "restarted: on the loopback address again" restarted_on_loopback
if [ "$(id -u)" -eq 0 ]; then
  # instancectl as the module finds it, with systemd made to run in the
  # scratch directory and a systemctl that records its words. Its unit runs
  # the instance's scripts; the server it starts has the unit's control
  # group in the scratch directory's proc/PID/cgroup, where instancectl
  # looks with --systemd-root.
  mkdir -p "$scratch/systemd/run/systemd/system" "$scratch/units" || fatal "making the systemd root"
  cat >"$scratch/systemctl" <<STANDIN || fatal "writing the stand-in systemctl"
#!/bin/sh
echo "\$*" >>"$scratch/systemctl.log"
instance=$scratch/root-o1/web
under_unit() { [ -e "$scratch/systemd/proc/\$(cat "\$instance/logs/pid" 2>/dev/null)/cgroup" ]; }
case \$1 in
  is-enabled) [ -e "$scratch/enabled" ] ;;
  enable) : >"$scratch/enabled" ;;
  disable) rm -f "$scratch/enabled" ;;
  show) echo loaded ;;
  stop) ! under_unit || "\$instance/bin/stopserv" >/dev/null ;;
  start|restart)
    ! under_unit || "\$instance/bin/stopserv" >/dev/null || exit 1
    "\$instance/bin/startserv" >/dev/null || exit 1
    pid=\$(cat "\$instance/logs/pid")
    mkdir -p "$scratch/systemd/proc/\$pid" && echo "0::/system.slice/\$2" >"$scratch/systemd/proc/\$pid/cgroup" ;;
esac
STANDIN
  printf '#!/bin/sh\nexec "%s" --systemd-root "%s" --systemctl "%s" "$@"\n' \
    "$build/instancectl" "$scratch/systemd" "$scratch/systemctl" >"$scratch/ctl-systemd"
  chmod 755 "$scratch/systemctl" "$scratch/ctl-systemd"
  unit_vars="ctl=$scratch/ctl-systemd unit_dir=$scratch/units"
  operate "$scratch/run9i.out" started "$unit_vars enabled=true" --check
  check "enabled, check mode: the unit would be written" recap "$scratch/run9i.out" o1 ok=1 changed=1 failed=0
  check "enabled, check mode: nothing is written" test -z "$(ls -A "$scratch/units")"
  operate "$scratch/run9j.out" started "$unit_vars enabled=true"
  check "enabled: the unit is written" recap "$scratch/run9j.out" o1 ok=1 changed=1 failed=0
  unit=$(ls "$scratch/units")
  check "enabled: systemctl enabled it" grep -qxF "enable $unit" "$scratch/systemctl.log"
  operate "$scratch/run9k.out" started "$unit_vars enabled=true"
  check "enabled again: nothing changes" recap "$scratch/run9k.out" o1 ok=1 changed=0 failed=0
  operate "$scratch/run9l.out" restarted "$unit_vars"
  check "restarted with a unit: the server started outside systemd comes back under the unit" \
    grep -qxF "start $unit" "$scratch/systemctl.log"
  operate "$scratch/run9l2.out" restarted "$unit_vars"
  check "restarted under the unit: through systemctl" grep -qxF "restart $unit" "$scratch/systemctl.log"
  operate "$scratch/run9m.out" started "$unit_vars enabled=false"
  check "not enabled: the unit is disabled and removed" recap "$scratch/run9m.out" o1 ok=1 changed=1 failed=0
  check "not enabled: systemctl disabled it" grep -qxF "disable $unit" "$scratch/systemctl.log"
  check "not enabled: no unit is left" test -z "$(ls -A "$scratch/units")"
  check "not enabled: systemd forgot it" grep -qxF "reset-failed $unit" "$scratch/systemctl.log"
  check "not enabled: the server runs again, outside systemd" test "$(server_state)" = running
  operate "$scratch/run9n.out" started "$unit_vars enabled=false"
  check "not enabled again: nothing changes" recap "$scratch/run9n.out" o1 ok=1 changed=0 failed=0
fi
instancectl_of stop web >/dev/null 2>&1

# --- 10. ansible-test's validate-modules checks ----------------------------
"$here/validate_modules.sh" "$library/server_instance.py" >"$scratch/validate.out" 2>&1
# Its status, before the description's command substitution sets $? to tr's.
validated=$?
check "validate-modules finds nothing: $(tr '\n' ' ' <"$scratch/validate.out")" test "$validated" -eq 0

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; outputs:" >&2
  for output in "$scratch"/run*.out; do
    echo "--- $output" >&2
    grep -v -F -- "$password" "$output" >&2
  done
  exit 1
fi
echo "all Ansible checks passed"
