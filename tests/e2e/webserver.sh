# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=bash disable=SC2034
# Shared by scripts/serve-form.sh and tests/e2e/run.sh (sourced by bash):
# serves the `install` CGI program from lighttpd on a free loopback port, with
# the environment the administration server would give it, over a private
# copy of the sample installation.
#
#   web_start BUILD_DIR SCRATCH   copies BUILD_DIR/server-root to
#                                 SCRATCH/server-root, starts lighttpd and sets
#                                 WEB_PORT, WEB_PID, WEB_ROOT (the server root
#                                 the CGI works on), WEB_URL (the server) and
#                                 WEB_FORM (the form's address); the port comes
#                                 from the program WEB_PORT_PROGRAM names when
#                                 it is set (the tests' registry), else at random
#   web_stop                      stops that lighttpd, if it runs
#
# The caller owns SCRATCH (a fresh mktemp directory) and removes it after
# web_stop. Nothing here listens anywhere but 127.0.0.1.

WEB_SCRIPT_PATH=/admin/bin/install
WEB_PID=""

# Succeeds when something accepts connections on 127.0.0.1:$1.
web_port_answers() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# The sanitizer settings of the caller's environment, as setenv entries, so
# that a sanitized build behaves under lighttpd as it does in the other tests
# (lighttpd hands its CGI programs a fresh environment).
web_sanitizer_env() {
  local name value
  for name in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
    value=${!name-}
    [ -n "$value" ] || continue
    value=${value//\\/\\\\}
    value=${value//\"/\\\"}
    printf ',\n  "%s" => "%s"' "$name" "$value"
  done
}

# Writes the lighttpd configuration for port $2 into directory $1.
web_write_config() {
  local dir=$1 port=$2
  cat >"$dir/lighttpd.conf" <<EOF
server.modules = ( "mod_access", "mod_alias", "mod_setenv", "mod_cgi", "mod_accesslog" )
server.bind = "127.0.0.1"
server.port = $port
server.document-root = "$dir/htdocs"
server.errorlog = "$dir/logs/error.log"
accesslog.filename = "$dir/logs/access.log"
server.upload-dirs = ( "$dir/tmp" )
server.tag = "lighttpd"
index-file.names = ( "index.html" )
mimetype.assign = ( ".html" => "text/html; charset=utf-8", ".gif" => "image/gif",
                    ".css" => "text/css", ".png" => "image/png" )

# The form's pages refer to ../icons/ from /admin/bin/.
alias.url = ( "/admin/icons/" => "$dir/server-root/lib/icons/" )

# Everything below /admin/bin/ is a program run as CGI/1.1 (an empty
# handler executes the file itself); SCRIPT_NAME is then /admin/bin/install.
\$HTTP["url"] =~ "^/admin/bin/" {
  cgi.assign = ( "" => "" )
}

# What the administration server hands its programs.
setenv.add-environment = (
  "BREVIK_ROOT" => "$dir/server-root",
  "SERVER_URL" => "http://127.0.0.1:$port",
  "PATH" => "/usr/local/bin:/usr/bin:/bin"$(web_sanitizer_env)
)
EOF
}

# Copies the installation and the program into the scratch directory.
web_prepare_tree() {
  local build=$1 dir=$2
  if [ ! -x "$build/install" ] || [ ! -d "$build/server-root" ]; then
    echo "no built program and sample installation in $build (build first)" >&2
    return 1
  fi
  mkdir -p "$dir/htdocs/admin/bin" "$dir/logs" "$dir/tmp" || return 1
  cp -a "$build/server-root" "$dir/server-root" || return 1
  cp "$build/install" "$dir/htdocs/admin/bin/install" || return 1
  chmod 755 "$dir/htdocs/admin/bin/install"
  printf '<html><body><a href="%s">Create a new server instance</a></body></html>\n' \
    "$WEB_SCRIPT_PATH" >"$dir/htdocs/index.html"
}

# Starts lighttpd on a port nobody else uses, trying a few.
web_start() {
  local build=$1 dir=$2 port
  command -v lighttpd >/dev/null 2>&1 || { echo "lighttpd missing: run scripts/setup-web.sh" >&2; return 1; }
  web_prepare_tree "$build" "$dir" || return 1
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    if [ -n "${WEB_PORT_PROGRAM:-}" ]; then
      port=$("$WEB_PORT_PROGRAM") || return 1
    else
      port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
      web_port_answers "$port" && continue
    fi
    web_write_config "$dir" "$port"
    lighttpd -D -f "$dir/lighttpd.conf" </dev/null >>"$dir/logs/lighttpd.out" 2>&1 &
    WEB_PID=$!
    # Up to a minute for it to answer: a busy machine starts it slowly.
    for _ in $(seq 1 1200); do
      if ! kill -0 "$WEB_PID" 2>/dev/null; then
        # Lost the port to someone else, or a configuration error: the log
        # tells which; try another port a few times.
        wait "$WEB_PID" 2>/dev/null
        WEB_PID=""
        break
      fi
      if web_port_answers "$port"; then
        WEB_PORT=$port
        WEB_ROOT=$dir/server-root
        WEB_URL=http://127.0.0.1:$port
        WEB_FORM=$WEB_URL$WEB_SCRIPT_PATH
        return 0
      fi
      sleep 0.05
    done
    web_stop
  done
  echo "lighttpd did not start; its output:" >&2
  cat "$dir/logs/lighttpd.out" "$dir/logs/error.log" >&2 2>/dev/null
  return 1
}

web_stop() {
  [ -n "$WEB_PID" ] || return 0
  kill "$WEB_PID" 2>/dev/null

  for _ in $(seq 1 50); do
    kill -0 "$WEB_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -9 "$WEB_PID" 2>/dev/null
  wait "$WEB_PID" 2>/dev/null
  WEB_PID=""
  return 0
}
