#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck disable=SC2317  # cleanup runs from the traps
# Browser test of the install form: serves the built `install` program from
# lighttpd on a free loopback port over a fresh copy of the sample
# installation, then drives Debian's headless Chromium through it
# (form.test.mjs, node's test runner).
#
#   tests/e2e/run.sh [BUILD_DIR]        (default: build)
#
# Screenshots go to $E2E_ARTIFACTS (default BUILD_DIR/e2e-artifacts).
# Needs scripts/setup-web.sh to have run (lighttpd, chromium, node modules).
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
build=$(cd "$build" 2>/dev/null && pwd) || { echo "no build directory ${1:-$root/build}" >&2; exit 1; }

# shellcheck source=webserver.sh
. "$here/webserver.sh"

for need in node lighttpd /usr/bin/chromium; do
  command -v "$need" >/dev/null 2>&1 || { echo "$need missing: run scripts/setup-web.sh" >&2; exit 1; }
done
[ -d "$here/node_modules/playwright-core" ] || { echo "playwright-core missing: run scripts/setup-web.sh" >&2; exit 1; }

artifacts=${E2E_ARTIFACTS:-$build/e2e-artifacts}
mkdir -p "$artifacts" || exit 1
artifacts=$(cd "$artifacts" && pwd)

scratch=$(mktemp -d /tmp/e2e-form.XXXXXX) || exit 1
# The scratch directory's files go to the server user; let that user reach
# the document root it is given below.
chmod 755 "$scratch"
node_pid=""
cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  # Playwright closes its browser when node is told to stop.
  if [ -n "$node_pid" ]; then
    kill "$node_pid" 2>/dev/null
    wait "$node_pid" 2>/dev/null
  fi
  web_stop
  if [ "$status" -ne 0 ] && [ -d "$scratch/logs" ]; then
    mkdir -p "$artifacts/logs" && cp -a "$scratch/logs/." "$artifacts/logs/" 2>/dev/null
  fi
  # A browser that was stopped a moment ago may still be writing its
  # profile inside the scratch directory.
  local _
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    rm -rf -- "$scratch" 2>/dev/null && break
    sleep 0.3
  done
  [ ! -e "$scratch" ] || echo "could not remove $scratch" >&2
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# Every port from the tests' registry (tests/ports.cpp): the server's, and
# those the form asks for.
WEB_PORT_PROGRAM=$build/tests/test-port
web_start "$build" "$scratch" || exit 1
form_ports=$("$WEB_PORT_PROGRAM" 3) || exit 1
echo "lighttpd (pid $WEB_PID) serves $WEB_FORM"

if [ "$(id -u)" -eq 0 ]; then server_user=daemon; else server_user=$(id -un); fi

cd "$here" || exit 1
E2E_FORM_URL=$WEB_FORM E2E_SERVER_URL=$WEB_URL E2E_SERVER_ROOT=$WEB_ROOT E2E_SCRATCH=$scratch \
E2E_PROGRAM=$scratch/htdocs/admin/bin/install E2E_SCRIPT_NAME=$WEB_SCRIPT_PATH \
E2E_SERVER_USER=$server_user E2E_ARTIFACTS=$artifacts E2E_PORTS=$form_ports \
  node --test form.test.mjs </dev/null &
node_pid=$!
# Waiting in the shell (not in the foreground) lets a signal reach the trap
# at once.
wait "$node_pid"
status=$?
node_pid=""
# The CGI program's standard error goes to lighttpd's own output, and a
# program killed by a signal is noted in lighttpd's error log: a sanitizer
# report or a crash there fails the run even when every page looked right.
trouble='Sanitizer|runtime error:|died with signal'
if grep -E -q "$trouble" "$scratch/logs/lighttpd.out" "$scratch/logs/error.log"; then
  echo "the CGI program failed under lighttpd:" >&2
  grep -E -h -A12 "$trouble" "$scratch/logs/lighttpd.out" "$scratch/logs/error.log" | head -80 >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
