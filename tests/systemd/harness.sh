# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=bash
# Sourced by the tests that need the real systemd: boots the machine's
# systemd as PID 1 of a test system of its own and tears it down again.
#
#   sd_boot [--rw DIR | --ro DIR]...   boot (DIRs shared with the host)
#   sd_wait_ready                      wait until the boot has finished
#   sd_run COMMAND...                  run a command inside, clean environment
#   sd_teardown                        stop it, leave nothing behind
#
# The test system runs in new PID, mount, network, UTS, IPC and cgroup
# namespaces (unshare), on an overlay of / whose writes stay in a tmpfs of
# its mount namespace (tests/systemd/pid1.sh builds that root), in a cgroup2
# group of its own, with loopback as its only network. /proc/sys and /sys are
# read-only inside and systemd-sysctl is masked: otherwise systemd would
# change the host's kernel settings. Only root can make it; a step the kernel
# refuses ends the test with status 77 (skipped) and one line saying which.
#
# A test calls sd_teardown from its end (the `finish` of tests/checks.sh,
# which runs from the EXIT trap however the test ends); sd_teardown may run
# at any point, also before the boot or twice.
#
# What the first runs showed, and the reasons for the steps below:
# - systemd makes init.scope and system.slice in the root of whatever cgroup2
#   hierarchy it finds: unshared from the host's root group, it made them in
#   the host's /sys/fs/cgroup/unified. Hence the group of its own, which the
#   cgroup namespace turns into its root.
# - With "container" in its environment systemd leaves the clock, the kernel
#   log and the hardware alone. It then makes /dev/console its output and,
#   there being none, /dev/null: its own messages are in the test system's
#   journal only (sd_run journalctl), and pid1.sh's in the boot log.
# - Booted into basic.target with the masks of pid1.sh the system is
#   "running" a fraction of a second after unshare; journald, which keeps the
#   services' output, costs some 20 ms and stays.
# - unshare --fork ignores SIGTERM while it waits for its child; killing PID 1
#   of a PID namespace kills all of it, and only SIGKILL reaches that PID 1
#   from outside.

sd_state=""      # the host's directory of the boot: its log and mount point
sd_cgroup=""     # the test system's cgroup2 group, in the host's hierarchy
sd_starter=""    # the host's unshare process, parent of PID 1
sd_pid1=""       # PID 1 of the test system, as the host numbers it
sd_pidns=""      # its PID namespace (the ns link's text), for the checks
# Seconds a boot may take before it counts as hung; a boot takes a few.
: "${SD_BOOT_TIMEOUT:=60}"

# One line, and the test is skipped (status 77).
sd_skip() {
  echo "SKIPPED: $*" >&2
  exit 77
}

# The mount point of the host's cgroup2 hierarchy, from /proc/self/mounts
# (octal escapes undone); nothing when there is none.
sd_cgroup2_mount() {
  local point type
  while read -r _ point type _; do
    [ "$type" = cgroup2 ] && { printf '%b\n' "$point"; return 0; }
  done </proc/self/mounts
  return 1
}

# Names the namespace the kernel refuses, trying them one at a time.
sd_refused_namespace() {
  local kind
  for kind in pid mount net uts ipc cgroup; do
    unshare "--$kind" --fork true >/dev/null 2>&1 || { echo "$kind"; return; }
  done
  echo "the combination"
}

# Starts the boot and returns once PID 1 is there (sd_wait_ready waits for the
# rest); each DIR is shared at its own path, writable or read-only. Sets
# sd_state, sd_cgroup, sd_starter, sd_pid1 and sd_pidns.
sd_boot() {  # sd_boot [--rw DIR | --ro DIR]...
  local shared=() hierarchy pid1_script
  pid1_script=$(dirname "${BASH_SOURCE[0]}")/pid1.sh
  while [ $# -gt 0 ]; do
    case $1 in
      --rw) shared+=(rw "$(realpath -e -- "$2")") || return 1 ;;
      --ro) shared+=(ro "$(realpath -e -- "$2")") || return 1 ;;
      *) echo "sd_boot: unknown option $1" >&2; return 1 ;;
    esac
    shift 2
  done
  [ "$(id -u)" -eq 0 ] || sd_skip "booting a test system of systemd needs root"
  [ -x /lib/systemd/systemd ] || sd_skip "systemd is not installed (/lib/systemd/systemd)"
  # Who makes the namespaces is the kernel's to allow; ask before anything is made.
  unshare --pid --mount --net --uts --ipc --cgroup --fork true >/dev/null 2>&1 ||
    sd_skip "the kernel refused new namespaces: $(sd_refused_namespace)"
  hierarchy=$(sd_cgroup2_mount) || sd_skip "the kernel has no cgroup2 hierarchy mounted (none in /proc/self/mounts)"

  sd_state=$(mktemp -d /tmp/test-system.XXXXXX) || return 1
  mkdir "$sd_state/top" || return 1
  # The test system's group. Its first process moves into it before the
  # cgroup namespace is made, so that the namespace's root is this group:
  # systemd takes it for the whole hierarchy, and every process of the test
  # system, whatever systemd does with it, stays below it.
  sd_cgroup=$hierarchy/${sd_state##*/}
  mkdir "$sd_cgroup" 2>/dev/null || { sd_cgroup=""; sd_skip "the kernel refused a new cgroup in $hierarchy"; }
  (
    echo "$BASHPID" >"$sd_cgroup/cgroup.procs" 2>/dev/null || exit 78
    # PID 1 dies with unshare (--kill-child), and unshare with this shell
    # (--pdeathsig): a test killed where no trap runs leaves no process
    # behind, only the empty group and state directory.
    exec setpriv --pdeathsig KILL -- unshare --pid --mount --net --uts --ipc --cgroup --fork --kill-child --propagation private \
      -- /bin/bash "$pid1_script" "$sd_state" "${shared[@]}"
  ) </dev/null >"$sd_state/boot.log" 2>&1 &
  sd_starter=$!
  sd_find_pid1
}

# Sets sd_pid1 to unshare's child, pid1.sh and then systemd, once it is
# there: this waits for a fork, not for the boot. Only a child in another
# PID namespace than this shell's counts: a child of the starting shell's
# own (before it became unshare) once was taken for it.
sd_find_pid1() {
  local deadline=$((SECONDS + SD_BOOT_TIMEOUT)) child namespace own
  own=$(readlink /proc/self/ns/pid)
  while [ "$SECONDS" -lt "$deadline" ]; do
    child=""
    read -r child _ 2>/dev/null <"/proc/$sd_starter/task/$sd_starter/children"
    namespace=$(readlink "/proc/${child:-none}/ns/pid" 2>/dev/null)
    if [ -n "$namespace" ] && [ "$namespace" != "$own" ]; then
      sd_pid1=$child sd_pidns=$namespace
      return 0
    fi
    sd_boot_ended && return 1
    sleep 0.01
  done
  echo "FAILED - the test system's PID 1 did not appear within $SD_BOOT_TIMEOUT s" >&2
  return 1
}

# True when the process PID has ended: gone, or a zombie.
sd_ended() {  # sd_ended PID
  local state=""
  read -r _ _ state _ 2>/dev/null <"/proc/$1/stat"
  [ "$state" = Z ] || [ ! -e "/proc/$1" ]
}

# True once the boot's process has ended; then says why, skipping the test
# when the kernel refused a step (status 77 of pid1.sh).
sd_boot_ended() {
  local status=0
  sd_ended "$sd_starter" || return 1
  wait "$sd_starter" || status=$?
  sd_starter=""
  case $status in
    77) sd_skip "$(tail -n 1 "$sd_state/boot.log")" ;;
    78) sd_skip "the kernel refused moving a process into $sd_cgroup" ;;
  esac
  echo "FAILED - the test system ended during its boot (status $status):" >&2
  sed 's/^/  /' "$sd_state/boot.log" >&2
  return 0
}

# Runs COMMAND in every namespace of the test system and in its root, as
# root, from its / and with a clean environment: PATH, HOME, and the
# sanitizers' options when set, so that a sanitized build behaves inside as
# outside. (nsenter --wd=DIR would open DIR in the host's root: the default,
# the new root's /, is the one wanted.) The process joins the test system's
# cgroup first, where systemd sees it in its root group and the teardown
# finds it. Its status is COMMAND's.
sd_run() {  # sd_run COMMAND...
  local environment=(PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root) name
  for name in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
    [ -n "${!name+set}" ] && environment+=("$name=${!name}")
  done
  (
    echo "$BASHPID" >"$sd_cgroup/cgroup.procs" || exit 125
    exec env -i "${environment[@]}" nsenter --target "$sd_pid1" --mount --uts --ipc --net --pid --cgroup \
      --root -- "$@"
  )
}

# Waits until systemd has finished booting: its private socket is there and
# `systemctl is-system-running --wait` says "running". Any other answer
# ("degraded": a unit failed) is a failure, with the failed units and the
# journal's end shown. SD_BOOT_TIMEOUT bounds the whole wait.
sd_wait_ready() {
  local deadline=$((SECONDS + SD_BOOT_TIMEOUT)) state
  until [ "$(cat "/proc/$sd_pid1/comm" 2>/dev/null)" = systemd ] &&
    [ -S "/proc/$sd_pid1/root/run/systemd/private" ]; do
    [ -n "$sd_starter" ] && sd_boot_ended && return 1
    [ "$SECONDS" -lt "$deadline" ] || { echo "FAILED - systemd did not start within $SD_BOOT_TIMEOUT s" >&2; return 1; }
    sleep 0.02
  done
  state=$(sd_run timeout "$((deadline - SECONDS + 1))" systemctl is-system-running --wait 2>&1)
  if [ "$state" = running ]; then
    sd_unified && return 0
    echo "FAILED - systemd did not run in its own cgroup2 group alone:" >&2
    sed 's/^/  /' "/proc/$sd_pid1/cgroup" >&2
    return 1
  fi
  echo "FAILED - the test system did not boot: $state" >&2
  sd_run systemctl list-units --state=failed --plain --no-legend --no-pager >&2
  sd_run journalctl --boot --no-pager -n 40 >&2
  return 1
}

# True when PID 1 runs in unified mode in the test system's group: in
# init.scope below it on cgroup2, and in every v1 hierarchy where it started,
# beside this shell (systemd in unified mode leaves them alone).
sd_unified() {
  [ "$(grep '^0::' "/proc/$sd_pid1/cgroup")" = "0::${sd_cgroup#"$(sd_cgroup2_mount)"}/init.scope" ] &&
    [ "$(grep -v '^0::' "/proc/$sd_pid1/cgroup")" = "$(grep -v '^0::' "/proc/$BASHPID/cgroup")" ]
}

# Stops the test system and removes what the boot made: SIGKILL to its PID 1
# (the kernel then kills every process of the PID namespace, those sd_run
# entered with included), cgroup.kill for anything in its group all the same,
# then its groups, deepest first, and the state directory. The mount
# namespace, and with it every mount of the test system and the tmpfs of its
# writes, goes with its last process: nothing of it was ever mounted in the
# host's namespace. Returns non-zero when something stayed.
sd_teardown() {
  local deadline=$((SECONDS + 30)) left=0
  # (The number is signalled only while it names a process of the test system.)
  [ -n "$sd_pid1" ] && [ "$(readlink "/proc/$sd_pid1/ns/pid" 2>/dev/null)" = "$sd_pidns" ] &&
    kill -KILL "$sd_pid1" 2>/dev/null
  # unshare reaps PID 1 and ends. (Killed with it, it would leave PID 1 to
  # the host's init, which reaps when it gets round to it.) The shell's
  # notice of a job that a signal ended goes to stderr when it reaps the job:
  # reaped here, with that notice dropped.
  if [ -n "$sd_starter" ]; then
    until sd_ended "$sd_starter"; do
      [ "$SECONDS" -lt "$deadline" ] || { kill -KILL "$sd_starter"; break; }
      sleep 0.01
    done
    { wait "$sd_starter"; } 2>/dev/null
    sd_starter=""
  fi
  if [ -n "$sd_cgroup" ] && [ -d "$sd_cgroup" ]; then
    echo 1 >"$sd_cgroup/cgroup.kill" 2>/dev/null
    until grep -qx 'populated 0' "$sd_cgroup/cgroup.events" 2>/dev/null; do
      [ "$SECONDS" -lt "$deadline" ] || { echo "FAILED - processes stay in $sd_cgroup" >&2; left=1; break; }
      sleep 0.02
    done
  fi
  # PID 1 leaves its cgroup first and ends last, once the kernel has reaped
  # every other process of its namespace.
  while [ -n "$sd_pidns" ] && [ "$(readlink "/proc/$sd_pid1/ns/pid" 2>/dev/null)" = "$sd_pidns" ]; do
    [ "$SECONDS" -lt "$deadline" ] || { echo "FAILED - the test system's PID 1 ($sd_pid1) stays" >&2; left=1; break; }
    sleep 0.02
  done
  if [ -n "$sd_cgroup" ] && [ -d "$sd_cgroup" ]; then
    find "$sd_cgroup" -depth -type d -exec rmdir {} + 2>/dev/null
    [ -d "$sd_cgroup" ] && { echo "FAILED - the cgroup $sd_cgroup stays" >&2; left=1; }
  fi
  if [ -n "$sd_state" ]; then
    rm -f "$sd_state/boot.log"
    rmdir "$sd_state/top" "$sd_state" 2>/dev/null || { echo "FAILED - $sd_state stays" >&2; left=1; }
  fi
  sd_state="" sd_cgroup="" sd_pid1="" sd_pidns=""
  return "$left"
}
