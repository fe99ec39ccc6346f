# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the shell tests: counted checks, a fatal stop, and the user a
# created instance goes to (daemon as root, otherwise whoever runs the test).
# shellcheck shell=bash

failures=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok - $what"
  else
    echo "FAILED - $what" >&2
    failures=$((failures + 1))
  fi
}
# A failure after which the remaining checks mean nothing.
fatal() {
  echo "FAILED - $*" >&2
  exit 1
}

# shellcheck disable=SC2034  # read by the scripts that source this
if [ "$(id -u)" -eq 0 ]; then user=daemon; else user=$(id -un); fi

# A scratch directory /tmp/NAME.XXXXXX in $scratch, of mode 0755: the
# server user must reach what is made in it. The test defines `finish`,
# which runs once when the test ends, however it ends, before the scratch
# directory goes; the test's exit status is kept.
make_scratch() {  # make_scratch NAME
  scratch=$(mktemp -d "/tmp/$1.XXXXXX") || exit 1
  chmod 755 "$scratch"
  trap end_test EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM HUP
}
# shellcheck disable=SC2317  # runs from the trap
end_test() {
  local status=$?
  trap - EXIT INT TERM HUP
  finish
  rm -rf -- "$scratch"
  exit "$status"
}

# The start of a test of created instances, called with the test's own
# arguments INSTALL_BINARY SAMPLE_SERVER_ROOT: checks them and lighttpd,
# makes the scratch directory (make_scratch NAME) with a copy of the
# sample as $root, and sets $install_bin and $sample.
start_instance_test() {  # start_instance_test NAME "$@"
  local name=$1
  shift
  [ $# -eq 2 ] || { echo "usage: $0 INSTALL_BINARY SAMPLE_SERVER_ROOT" >&2; exit 2; }
  # shellcheck disable=SC2034  # read by the tests
  install_bin=$1
  sample=$2
  test_port=$(dirname "$install_bin")/tests/test-port
  command -v lighttpd >/dev/null 2>&1 || [ -x /usr/sbin/lighttpd ] ||
    { echo "lighttpd missing: run scripts/setup-web.sh" >&2; exit 1; }
  make_scratch "$name"
  root=$scratch/server-root
  cp -a "$sample" "$root" || fatal "copying the sample installation"
}

# Ports of this test alone, from the registry the C++ tests lease theirs
# from (tests/ports.cpp): none another test of the run has had, none
# anything listens on. $test_port is its program, <build>/tests/test-port.
# shellcheck disable=SC2120  # most callers want one port
free_port() {  # free_port [COUNT [FIRST LAST]]: COUNT ports (default 1) on one line
  "$test_port" "$@"
}

# The name of the user a process runs as (its effective id).
process_user() {  # process_user PID
  local uid
  uid=$(awk '/^Uid:/ { print $3 }' "/proc/$1/status" 2>/dev/null)
  [ -n "$uid" ] && id -un "$uid"
}
