#!/bin/sh
# Builds the tool and creates one instance from the sample installation, as
# the current user, in a fresh directory; then shows what it made.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh plain >/dev/null
work=$(mktemp -d /tmp/install-sample.XXXXXX)
cp -a build/server-root "$work/server-root"
user=$(id -un)
echo "Server root: $work/server-root"
ZORA_SERVER_HOME="$work/server-root" ./build/install -s www.example.test -p 8080 -i web1 -u "$user" \
  -d "$work/docs" -P 7676 -A admin -W secret -J /usr/lib/jvm/default-java
echo
echo "Instance $work/server-root/web1:"
(cd "$work/server-root/web1" && find . | sort | sed 's/^\.\///' | while read -r f; do
  [ "$f" = "." ] && continue; ls -ld "$f" | awk -v f="$f" '{print $1, $3, f}'; done)
echo
echo "Document root $work/docs:"
ls -l "$work/docs"
