#!/bin/sh
# Builds the tool, creates one instance from the sample installation in a
# fresh directory and shows what it made; then runs the instance with its own
# control scripts: starts it (the sample's stand-in server program serves the
# document root through lighttpd, on 127.0.0.1 only), fetches its home page
# and stops it. As root the instance runs as daemon; otherwise as the
# current user.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/setup-web.sh --server-only
scripts/build.sh plain >/dev/null
work=$(mktemp -d /tmp/install-sample.XXXXXX)
# The server user must reach the instance and the document root below it.
chmod 755 "$work"
cp -a build/server-root "$work/server-root"
if [ "$(id -u)" -eq 0 ]; then user=daemon; else user=$(id -un); fi
# A port nobody listens on now.
port=$(perl -MIO::Socket::INET -e \
  'print IO::Socket::INET->new(Listen => 1, LocalAddr => "127.0.0.1", LocalPort => 0, ReuseAddr => 1)->sockport')
echo "Server root: $work/server-root"
ZORA_SERVER_HOME="$work/server-root" ./build/install -s www.example.test -p "$port" -i web1 -u "$user" \
  -d "$work/docs" -P 7676 -A admin -W secret -J /usr/lib/jvm/default-java
instance=$work/server-root/web1
echo
echo "Instance $instance:"
(cd "$instance" && find . | sort | sed 's/^\.\///' | while read -r f; do
  [ "$f" = "." ] && continue; ls -ld "$f" | awk -v f="$f" '{print $1, $3, f}'; done)
echo
echo "Document root $work/docs:"
ls -l "$work/docs"

echo
echo "Starting it: $instance/bin/startserv -a 127.0.0.1"
# Whatever happens from here on, a server that was started is stopped again.
trap '[ ! -f "$instance/logs/pid" ] || "$instance/bin/stopserv" >/dev/null 2>&1 || true' EXIT
"$instance/bin/startserv" -a 127.0.0.1
echo
echo "GET http://127.0.0.1:$port/"
perl -MHTTP::Tiny -e '
  my $r = HTTP::Tiny->new(timeout => 10)->get($ARGV[0]);
  print "$r->{status} $r->{reason}\n";
  my ($title) = ($r->{content} // "") =~ m{<title>\s*(.*?)\s*</title>}is;
  print "Title: ", $title // "(none)", "\n";
  exit($r->{success} ? 0 : 1);' "http://127.0.0.1:$port/"
echo
echo "Stopping it: $instance/bin/stopserv"
"$instance/bin/stopserv"
echo
echo "Its logs ($instance/logs):"
ls -l "$instance/logs"
