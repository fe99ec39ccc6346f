// SPDX-License-Identifier: GPL-3.0-or-later
// The systemd service unit of an instance: its file name, its text, and
// writing and removing it in a unit directory held open by descriptor.
//
// The unit runs the instance's own bin/startserv as the instance's owner
// with no capability but binding a port below 1024. It names no PIDFile=:
// logs/pid belongs to the server user, and systemd, as root, would read it
// and at the end remove it by that path; the main process is found in the
// service's own control group instead. No ExecStop= either: systemd sends
// SIGTERM, which is what bin/stopserv sends, without reading the pid file.
// ExecReload= sends SIGUSR1 to the main process, which reopens the logs,
// as bin/rotatelogs has it do. Restart=on-failure: a server that ends with
// an error or by a signal other than SIGTERM is started again after 5
// seconds, at most 5 times in 60 seconds, after which systemd refuses to
// start it (start-limit-hit) until `systemctl reset-failed`.
#pragma once

#include <string>

constexpr const char* DEFAULT_UNIT_DIRECTORY = "/etc/systemd/system";
constexpr const char* UNIT_NAME_PREFIX = "server-instance-";
// The key that marks a unit as made for an instance; systemd ignores keys
// beginning with "X-".
constexpr const char* UNIT_MARKER_KEY = "X-Instancectl-Instance";

// The absolute `path` without empty and "." components and without a
// trailing "/"; "" when it is not absolute or holds a ".." component.
std::string normalizePath(const std::string& path);

// systemd's escaping of a normalised absolute path into a unit name (what
// "systemd-escape --path" prints): the leading "/" dropped, each other "/"
// written "-", and every byte but letters, digits, ":", "_" and "." (and a
// "." that would start the name) written "\xNN". "/" itself is "-".
std::string escapePathForUnit(const std::string& path);

// The unit file name of the instance in the normalised `instanceDir`:
// UNIT_NAME_PREFIX, its escaped path, ".service". One instance directory,
// one name: two server roots holding the same identifier never share a
// unit. "" when the name would be longer than systemd accepts.
std::string unitFileName(const std::string& instanceDir);

struct UnitSettings {
  std::string serverId;
  std::string instanceDir;  // normalised, without control characters
  std::string user;         // the owner's name (or number) and primary group
  std::string group;
};

// The command of ExecStart= that runs the start script at `script` (an
// absolute path without control characters, in UTF-8) as systemd reads
// it: the path itself, quoted when it holds blanks, "%" written "%%"; or,
// for a path with "$", a backslash, "'" or '"', which systemd does not
// take as an executable, /bin/sh given the path as a quoted argument.
std::string execStartCommand(const std::string& script);

// The unit's whole text, marked with UNIT_MARKER_KEY and the instance directory.
std::string unitText(const UnitSettings& settings);

// True when `text` is a unit made for `instanceDir`.
bool isUnitOf(const std::string& text, const std::string& instanceDir);

enum class UnitWrite { Written, Unchanged, ExistsWithOtherContent, Failed };

// Makes `name` in the unit directory held open as `directory` hold exactly
// `text`, mode 0644, owned by the running user: written whole beside it as
// ".<name>.new" (which a killed run leaves for the next to replace),
// synced and renamed over it. An existing entry with other content (or one
// that is not a plain file) is replaced only with `force`. Failed sets
// `*error`.
UnitWrite installUnitAt(int directory, const std::string& name, const std::string& text, bool force, int* error);

enum class UnitRemoval { Removed, Absent, NotOurs, Failed };

// Removes `name` from the unit directory held open as `directory` when it is
// a plain file made for `instanceDir`, with its link in
// multi-user.target.wants that enabling it made and a temporary file a
// killed write left. Failed sets `*error`.
UnitRemoval removeUnitAt(int directory, const std::string& name, const std::string& instanceDir, int* error);
