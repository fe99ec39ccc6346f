# SPDX-License-Identifier: GPL-3.0-or-later
# What the tests of the installed packages share: the installed programs,
# a scratch directory with a copy of the packaged sample, free ports.
set -eu
tool=/usr/lib/instance-install/install
instancectl=/usr/lib/instance-install/instancectl
packaged_sample=/usr/share/instance-install/server-root

# The copy lives in a directory of root's that only root may change: root's
# control scripts refuse anything else on the way to its asowner.
scratch=$(mktemp -d /tmp/instance-install-test.XXXXXX)
chmod 755 "$scratch"
root=$scratch/server-root
cp -a "$packaged_sample" "$root"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# free_ports COUNT: COUNT ports nothing listens on now, on one line.
free_ports() {
  perl -MIO::Socket::INET -e '
    my @sockets = map { IO::Socket::INET->new(Listen => 1, LocalAddr => "127.0.0.1", LocalPort => 0, ReuseAddr => 1)
                          or die "no free port: $!\n" } 1 .. $ARGV[0];
    print join(" ", map { $_->sockport } @sockets), "\n";' "$1"
}
