#include "instance/validate.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "instance/settings_internal.h"

const char illegalServerIdChars[] = "/ &;`'\"|*!?~<>^()[]{}$\\";

namespace {

struct TextField {
  const char* name;
  const char* InstanceRecord::*member;
};

// The answers of the front ends that end up in a configuration file or on a
// command line; a line end in any of them would add lines of its own. The
// installation settings and the roots are checked after them.
constexpr TextField ANSWER_FIELDS[] = {
    {"serverName", &InstanceRecord::serverName},
    {"port", &InstanceRecord::port},
    {"serverUser", &InstanceRecord::serverUser},
    {"docRoot", &InstanceRecord::docRoot},
    {"dnsMode", &InstanceRecord::dnsMode},
    {"jmsPort", &InstanceRecord::jmsPort},
    {"jmsAdminUser", &InstanceRecord::jmsAdminUser},
    {"jmsAdminPassword", &InstanceRecord::jmsAdminPassword},
    {"javaHome", &InstanceRecord::javaHome},
};
constexpr TextField ROOT_FIELDS[] = {
    {"serverRoot", &InstanceRecord::serverRoot},
    {"instancesRoot", &InstanceRecord::instancesRoot},
};

bool isControlByte(unsigned char c) { return (c >= 0x01 && c <= 0x1F) || c == 0x7F; }

bool isIllegalIdByte(char c) { return c != '\0' && std::strchr(illegalServerIdChars, c) != nullptr; }

Message controlCharacterIn(const char* fieldName) { return errorMessage("ERR_CONTROL_CHARACTER", {fieldName}); }

Message checkControlCharacters(const InstanceRecord* record) {
  for (const TextField& field : ANSWER_FIELDS)
    if (hasControlCharacter(record->*field.member)) return controlCharacterIn(field.name);
  for (size_t i = 0; i < INSTALL_SETTING_COUNT; ++i)
    if (hasControlCharacter(record->*installSettingField(i))) return controlCharacterIn(installSettingName(i));
  for (const TextField& field : ROOT_FIELDS)
    if (hasControlCharacter(record->*field.member)) return controlCharacterIn(field.name);
  return Message();
}

struct UserIds {
  uid_t uid;
  gid_t gid;
};

// Proves, as root, that files can be given to the user's ids: a fresh
// directory under /tmp with an unpredictable name is handed over and removed.
// A directory that cannot be made leaves the user accepted untested.
int probeOwnerChange(const UserIds& user) {
  char scratch[] = "/tmp/trychown.XXXXXX";
  if (mkdtemp(scratch) == nullptr) return 0;
  bool refused = chown(scratch, user.uid, user.gid) != 0;
  rmdir(scratch);
  return refused ? -2 : 0;
}

}  // namespace

bool hasControlCharacter(const char* text) {
  if (text == nullptr) return false;
  for (const char* c = text; *c; ++c)
    if (isControlByte(static_cast<unsigned char>(*c))) return true;
  return false;
}

Message checkServerIdCharacters(const char* serverId) {
  if (serverId == nullptr) return Message();
  for (const char* c = serverId; *c; ++c) {
    if (isIllegalIdByte(*c) || isControlByte(static_cast<unsigned char>(*c)))
      return errorMessage("ERR_ILLEGAL_SERVER_ID", {std::string(1, *c).c_str()});
  }
  return Message();
}

Message validateInstance(const InstanceRecord* record) {
  if (Message failure = checkServerIdCharacters(record->serverId)) return failure;
  if (Message failure = checkControlCharacters(record)) return failure;
  if (Message failure = checkServerUser(record->serverUser)) return failure;
  if (record->docRoot == nullptr || record->docRoot[0] != '/') return errorMessage("ERR_DOC_ROOT");
  return Message();
}

Message checkServerUser(const char* userName) {
  switch (probeUser(userName)) {
    case -2:
      return errorMessage("ERR_INVALID_USER");
    case -1:
      return errorMessage("ERR_UNKNOWN_USER", {userName ? userName : ""});
    default:
      return Message();
  }
}

int probeUser(const char* userName) {
  if (userName == nullptr) return -1;
  setpwent();
  const passwd* entry = getpwnam(userName);
  UserIds user = entry ? UserIds{entry->pw_uid, entry->pw_gid} : UserIds{0, 0};
  endpwent();
  if (entry == nullptr) return -1;
  if (geteuid() != 0) return 0;
  return probeOwnerChange(user);
}
