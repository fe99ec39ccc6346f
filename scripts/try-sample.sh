#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the tool and the sample installation (nothing else), creates one
# instance from the sample in a fresh directory and shows what it made; then
# runs the instance with its own control scripts: starts it (the sample's
# stand-in server program serves the document root through lighttpd, on
# 127.0.0.1 only), fetches its home page and stops it. As root the instance
# runs as daemon; otherwise as the current user. The instance is left for
# you to look at; the last lines say where it is and how to remove it.
set -eu
cd "$(dirname "$0")/.."

step() {
  printf '\n== %s\n' "$*"
}

# What the build's configuration and the stand-in server need; the tests'
# and benchmarks' tools come with scripts/setup.sh.
step "Checking the packages the build and the stand-in server need"
scripts/setup.sh cmake ninja-build g++ pkg-config libicu-dev icu-devtools libgtest-dev libgmock-dev \
  nlohmann-json3-dev perl util-linux
scripts/setup-web.sh --server-only
echo "All there."

step "Configuring the build in build/"
if ! cmake -S . -B build -G Ninja >/dev/null; then
  echo "The configuration wants more than the packages above: installing the build's full set (scripts/setup.sh)."
  scripts/setup.sh
  cmake -S . -B build -G Ninja >/dev/null
fi
step "Building the tool and the sample installation (about a minute the first time)"
cmake --build build --target install_tool sample_installation

work=$(mktemp -d /tmp/install-sample.XXXXXX)
# The server user must reach the instance and the document root below it.
chmod 755 "$work"
cp -a build/server-root "$work/server-root"
if [ "$(id -u)" -eq 0 ]; then user=daemon; else user=$(id -un); fi
# A port nobody listens on now.
port=$(perl -MIO::Socket::INET -e \
  'print IO::Socket::INET->new(Listen => 1, LocalAddr => "127.0.0.1", LocalPort => 0, ReuseAddr => 1)->sockport')
step "Creating the instance web1 in $work/server-root, for the user $user, on port $port"
# The JMS password comes on standard input (-w -), never on a command line.
printf 'secret\n' | ZORA_SERVER_HOME="$work/server-root" ./build/install -s www.example.test -p "$port" -i web1 \
  -u "$user" -d "$work/docs" -P 7676 -A admin -w - -J /usr/lib/jvm/default-java
instance=$work/server-root/web1
echo
echo "Instance $instance:"
find "$instance" -mindepth 1 -printf '%M %u %P\n' | sort -k 3
echo
echo "Document root $work/docs:"
ls -l "$work/docs"

step "Starting it: $instance/bin/startserv -a 127.0.0.1"
[ "$user" = "$(id -un)" ] || echo "(run by root, the script runs the server as $user)"
# Whatever happens from here on, a server that was started is stopped again.
trap '[ ! -f "$instance/logs/pid" ] || "$instance/bin/stopserv" >/dev/null 2>&1 || true' EXIT
"$instance/bin/startserv" -a 127.0.0.1
step "GET http://127.0.0.1:$port/"
perl -MHTTP::Tiny -e '
  my $r = HTTP::Tiny->new(timeout => 10)->get($ARGV[0]);
  print "$r->{status} $r->{reason}\n";
  my ($title) = ($r->{content} // "") =~ m{<title>\s*(.*?)\s*</title>}is;
  print "Title: ", $title // "(none)", "\n";
  exit($r->{success} ? 0 : 1);' "http://127.0.0.1:$port/"
step "Stopping it: $instance/bin/stopserv"
"$instance/bin/stopserv"
echo
echo "Its logs ($instance/logs):"
ls -l "$instance/logs"

step "Done"
echo "The instance is $instance; its document root is $work/docs."
echo "Start it again with $instance/bin/startserv -a 127.0.0.1 (and stop it with bin/stopserv)."
echo "Remove everything this script made with: rm -rf $work"
