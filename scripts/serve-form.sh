#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck disable=SC2317  # cleanup runs from the traps
# Serves the install form from lighttpd on a free loopback port, over a fresh
# copy of the built sample installation, and prints the form's address:
#
#   scripts/serve-form.sh [BUILD_DIR]
#
# Without BUILD_DIR it first installs what is missing (scripts/setup.sh,
# lighttpd) and builds the tool and the sample installation into build/.
# Instances made through the form land in the copy's server root; the copy
# goes away when the server stops (Ctrl-C, or a kill of this script).
# Run as root, the program creates instances as root and hands them to the
# user named in the form (e.g. daemon); run as yourself, name yourself.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -eq 0 ]; then
  # The one-command way: what is missing is installed, the tool is built.
  "$here/scripts/setup.sh" || exit 1
  command -v lighttpd >/dev/null 2>&1 || "$here/scripts/setup-web.sh" --server-only || exit 1
  cmake -S "$here" -B "$here/build" -G Ninja >/dev/null &&
    cmake --build "$here/build" --target install_tool sample_installation >/dev/null || exit 1
fi
build=${1:-$here/build}
build=$(cd "$build" 2>/dev/null && pwd) || { echo "no build directory ${1:-$here/build}" >&2; exit 1; }

# shellcheck source=../tests/e2e/webserver.sh
. "$here/tests/e2e/webserver.sh"

scratch=$(mktemp -d /tmp/serve-form.XXXXXX) || exit 1
cleanup() {
  trap - EXIT INT TERM HUP
  web_stop
  rm -rf -- "$scratch"
}
trap cleanup EXIT
trap 'echo; echo "Stopping."; exit 0' INT TERM HUP

web_start "$build" "$scratch" || exit 1

if [ "$(id -u)" -eq 0 ]; then user_hint=daemon; else user_hint=$(id -un); fi
cat <<EOF
The install form is served at:

  $WEB_FORM

Server root:           $WEB_ROOT
Server user to give:   $user_hint
A document root:       $scratch/docs
Logs:                  $scratch/logs/
Press Ctrl-C to stop the server and remove $scratch.
EOF

# The shell runs its traps only between commands: wait returns at once on a
# signal, so Ctrl-C stops the server without delay.
while [ -n "$WEB_PID" ] && kill -0 "$WEB_PID" 2>/dev/null; do
  wait "$WEB_PID"
done
echo "lighttpd ended; its log:" >&2
cat "$scratch/logs/error.log" >&2 2>/dev/null
exit 1
