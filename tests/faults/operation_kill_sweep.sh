#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Kills the operations of an instance at every system call of the
# processes each scenario kills (operation_kill_points.pl --all): the
# longer sweep beside the sample that the test operation_kill_points runs.
# As root.
#   tests/faults/operation_kill_sweep.sh [BUILD_DIR] [operation_kill_points.pl options...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
[ $# -gt 0 ] && shift
exec perl "$here/operation_kill_points.pl" --install "$build/install" --instancectl "$build/instancectl" \
  --kill-at "$build/tests/faults/kill-at" --test-port "$build/tests/test-port" --sample "$build/server-root" --all "$@"
