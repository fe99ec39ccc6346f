// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "fsutil/descriptor.h"
#include "fsutil/files.h"
#include "fsutil/reading.h"

namespace {

// systemd's limit on a unit name, terminating NUL included.
constexpr size_t UNIT_NAME_MAX = 256;
constexpr const char* WANTS_DIRECTORY = "multi-user.target.wants";
// What runs a start script whose path systemd cannot take as an executable:
// a fixed system program, given the path as its first argument.
constexpr const char* SHELL_EXEC_PREFIX = "/bin/sh -c 'exec \"$$1\"' sh ";

bool plainUnitCharacter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ':' || c == '_' ||
         c == '.';
}

std::string hexEscape(unsigned char c) {
  char escape[5];
  std::snprintf(escape, sizeof escape, "\\x%02x", c);
  return escape;
}

// Specifiers start with "%" in every value systemd expands them in.
std::string withoutSpecifiers(const std::string& text) {
  std::string escaped;
  for (char c : text) escaped += c == '%' ? std::string("%%") : std::string(1, c);
  return escaped;
}

// One word of a command line or a path list: quoted when it holds blanks,
// quotes, backslashes or a ";"; "$" doubled in a command, where it would
// start a variable.
std::string unitWord(const std::string& text, bool command) {
  std::string escaped;
  bool quoted = false;
  for (char c : withoutSpecifiers(text)) {
    if (command && c == '$') escaped += '$';
    if (c == '\\' || c == '"') escaped += '\\';
    quoted = quoted || c == ' ' || c == '\t' || c == '\'' || c == '"' || c == '\\' || c == ';';
    escaped += c;
  }
  return quoted ? "\"" + escaped + "\"" : escaped;
}

std::string unitTemporaryName(const std::string& name) { return "." + name + ".new"; }

std::string markerLine(const std::string& instanceDir) { return std::string(UNIT_MARKER_KEY) + "=" + instanceDir; }

UnitWrite failed(int* error, int value) {
  *error = value;
  return UnitWrite::Failed;
}

// The link enabling the unit made, if it is one to a unit of that name.
void removeWantsLink(int directory, const std::string& name) {
  Descriptor wants(openat(directory, WANTS_DIRECTORY, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!wants.valid()) return;
  char target[PATH_MAX];
  ssize_t length = readlinkat(wants.get(), name.c_str(), target, sizeof target - 1);
  if (length <= 0) return;
  std::string text(target, static_cast<size_t>(length));
  if (text == name || (text.size() > name.size() && text.compare(text.size() - name.size() - 1, std::string::npos,
                                                                   "/" + name) == 0))
    unlinkat(wants.get(), name.c_str(), 0);
}

}  // namespace

std::string normalizePath(const std::string& path) {
  if (path.empty() || path[0] != '/') return "";
  std::string normal;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") return "";
    normal += "/" + component;
  }
  return normal.empty() ? "/" : normal;
}

std::string escapePathForUnit(const std::string& path) {
  if (path == "/") return "-";
  std::string escaped;
  for (size_t i = 1; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (c == '/')
      escaped += '-';
    else if (plainUnitCharacter(c) && !(i == 1 && c == '.'))
      escaped += static_cast<char>(c);
    else
      escaped += hexEscape(c);
  }
  return escaped;
}

std::string unitFileName(const std::string& instanceDir) {
  std::string name = std::string(UNIT_NAME_PREFIX) + escapePathForUnit(instanceDir) + ".service";
  return name.size() < UNIT_NAME_MAX ? name : "";
}

std::string execStartCommand(const std::string& script) {
  // systemd takes its executable's path as it is written, after quotes:
  // "$$" stays "$$" there, and a path with a backslash, a single or a
  // double quote is refused. The shell gets such a path as an argument,
  // where systemd undoes its escapes and "$$".
  if (script.find_first_of("$\\'\"") == std::string::npos) return unitWord(script, true);
  std::string argument;
  for (char c : withoutSpecifiers(script)) {
    if (c == '\\' || c == '"') argument += '\\';
    if (c == '$') argument += '$';
    argument += c;
  }
  return std::string(SHELL_EXEC_PREFIX) + "\"" + argument + "\"";
}

std::string unitText(const UnitSettings& unit) {
  const std::string startScript = unit.instanceDir + "/bin/startserv";
  return "# Made by instancectl for the instance " + unit.serverId + " in " + unit.instanceDir +
         ".\n"
         "# \"instancectl remove " +
         unit.serverId +
         "\" removes it with the instance.\n"
         "# systemctl reload reopens the server's logs (SIGUSR1 to its main process,\n"
         "# as bin/rotatelogs does); restart makes it read its configuration again.\n"
         "# A server that fails is started again after 5 seconds, at most 5 times\n"
         "# in 60 seconds (then: systemctl reset-failed); one stopped with SIGTERM\n"
         "# has not failed.\n"
         "[Unit]\n"
         "Description=Application server instance " +
         withoutSpecifiers(unit.serverId + " (" + unit.instanceDir + ")") +
         "\n"
         "After=network-online.target\n"
         "Wants=network-online.target\n"
         "RequiresMountsFor=" +
         unitWord(unit.instanceDir, false) +
         "\n"
         "StartLimitIntervalSec=60\n"
         "StartLimitBurst=5\n" +
         markerLine(unit.instanceDir) +
         "\n"
         "\n"
         "[Service]\n"
         "# The server program puts itself in the background and returns once it serves.\n"
         "Type=forking\n"
         "User=" +
         withoutSpecifiers(unit.user) + "\nGroup=" + withoutSpecifiers(unit.group) +
         "\n"
         "ExecStart=" +
         execStartCommand(startScript) +
         "\n"
         "ExecReload=/bin/kill -USR1 $MAINPID\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         "AmbientCapabilities=CAP_NET_BIND_SERVICE\n"
         "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
         "NoNewPrivileges=yes\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

bool isUnitOf(const std::string& text, const std::string& instanceDir) {
  return text.find("\n" + markerLine(instanceDir) + "\n") != std::string::npos;
}

UnitWrite installUnitAt(int directory, const std::string& name, const std::string& text, bool force, int* error) {
  std::string existing;
  ReadOutcome outcome = readSmallFileAt(directory, name.c_str(), SMALL_FILE_LIMIT, &existing);
  if (outcome && existing == text) return UnitWrite::Unchanged;
  bool absent = outcome.refusal == ReadRefusal::System && outcome.error == ENOENT;
  if (outcome.refusal == ReadRefusal::System && !absent) return failed(error, outcome.error);
  if (!absent && !force) return UnitWrite::ExistsWithOtherContent;

  // One name for every run: a run killed while writing leaves it for the
  // next, which replaces it (systemd reads no name that does not end in a
  // unit suffix).
  const std::string temporary = unitTemporaryName(name);
  if (int failure = replaceFileAt(directory, temporary.c_str(), name.c_str(), text, 0644)) return failed(error, failure);
  return UnitWrite::Written;
}

UnitRemoval removeUnitAt(int directory, const std::string& name, const std::string& instanceDir, int* error) {
  std::string text;
  ReadOutcome outcome = readSmallFileAt(directory, name.c_str(), SMALL_FILE_LIMIT, &text);
  if (outcome.refusal == ReadRefusal::System && outcome.error == ENOENT) return UnitRemoval::Absent;
  if (!outcome || !isUnitOf(text, instanceDir)) return UnitRemoval::NotOurs;
  if (unlinkat(directory, name.c_str(), 0) != 0) {
    *error = errno;
    return UnitRemoval::Failed;
  }
  removeWantsLink(directory, name);
  unlinkat(directory, unitTemporaryName(name).c_str(), 0);
  return UnitRemoval::Removed;
}
