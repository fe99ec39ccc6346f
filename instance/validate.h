// Checks shared by both front ends, made before anything is created.
#pragma once

#include "instance/record.h"
#include "messages/messages.h"

// The 23 characters refused in a server identifier.
extern const char illegalServerIdChars[];

// True when `text` holds a byte 0x01-0x1F or 0x7F.
bool hasControlCharacter(const char* text);

// Empty when `serverId` holds no illegal character and no control byte; else
// ERR_ILLEGAL_SERVER_ID with the first such character.
Message checkServerIdCharacters(const char* serverId);

// Empty when the record may be created, else the first failure: the
// identifier's characters, control characters in the text fields
// (ERR_CONTROL_CHARACTER with the field's name), the user, the document root.
// Needs rBundle open.
Message validateInstance(const InstanceRecord* record);

// Empty when the user exists and (as root) can own files; else
// ERR_UNKNOWN_USER (user name) or ERR_INVALID_USER.
Message checkServerUser(const char* userName);

// 0 accepted, -1 no such user, -2 the user's ids cannot own files (root only:
// a fresh mkdtemp directory "/tmp/trychown.XXXXXX" is given to the user and
// removed again; when it cannot be made the user is accepted untested).
int probeUser(const char* userName);
