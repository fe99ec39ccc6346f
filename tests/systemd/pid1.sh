#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# PID 1 of the test system's new namespaces (harness.sh starts it through
# unshare): builds the root the test system boots on and becomes systemd.
#
#   pid1.sh STATE_DIR [rw|ro DIR]...
#
# STATE_DIR/top is an empty directory of the host's; a tmpfs is mounted on it
# in this mount namespace only, and every write of the test system lands in
# that tmpfs. Each DIR is bound at its own path, writable or read-only: the
# directories a test shares with the host. A step the kernel refuses ends the
# script with status 77 and one line naming it (the test is then skipped);
# anything else that fails is a fault, status 1.
set -u
state=$1
shift
top=$state/top
new=$top/root

refused() {  # refused STEP OUTPUT: the reason is the end of OUTPUT's first line
  local reason=${2%%$'\n'*}
  echo "the kernel refused $1: ${reason##*: }" >&2
  exit 77
}
fault() {
  echo "building the test system's root: $*" >&2
  exit 1
}
# kernel STEP COMMAND...: a step only the kernel can refuse.
kernel() {
  local step=$1 output
  shift
  output=$("$@" 2>&1) || refused "$step" "$output"
}
# read_only PATH: PATH bound on itself and made read-only. The bind is a
# mount of this namespace alone, so the host's PATH stays as it is.
read_only() {
  [ -e "$1" ] || return 0
  kernel "a read-only bind of ${1#"$new"}" mount --bind "$1" "$1"
  kernel "a read-only bind of ${1#"$new"}" mount -o remount,bind,ro,nosuid,nodev,noexec "$1"
}

# The writes: a tmpfs that goes with the namespace, so nothing the test system
# writes outlives it or reaches the host's disk.
kernel "a tmpfs for the test system's writes" mount -t tmpfs -o mode=0755,size=512m test-system "$top"
mkdir "$top/upper" "$top/work" "$new" || fault "directories in the tmpfs"
# The root: the host's / seen through an overlay. Only the root file system
# is a layer; what is mounted on it (the host's /proc, /sys, /dev and
# anything else) is not, and is mounted again below as the test system's own.
kernel "an overlay of / (overlayfs, writes in a tmpfs)" \
  mount -t overlay -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" test-system "$new"

# /proc of the new PID namespace. The parts through which a process changes
# the kernel for the whole machine are read-only: /proc/sys above all, which
# systemd writes at boot (fs.file-max and fs.nr_open in PID 1 itself; the
# sysctl.d settings, kernel.pid_max among them, through systemd-sysctl, which
# is masked as well).
kernel "mounting /proc of the new PID namespace" mount -t proc -o nosuid,nodev,noexec proc "$new/proc"
for part in sys sysrq-trigger irq bus fs; do read_only "$new/proc/$part"; done
# /sys of the new network namespace, read-only, and on it cgroup2 rooted at
# the test system's own cgroup (the cgroup namespace made it the root): the
# one hierarchy systemd finds at /sys/fs/cgroup, so that it runs in unified
# mode and sees nothing of the host's v1 hierarchies.
kernel "mounting sysfs of the new network namespace" mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$new/sys"
kernel "mounting cgroup2 in the new cgroup namespace" \
  mount -t cgroup2 -o nosuid,nodev,noexec cgroup2 "$new/sys/fs/cgroup"

# /dev: a tmpfs with the few devices a service needs, none that reaches the
# host's hardware or kernel log (no /dev/kmsg, no disks, no consoles).
kernel "a tmpfs for /dev" mount -t tmpfs -o mode=0755,nosuid,size=4m dev "$new/dev"
for device in null:1:3 zero:1:5 full:1:7 random:1:8 urandom:1:9 tty:5:0; do
  IFS=: read -r name major minor <<<"$device"
  kernel "making the device /dev/$name" mknod -m 0666 "$new/dev/$name" c "$major" "$minor"
done
mkdir "$new/dev/pts" "$new/dev/shm" || fault "directories in /dev"
kernel "a new instance of devpts" mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$new/dev/pts"
for link in ptmx:pts/ptmx fd:/proc/self/fd stdin:/proc/self/fd/0 stdout:/proc/self/fd/1 stderr:/proc/self/fd/2; do
  ln -s "${link#*:}" "$new/dev/${link%%:*}" || fault "the link /dev/${link%%:*}"
done

# The directories the test shares with the host, at the same paths.
while [ $# -ge 2 ]; do
  mode=$1 dir=$2
  shift 2
  [ -d "$dir" ] || fault "no directory $dir to share"
  kernel "binding $dir" mount --bind "$dir" "$new$dir"
  [ "$mode" = ro ] && kernel "making $dir read-only" mount -o remount,bind,ro "$new$dir"
done

# What systemd runs. The writes go to the overlay's tmpfs.
units=$new/etc/systemd/system
# Units that reach the kernel of the whole machine or its hardware
# (sysctl, modules, binfmt, the random seed, pstore, kernel file systems),
# systemd-tmpfiles-setup, which empties /tmp at boot (tmp.conf's "D /tmp")
# where the shared directories are, and what the boot of a test system needs
# none of (each costs boot time, and one that fails makes the system
# "degraded").
masked="systemd-sysctl.service systemd-modules-load.service kmod-static-nodes.service
  systemd-remount-fs.service systemd-fsck-root.service systemd-random-seed.service systemd-pstore.service
  systemd-binfmt.service proc-sys-fs-binfmt_misc.automount proc-sys-fs-binfmt_misc.mount
  dev-hugepages.mount dev-mqueue.mount sys-kernel-config.mount sys-kernel-debug.mount
  sys-kernel-tracing.mount sys-fs-fuse-connections.mount tmp.mount
  systemd-tmpfiles-setup.service systemd-tmpfiles-setup-dev.service systemd-tmpfiles-clean.timer
  systemd-firstboot.service systemd-machine-id-commit.service systemd-repart.service
  systemd-pcrphase.service systemd-pcrphase-sysinit.service systemd-sysusers.service
  systemd-hwdb-update.service systemd-update-utmp.service systemd-journal-flush.service
  systemd-journald-audit.socket systemd-rfkill.socket systemd-fsckd.socket
  systemd-networkd.service systemd-networkd.socket systemd-networkd-wait-online.service
  systemd-resolved.service systemd-timesyncd.service systemd-logind.service
  systemd-ask-password-console.path systemd-ask-password-wall.path
  getty.target console-getty.service dbus.socket dbus.service"
# And whatever the host enabled for itself: its timers and services are not
# the test system's.
for link in /etc/systemd/system/*.wants/*; do
  [ -L "$link" ] && masked="$masked ${link##*/}"
done
for unit in $masked; do
  ln -sfn /dev/null "$units/$unit" || fault "masking $unit"
done
# No file systems of the host's to mount or check.
: >"$new/etc/fstab" || fault "emptying /etc/fstab"

# Into the new root; the host's root goes from this namespace (pivot_root with
# the old root stacked under the new one, then detached).
cd "$new" || fault "entering the new root"
kernel "pivot_root into the overlay" pivot_root . .
kernel "detaching the host's root" umount -l .
cd / || fault "entering /"

# systemd as PID 1. "container" makes it behave as in a container: it leaves
# the clock, the kernel's log and the hardware alone and skips the units meant
# for a real machine. systemd.unified_cgroup_hierarchy=1 (read from its own
# command line in a container) has it mount cgroup2 itself were none there.
# Without both, systemd mounted the v1 hierarchies, which the cgroup namespace
# roots where this process is in them, at the host's roots, and made its
# groups in the host's name=systemd, devices and pids hierarchies (seen);
# harness.sh checks where PID 1 runs once it has booted. The capabilities
# that act on the whole machine however a namespace is made (the clock,
# kernel modules, raw I/O, the kernel log, audit, MAC policy, wake alarms)
# leave the bounding set, so systemd and its services never hold them.
# basic.target is the default: what a service needs, nothing of the
# multi-user system (nor of what the host enabled there).
exec env -i container=test-system PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  setpriv --bounding-set=-sys_time,-sys_module,-sys_rawio,-syslog,-audit_control,-audit_read,-audit_write,-mac_admin,-mac_override,-wake_alarm,-block_suspend,-sys_pacct \
  /lib/systemd/systemd --unit=basic.target --log-target=console systemd.unified_cgroup_hierarchy=1
