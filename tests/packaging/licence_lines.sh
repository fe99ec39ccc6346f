#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Every source file of the tree names the project's licence in an SPDX line
# among its first lines (after a #! line and a Python coding line): C++,
# shell, Perl, Python and JavaScript files, CMake files, the message
# bundles, the control-script templates and their generator, the stand-in
# server, the manual pages and the Debian packaging's scripts. LICENSE is
# the GNU GPL version 3 as Debian ships it. The files come from git; outside
# a checkout the test is skipped.
#
#   tests/packaging/licence_lines.sh SOURCE_DIR
set -u
source_dir=${1:?usage: licence_lines.sh SOURCE_DIR}
cd "$source_dir" || exit 1
files=$(git ls-files 2>/dev/null) || { echo "SKIPPED: $source_dir is no git checkout" >&2; exit 77; }
line='SPDX-License-Identifier: GPL-3.0-or-later'
failures=0
while IFS= read -r file; do
  case $file in
    fuzz/corpus/* | fuzz/regressions/*) continue ;;
    *.cpp | *.h | *.mjs | *.sh | *.pl | *.pm | *.py | *.yml | *.cfg | *.8 | CMakeLists.txt | */CMakeLists.txt | \
      messages/*.txt | .ci/run | debian/rules | debian/tests/* | sample/server-root/bin/https/bin/* | \
      sample/server-root/lib/install/templates/makeScript | \
      sample/server-root/lib/install/templates/start | sample/server-root/lib/install/templates/stop | \
      sample/server-root/lib/install/templates/restart | sample/server-root/lib/install/templates/rotate | \
      sample/server-root/lib/install/templates/run-program) ;;
    *) continue ;;
  esac
  [ -f "$file" ] || continue
  if ! head -n 8 -- "$file" | grep -qF "$line"; then
    echo "FAIL: $file has no line \"$line\" among its first lines" >&2
    failures=$((failures + 1))
  fi
done <<<"$files"
if [ -r /usr/share/common-licenses/GPL-3 ] && ! cmp -s LICENSE /usr/share/common-licenses/GPL-3; then
  echo "FAIL: LICENSE is not /usr/share/common-licenses/GPL-3" >&2
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || { echo "$failures file(s) without their licence line" >&2; exit 1; }
echo "licence lines: every source file names GPL-3.0-or-later"
