#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Kills a creation and a removal at every system call that changes
# something (kill_points.pl --all): the longer sweep beside the sample that
# the test kill_points runs. About ten minutes on two cores; as root.
#   tests/faults/kill_sweep.sh [BUILD_DIR] [kill_points.pl options...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
[ $# -gt 0 ] && shift
exec perl "$here/kill_points.pl" --install "$build/install" --instancectl "$build/instancectl" \
  --sample "$build/server-root" --all "$@"
