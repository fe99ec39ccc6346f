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
