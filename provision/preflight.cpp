// SPDX-License-Identifier: GPL-3.0-or-later
#include "provision/preflight.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

#include "adminlib/adminlib.h"
#include "fsutil/descriptor.h"
#include "fsutil/directories.h"
#include "fsutil/reading.h"
#include "instance/live_config.h"
#include "instance/on_disk.h"
#include "provision/listening.h"

namespace {

// The number of a port text, 0 for one that is not a port.
unsigned portNumber(const char* text) {
  unsigned number = 0;
  return parsePort(text, &number) ? number : 0;
}

// The ports other instances use, with the identifier of each: those their
// configuration gives, or their record where the configuration cannot be
// read (instance/live_config.h); of complete instances, and of creations
// and removals that have not finished, which still hold theirs
// (instance/on_disk.h); set-aside remains are passed over. An instance of
// which neither can be read safely is skipped and noted in `skipped` (one
// with neither file, made before records were kept or not written yet,
// silently).
std::multimap<unsigned, std::string> usedPorts(const InstanceRecord* record, std::vector<Message>* skipped) {
  std::multimap<unsigned, std::string> ports;
  Descriptor root;
  std::vector<InstanceEntry> entries;
  if (openDirectoryPath(record->instancesRoot, &root) != 0 || listEntries(root.get(), &entries) != 0) return ports;
  for (InstanceEntry& entry : entries) {
    if (entry.id == record->serverId || entry.state == EntryState::Broken) continue;
    const LiveSettings live = readLiveSettings(root.get(), entry);
    if (live.source == SettingsSource::None) {
      if (skipped && !entry.tree.empty() &&
          !(entry.record.refusal == ReadRefusal::System && entry.record.error == ENOENT)) {
        std::string path = std::string(record->instancesRoot) + "/" + entry.tree + "/" + RECORD_PATH;
        Message reason = readRefusalMessage(path.c_str(), entry.record, SMALL_FILE_LIMIT);
        skipped->push_back(errorMessage("ERR_RECORD_SKIPPED", {entry.id.c_str(), reason.get()}));
      }
      continue;
    }
    auto recordedId = entry.answers.find("serverId");
    const std::string& id = recordedId != entry.answers.end() ? recordedId->second : entry.id;
    for (const char* port : {"port", "jmsPort"}) {
      auto value = live.values.find(port);
      if (value != live.values.end() && settingPort(value->second) != 0) ports.emplace(settingPort(value->second), id);
    }
  }
  return ports;
}

}  // namespace

Message portsEqualProblem(const InstanceRecord* record) {
  if (record->jmsPort && portNumber(record->port) == portNumber(record->jmsPort))
    return errorMessage("ERR_PORTS_EQUAL", {record->port});
  return Message();
}

std::vector<Message> portConflicts(const InstanceRecord* record, std::vector<Message>* skipped) {
  std::vector<Message> conflicts;
  std::vector<const char*> ours = {record->port};
  if (record->jmsPort && !portsEqualProblem(record)) ours.push_back(record->jmsPort);
  std::multimap<unsigned, std::string> taken = usedPorts(record, skipped);
  for (const char* port : ours) {
    auto user = taken.find(portNumber(port));
    if (user != taken.end())
      conflicts.push_back(errorMessage("ERR_PORT_TAKEN_BY_INSTANCE", {port, user->second.c_str()}));
    else if (someoneListensOn(portNumber(port)))
      conflicts.push_back(errorMessage("ERR_PORT_TAKEN_BY_PROCESS", {port}));
  }
  return conflicts;
}

namespace {

bool isStandardInput(const char* file) { return std::strcmp(file, "-") == 0; }

Message passwordFileFailure(const char* shown, int error) {
  return errorMessage("ERR_PASSWORD_FILE", {shown, std::strerror(error)});
}

}  // namespace

Message readPasswordFile(const char* file, std::string* password) {
  std::string line;
  if (isStandardInput(file)) {
    // Byte by byte, so that nothing after the first line is taken from a
    // shared standard input.
    for (char c;;) {
      ssize_t got = read(STDIN_FILENO, &c, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return errorMessage("ERR_PASSWORD_STDIN_READ", {std::strerror(errno)});
      if (got == 0 || c == '\n') break;
      if (line.size() == SMALL_FILE_LIMIT)
        return errorMessage("ERR_PASSWORD_STDIN_TOO_LONG", {std::to_string(SMALL_FILE_LIMIT).c_str()});
      line += c;
    }
  } else {
    std::string content;
    struct stat status;
    ReadOutcome outcome = readSmallFile(file, SMALL_FILE_LIMIT, &content, &status);
    if (outcome.refusal == ReadRefusal::System) return passwordFileFailure(file, outcome.error);
    if (!outcome) return readRefusalMessage(file, outcome, SMALL_FILE_LIMIT);
    if (status.st_uid != 0 && status.st_uid != geteuid()) return errorMessage("ERR_PASSWORD_FILE_OWNER", {file});
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) return errorMessage("ERR_PASSWORD_FILE_SHARED", {file});
    line = content.substr(0, content.find('\n'));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty())
    return isStandardInput(file) ? errorMessage("ERR_PASSWORD_STDIN_EMPTY") : errorMessage("ERR_PASSWORD_EMPTY", {file});
  *password = line;
  return Message();
}
