#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what the browser test and scripts/serve-form.sh need, only what is
# missing: lighttpd, Debian's Chromium (and its driver, when available),
# Node.js with npm, and the test's node modules (playwright-core, pinned by
# tests/e2e/package-lock.json). No browser is ever downloaded: the tests drive
# /usr/bin/chromium.
#
#   scripts/setup-web.sh                 everything the browser test needs
#   scripts/setup-web.sh --server-only   lighttpd alone (scripts/serve-form.sh)
set -eu
server_only=no
case "${1:-}" in
  "") ;;
  --server-only) server_only=yes ;;
  *) echo "usage: scripts/setup-web.sh [--server-only]" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}

updated=no
apt_install() {
  if [ "$updated" = no ]; then
    $SUDO apt-get update -qq
    updated=yes
  fi
  # policy-rc.d answering 101 keeps the packages' maintainer scripts from
  # starting services (lighttpd would otherwise bind port 80 at once).
  policy=/usr/sbin/policy-rc.d
  made_policy=no
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    made_policy=yes
  fi
  status=0
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null || status=$?
  [ "$made_policy" = no ] || $SUDO rm -f "$policy"
  return "$status"
}

stop_lighttpd_service() {
  if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
    $SUDO systemctl disable --now lighttpd >/dev/null 2>&1 || true
  fi
  if [ -x /etc/init.d/lighttpd ]; then
    $SUDO /etc/init.d/lighttpd stop >/dev/null 2>&1 || true
  fi
  if command -v update-rc.d >/dev/null 2>&1; then
    $SUDO update-rc.d lighttpd disable >/dev/null 2>&1 || true
  fi
}

if [ "$server_only" = yes ]; then
  if ! installed lighttpd; then
    echo "Installing: lighttpd"
    apt_install lighttpd
  fi
  stop_lighttpd_service
  exit 0
fi

missing=""
installed lighttpd || missing="$missing lighttpd"
installed chromium || missing="$missing chromium"
# Node.js may come from another packaging than Debian's (with npm inside it);
# asking for Debian's npm then would conflict, so test the commands.
command -v node >/dev/null 2>&1 || missing="$missing nodejs"
command -v npm >/dev/null 2>&1 || missing="$missing npm"
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  # shellcheck disable=SC2086
  apt_install $missing
fi
# The driver is not needed by the tests (they speak to Chromium directly);
# it is installed when the archive has it, for WebDriver users.
if ! installed chromium-driver; then
  apt_install chromium-driver 2>/dev/null || echo "chromium-driver not installed (optional)"
fi

# Whatever started lighttpd as a system service must not leave it running.
stop_lighttpd_service

cd tests/e2e
want=$(node -p "require('./package.json').dependencies['playwright-core']")
have=$(node -p "try { require('./node_modules/playwright-core/package.json').version } catch (e) { '' }")
if [ "$want" != "$have" ]; then
  export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
  if [ -f package-lock.json ]; then
    npm ci --no-audit --no-fund --loglevel=error
  else
    npm install --no-audit --no-fund --loglevel=error
  fi
fi
