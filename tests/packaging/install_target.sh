#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The install target: `cmake --install BUILD_DIR --prefix <scratch>` puts the
# program in libexec/instance-install/install (never in bin, where it would
# hide install(1)) with instancectl beside it, the sample installation in
# share/instance-install/server-root, the Ansible module in
# share/instance-install/ansible and the manual pages in
# share/man/man8/instance-install.8 and instancectl.8; the sample's
# bin/https/bin/asowner is a link to the asowner installed beside install,
# and no compiled program is installed below share; the installed program
# creates an instance from a copy of the installed sample, whose control
# scripts, run by root, take the link, the installed instancectl lists and
# removes it, the installed pages render without warnings, and ansible-doc
# reads the installed module.
#
#   tests/packaging/install_target.sh BUILD_DIR [CMAKE]
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=${1:?usage: install_target.sh BUILD_DIR [CMAKE]}
cmake=${2:-cmake}

scratch=$(mktemp -d /tmp/install-target.XXXXXX) || exit 1
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! env -u DESTDIR "$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
  cat "$scratch/install.log" >&2
  echo "FAIL: cmake --install $build --prefix $prefix" >&2
  exit 1
fi

program=$prefix/libexec/instance-install/install
instancectl=$prefix/libexec/instance-install/instancectl
sample=$prefix/share/instance-install/server-root
page=$prefix/share/man/man8/instance-install.8
ctl_page=$prefix/share/man/man8/instancectl.8
module=$prefix/share/instance-install/ansible/server_instance.py

# --- where the pieces land -------------------------------------------------
{ [ -f "$program" ] && [ -x "$program" ]; } || fail "no executable $program"
if [ -e "$prefix/bin" ]; then
  fail "$prefix/bin exists: $(find "$prefix/bin" -mindepth 1 | tr '\n' ' ')"
fi
# The only program called install is the one in libexec (lib/install/ of the
# sample is a directory).
stray=$(find "$prefix" -name install ! -type d ! -path "$program")
[ -z "$stray" ] || fail "files named install outside libexec: $stray"

if ! diff -r "$build/server-root" "$sample" >"$scratch/sample.diff" 2>&1; then
  fail "installed sample differs from $build/server-root: $(head -5 "$scratch/sample.diff")"
fi
for bundle in root.res fr.res; do
  [ -s "$sample/lib/messages/httpconf/$bundle" ] || fail "message bundle $bundle not installed"
done
[ -x "$sample/lib/install/templates/makeScript" ] || fail "script generator not executable"
# Every execute bit of the assembled sample survives the installation.
while IFS= read -r -d '' file; do
  [ -x "$sample/${file#"$build/server-root/"}" ] || fail "lost its execute bits: ${file#"$build/server-root/"}"
done < <(find "$build/server-root" -type f -perm -u+x -print0)

asowner=$prefix/libexec/instance-install/asowner
{ [ -f "$asowner" ] && [ -x "$asowner" ]; } || fail "no executable $asowner"
linked=$(readlink "$sample/bin/https/bin/asowner")
[ "$linked" = "$asowner" ] || fail "the sample's asowner is no link to $asowner: ${linked:-not a link}"
while IFS= read -r -d '' file; do
  case $(head -c 4 "$file" | od -An -c | tr -d ' ') in
    177ELF) fail "a compiled program below share: ${file#"$prefix/"}" ;;
  esac
done < <(find "$prefix/share" -type f -print0)

cmp -s "$source_dir/doc/instance-install.8" "$page" || fail "$page is not doc/instance-install.8"
cmp -s "$source_dir/doc/instancectl.8" "$ctl_page" || fail "$ctl_page is not doc/instancectl.8"
{ [ -f "$instancectl" ] && [ -x "$instancectl" ]; } || fail "no executable $instancectl"
cmp -s "$source_dir/ansible/library/server_instance.py" "$module" || fail "$module is not the module"

# --- the manual page renders -----------------------------------------------
warnings=$(groff -ww -z -man "$page" 2>&1)
[ -z "$warnings" ] || fail "groff -ww warns about $page: $warnings"
rendered=$(env -u MAN_KEEP_FORMATTING LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>"$scratch/man.err")
status=$?
[ "$status" -eq 0 ] || fail "man -l exited $status"
[ -s "$scratch/man.err" ] && fail "man -l warns: $(cat "$scratch/man.err")"
# The name line is what whatis and apropos show; the synopsis gives the path.
name_line=$(lexgrog "$page" 2>&1)
[ "$name_line" = "$page: \"instance-install - create an application server instance from its installation directory\"" ] ||
  fail "lexgrog reads the name line as: $name_line"
synopsis=$(printf '%s\n' "$rendered" | sed -n '/^SYNOPSIS$/,/^DESCRIPTION$/p')
printf '%s\n' "$synopsis" | grep -q 'libexec/instance-install/install' ||
  fail "man -l shows no SYNOPSIS naming libexec/instance-install/install: $(printf '%s\n' "$rendered" | head -12)"

warnings=$(groff -ww -z -man "$ctl_page" 2>&1)
[ -z "$warnings" ] || fail "groff -ww warns about $ctl_page: $warnings"
name_line=$(lexgrog "$ctl_page" 2>&1)
[ "$name_line" = "$ctl_page: \"instancectl - list, operate, remove and hand to systemd the application server instances of a server root\"" ] ||
  fail "lexgrog does not read a clean NAME line: $name_line"
if command -v ansible-doc >/dev/null 2>&1; then
  ANSIBLE_HOME=$scratch/ansible-home ansible-doc -M "$(dirname "$module")" server_instance >"$scratch/doc.out" 2>&1 ||
    fail "ansible-doc cannot read the installed module: $(head -5 "$scratch/doc.out")"
fi

# --- the installed program creates an instance ----------------------------
if [ "$(id -u)" -eq 0 ]; then user=daemon; else user=$(id -un); fi
root=$scratch/server-root
docs=$scratch/docs
cp -a "$sample" "$root" || exit 1
chmod 755 "$scratch"
# Two ports of this test alone, from the registry of the tests (tests/ports.cpp).
read -r port jmsport <<<"$("$build/tests/test-port" 2)"
run() {
  env -u REQUEST_METHOD -u DESTDIR LC_ALL=C ZORA_SERVER_HOME="$root" "$program" "$@" \
    >"$scratch/out" 2>"$scratch/err"
}
run -s localhost -p "$port" -i web1 -u "$user" -d "$docs" -P "$jmsport" -A admin -W pw -J /usr/lib/jvm
status=$?
if [ "$status" -ne 0 ]; then
  fail "installed program exited $status: $(cat "$scratch/err")"
else
  grep -q "^Created new Server localhost (web1)" "$scratch/err" || fail "no success line: $(cat "$scratch/err")"
  [ -s "$scratch/out" ] && fail "standard output not empty: $(head -3 "$scratch/out")"
  for file in config/init.conf config/server.xml config/backup/backups.conf; do
    [ -s "$root/web1/$file" ] || fail "instance lacks $file"
  done
  [ -x "$root/web1/bin/startserv" ] || fail "instance lacks an executable bin/startserv"
  [ -s "$docs/index.html" ] || fail "document root $docs has no index.html"
  owner=$(stat -c %U "$root/web1/config")
  [ "$owner" = "$user" ] || fail "the instance's configuration belongs to $owner, not $user"
  if [ "$(id -u)" -eq 0 ]; then
    # Through the copied link to the installed asowner; status 2: not running.
    timeout 60 "$root/web1/bin/stopserv" >"$scratch/out" 2>&1
    status=$?
    [ "$status" -eq 2 ] || fail "root's stopserv of the copied sample exited $status: $(cat "$scratch/out")"
  fi
fi

# The installed instancectl lists the instance and removes it, keeping the
# document root.
listed=$(env -u DESTDIR LC_ALL=C "$instancectl" --server-root "$root" list --json 2>&1)
printf '%s' "$listed" | grep -q '"id": "web1"' || fail "instancectl list does not show web1: $listed"
env -u DESTDIR LC_ALL=C "$instancectl" --server-root "$root" remove web1 >"$scratch/out" 2>"$scratch/err" ||
  fail "instancectl remove failed: $(cat "$scratch/err")"
[ ! -e "$root/web1" ] || fail "instancectl remove left $root/web1"
[ -s "$docs/index.html" ] || fail "instancectl remove took the document root"

# A refused run reports through the installed message bundle (the ports of
# web1 reused on purpose).
INSTALL_CHECK_PORTS=no run -s localhost -p "$port" -i web2 -u no-such-user-xq -d "$docs" -P "$jmsport" -A admin -W pw -J /usr/lib/jvm
status=$?
[ "$status" -eq 3 ] || fail "unknown user: exit status $status, expected 3"
grep -q 'The user "no-such-user-xq" does not exist on this system.' "$scratch/err" ||
  fail "unknown user: not the bundle's message: $(cat "$scratch/err")"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install target: programs, sample installation, Ansible module and manual pages installed and working"
