#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck disable=SC2317  # finish runs from the trap
# shellcheck disable=SC2016  # the awk, perl and sh programs are in single quotes
# The test system of harness.sh: it boots, runs a service as daemon with
# nothing but the capability to bind a port below 1024, in the service's own
# cgroup, stops it, and once torn down leaves nothing of itself on the host:
# no process of its PID namespace, no mount, no cgroup (nor one in the host's
# v1 hierarchy), no state directory, no changed kernel setting, no unit file
# in the host's /etc.
#
#   tests/systemd/smoke.sh
set -u
here=$(dirname "$0")
# shellcheck source=SCRIPTDIR/../checks.sh
. "$here/../checks.sh"
# shellcheck source=SCRIPTDIR/harness.sh
. "$here/harness.sh"
finish() { sd_teardown; }
make_scratch systemd-smoke

# The kernel settings the boot could change, which the host has otherwise:
# those of the sysctl.d files systemd-sysctl would apply where the host's
# value differs from the file's (where they agree a write would show nothing,
# and another test may change such a setting for a while), and those PID 1
# raises itself.
watched_settings() {
  local file key value current
  for file in /usr/lib/sysctl.d/*.conf /etc/sysctl.d/*.conf; do
    [ -f "$file" ] || continue
    while IFS='=' read -r key value; do
      read -r key <<<"$key"
      key=${key#-}
      case $key in "" | "#"* | ";"* | *"*"*) continue ;; esac
      key=${key//.//}
      current=$(cat "/proc/sys/$key" 2>/dev/null) || continue
      # Compared word by word: the kernel separates numbers with tabs.
      read -r -a current <<<"$current"
      read -r -a value <<<"$value"
      [ "${current[*]}" = "${value[*]}" ] || echo "$key"
    done <"$file"
  done
  printf '%s\n' fs/file-max fs/nr_open kernel/core_pattern kernel/hostname
}
kernel_settings() {
  local key
  for key in $watched; do
    printf '%s=%s\n' "$key" "$(cat "/proc/sys/$key" 2>&1)"
  done
}
# The host's mounts where the test system mounts: below the state
# directories of test systems and the scratch directory, on /, /proc, /sys,
# /dev, /run and /etc.
host_mounts() {
  awk -v scratch="$scratch" '
    function under(p, d) { return p == d || index(p, d "/") == 1 }
    { p = $5 }
    p == "/" || index(p, "/tmp/test-system.") == 1 || under(p, scratch) || under(p, "/proc") || under(p, "/sys") ||
      under(p, "/dev") || under(p, "/run") || under(p, "/etc") { print $5, $9 }' /proc/self/mountinfo | sort
}
# The groups of the host's v1 name=systemd hierarchy, where systemd would
# make its own were it not in unified mode.
v1_groups() {
  local point
  point=$(awk '$3 == "cgroup" && $4 ~ /(^|,)name=systemd(,|$)/ { print $2; exit }' /proc/self/mounts)
  [ -z "$point" ] || find "$point" -type d | sort
}
# True when no process of the host is in the PID namespace NS.
namespace_empty() {  # namespace_empty NS
  local link
  for link in /proc/[0-9]*/ns/pid; do
    [ "$(readlink "$link" 2>/dev/null)" = "$1" ] && return 1
  done
  return 0
}

start=$SECONDS
watched=$(watched_settings | sort -u)
settings_before=$(kernel_settings)
echo "# kernel settings watched: ${watched//$'\n'/ }"
mounts_before=$(host_mounts)
v1_before=$(v1_groups)
sd_boot --rw "$scratch" || fatal "booting the test system"
sd_wait_ready || fatal "waiting for the test system's boot"
echo "# booted in $((SECONDS - start)) s"

check "/proc/sys is read-only inside" sd_run sh -c '! test -w /proc/sys/kernel/pid_max'
check "/sys is read-only inside" sd_run sh -c '! test -w /sys/kernel'
check "loopback is the only network inside" [ "$(sd_run ls /sys/class/net)" = lo ]

# A service of daemon's: accepts on 127.0.0.1:80 and answers each connection
# with the ids it runs with.
cat >"$scratch/listener.pl" <<'EOF'
use IO::Socket::INET;
my $server = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 80, Listen => 5, ReuseAddr => 1)
  or die "listening on 127.0.0.1:80: $!\n";
while (my $client = $server->accept) { print $client "uid=$< euid=$>\n"; close $client; }
EOF
chmod 644 "$scratch/listener.pl"
unit=smoke-probe.service
sd_run sh -c 'cat >"/etc/systemd/system/$1"' sh "$unit" <<EOF || fatal "writing $unit"
[Unit]
Description=A service that binds a port below 1024 as daemon
[Service]
Type=exec
User=daemon
AmbientCapabilities=CAP_NET_BIND_SERVICE
CapabilityBoundingSet=CAP_NET_BIND_SERVICE
ExecStart=/usr/bin/perl $scratch/listener.pl
EOF
sd_run systemctl daemon-reload || fatal "systemctl daemon-reload"
sd_run systemctl start "$unit" || fatal "systemctl start $unit"
pid=$(sd_run systemctl show -p MainPID --value "$unit")
check "$unit has a main process" [ "${pid:-0}" -gt 0 ]
# The answer over loopback, waiting (up to 30 s) for the listener to bind.
answer=$(sd_run perl -MIO::Socket::INET -e '
  for (1 .. 600) {
    my $c = IO::Socket::INET->new(PeerAddr => "127.0.0.1:80") or do { select(undef, undef, undef, 0.05); next };
    print scalar <$c>;
    exit 0;
  }
  exit 1;')
daemon_uid=$(id -u daemon)
check "the service answers on port 80 as daemon" [ "$answer" = "uid=$daemon_uid euid=$daemon_uid" ]
check "every id of the main process is daemon's" \
  [ "$(sd_run awk '/^Uid:/ { print $2, $3, $4, $5 }' "/proc/$pid/status")" = "$daemon_uid $daemon_uid $daemon_uid $daemon_uid" ]
# CAP_NET_BIND_SERVICE alone (bit 10): permitted, effective and bounding.
check "the main process holds CAP_NET_BIND_SERVICE and nothing else" \
  [ "$(sd_run awk '/^Cap(Prm|Eff|Bnd):/ { print $2 }' "/proc/$pid/status" | sort -u)" = 0000000000000400 ]
check "the main process is in the unit's own cgroup" \
  [ "$(sd_run grep '^0::' "/proc/$pid/cgroup")" = "0::/system.slice/$unit" ]
check "the unit file stays inside" [ ! -e "/etc/systemd/system/$unit" ]

sd_run systemctl stop "$unit" || fatal "systemctl stop $unit"
check "$unit is inactive after systemctl stop" [ "$(sd_run systemctl show -p ActiveState --value "$unit")" = inactive ]
check "its process has ended" sd_run sh -c '! kill -0 "$1" 2>/dev/null' sh "$pid"

pidns=$sd_pidns cgroup=$sd_cgroup state=$sd_state
check "the teardown reports nothing left" sd_teardown
check "no process of the test system is left" namespace_empty "$pidns"
check "its cgroup is gone" [ ! -e "$cgroup" ]
check "it made no group in the host's v1 hierarchy" [ "$(v1_groups)" = "$v1_before" ]
check "its state directory is gone" [ ! -e "$state" ]
check "no mount of it is left on the host" [ "$(host_mounts)" = "$mounts_before" ]
check "the host's kernel settings are unchanged" [ "$(kernel_settings)" = "$settings_before" ]
echo "# the whole test took $((SECONDS - start)) s"
exit $((failures > 0))
