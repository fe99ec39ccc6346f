// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/validate.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fsutil/descriptor.h"
#include "fsutil/directories.h"
#include "fsutil/ownership.h"
#include "instance/on_disk.h"
#include "instance/settings_internal.h"
#include "messages/escape.h"

const char illegalServerIdChars[] = "/ &;`'\"|*!?~<>^()[]{}$\\";

namespace {

constexpr FieldLabel ROOT_FIELDS[] = {
    {&InstanceRecord::serverRoot, "serverRoot"},
    {&InstanceRecord::instancesRoot, "instancesRoot"},
};

bool isControlByte(unsigned char c) { return (c >= 0x01 && c <= 0x1F) || c == 0x7F; }

bool isIllegalIdByte(char c) { return c != '\0' && std::strchr(illegalServerIdChars, c) != nullptr; }

// Every name the creation forms from the identifier, and the limit it must
// keep: the owner walks pass over longer names below the instance (its
// server could not read such a file), the file system refuses names
// longer than NAME_MAX.
struct FormedName {
  const char* prefix;
  const char* suffix;
  size_t limit;
};
constexpr FormedName FORMED_NAMES[] = {
    {"generated.", ".acl", OWNER_WALK_NAME_LIMIT},  // config/, and below the server root
    {"genwork.", ".acl", OWNER_WALK_NAME_LIMIT},
    {"", "-obj.conf.1", OWNER_WALK_NAME_LIMIT},    // config/ and its backups
    {"", ".acl.1", OWNER_WALK_NAME_LIMIT},
    {BROKEN_PREFIX, ".9999", NAME_MAX},            // a failed run set aside
    {".removing.broken.", ".9999", NAME_MAX},      // and its removal
    {"broken.https-", "", NAME_MAX},
};

// Every path of the backup catalogue holds the identifier, and the
// catalogue separates its fields with colons.
constexpr char CATALOGUE_SEPARATOR = ':';

// ERR_CONTROL_CHARACTER naming `label` when `text` holds a control character.
Message controlCharacterIn(const char* text, const char* label) {
  std::string character = firstControlCharacter(text);
  if (character.empty()) return Message();
  return errorMessage("ERR_CONTROL_CHARACTER", {label, character.c_str()});
}

struct UserIds {
  uid_t uid;
  gid_t gid;
};

// Proves, as root, that files can be given to the user's ids: a file with
// no name (O_TMPFILE) in the directory at `where` is handed over, and goes
// when it is closed or the run is killed, so that no run leaves anything
// behind. Where no such file can be made, the user is accepted untested.
int probeOwnerChange(const UserIds& user, const char* where) {
  Descriptor directory;
  if (!where || openDirectoryPath(where, &directory) != 0) return 0;
  Descriptor probe(openat(directory.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (!probe.valid()) return 0;
  return fchown(probe.get(), user.uid, user.gid) == 0 ? 0 : -2;
}

}  // namespace

bool hasControlCharacter(const char* text) { return !firstControlCharacter(text).empty(); }

std::string firstControlCharacter(const char* text) {
  for (const char* c = text; c && *c; ++c)
    if (isControlByte(static_cast<unsigned char>(*c))) return visibleCharacter(*c);
  return std::string();
}

std::string visibleCharacter(char c) {
  // A byte of a multi-byte character means nothing alone: shown as it is,
  // so that a text shown byte by byte keeps its characters.
  if (static_cast<unsigned char>(c) >= 0x80) return std::string(1, c);
  return escapeForTerminal(std::string_view(&c, 1));
}

Message checkServerIdCharacters(const char* serverId) {
  if (serverId == nullptr) return Message();
  for (const char* c = serverId; *c; ++c) {
    if (isIllegalIdByte(*c) || *c == CATALOGUE_SEPARATOR || isControlByte(static_cast<unsigned char>(*c)))
      return errorMessage("ERR_ILLEGAL_SERVER_ID", {visibleCharacter(*c).c_str()});
  }
  return Message();
}

size_t serverIdLengthLimit() {
  size_t limit = NAME_MAX;
  for (const FormedName& name : FORMED_NAMES)
    limit = std::min(limit, name.limit - std::strlen(name.prefix) - std::strlen(name.suffix));
  return limit;
}

Message checkServerId(const char* serverId) {
  if (serverId == nullptr || *serverId == '\0') return errorMessage("ERR_EMPTY_SERVER_ID");
  if (std::strcmp(serverId, ".") == 0 || std::strcmp(serverId, "..") == 0)
    return errorMessage("ERR_DOT_SERVER_ID", {serverId});
  if (Message failure = checkServerIdCharacters(serverId)) return failure;
  if (isReservedName(serverId)) return errorMessage("ERR_RESERVED_SERVER_ID", {serverId});
  const size_t length = std::strlen(serverId), limit = serverIdLengthLimit();
  if (length <= limit) return Message();
  return errorMessage("ERR_SERVER_ID_TOO_LONG", {std::to_string(length).c_str(), std::to_string(limit).c_str()});
}

Message checkControlCharacters(const InstanceRecord* record, const FieldLabel* labels, size_t count,
                               const char* rootLabel) {
  for (size_t i = 0; i < count; ++i)
    if (Message failure = controlCharacterIn(record->*labels[i].member, labels[i].label)) return failure;
  // The roots before the settings: a setting's "${SERVER_ROOT}" carries the
  // root's characters, which are the root's fault.
  for (const FieldLabel& root : ROOT_FIELDS)
    if (Message failure = controlCharacterIn(record->*root.member, rootLabel ? rootLabel : root.label)) return failure;
  for (size_t i = 0; i < INSTALL_SETTING_COUNT; ++i)
    if (Message failure = controlCharacterIn(record->*installSettingField(i), installSettingName(i))) return failure;
  return Message();
}

Message checkDocRootPath(const char* docRoot) {
  if (docRoot == nullptr || docRoot[0] != '/') return errorMessage("ERR_DOC_ROOT");
  return Message();
}

Message checkOwnerIsRunner(const char* userName) {
  if (geteuid() == 0 || userName == nullptr) return Message();
  setpwent();
  const passwd* entry = getpwnam(userName);
  bool another = entry != nullptr && entry->pw_uid != getuid();
  endpwent();
  return another ? errorMessage("ERR_OTHER_USER_NEEDS_ROOT", {userName}) : Message();
}

Message checkRootServerUser(const char* userName, bool allowed, const char* settingsFile) {
  if (allowed || userName == nullptr) return Message();
  setpwent();
  const passwd* entry = getpwnam(userName);
  bool root = entry != nullptr && entry->pw_uid == 0;
  endpwent();
  return root ? errorMessage("ERR_ROOT_SERVER_USER", {userName, settingsFile}) : Message();
}

Message checkServerUser(const char* userName, const char* where) {
  switch (probeUser(userName, where)) {
    case -2:
      return errorMessage("ERR_INVALID_USER");
    case -1:
      return errorMessage("ERR_UNKNOWN_USER", {userName ? userName : ""});
    default:
      return Message();
  }
}

int probeUser(const char* userName, const char* where) {
  if (userName == nullptr) return -1;
  setpwent();
  const passwd* entry = getpwnam(userName);
  UserIds user = entry ? UserIds{entry->pw_uid, entry->pw_gid} : UserIds{0, 0};
  endpwent();
  if (entry == nullptr) return -1;
  if (geteuid() != 0) return 0;
  return probeOwnerChange(user, where);
}
