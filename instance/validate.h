// SPDX-License-Identifier: GPL-3.0-or-later
// Checks of the answers, made before anything is created; the creation
// plan (provision/plan.h) calls them in its rows.
#pragma once

#include "instance/record.h"
#include "messages/messages.h"

// The 23 characters refused in a server identifier.
extern const char illegalServerIdChars[];

#include <cstddef>
#include <string>

// True when `text` holds a byte 0x01-0x1F or 0x7F.
bool hasControlCharacter(const char* text);
// The first such byte of `text` as visibleCharacter shows it; "" when none.
std::string firstControlCharacter(const char* text);

// `c` as a message shows it: a control byte as escapeForTerminal escapes it
// ("\n", "\t", "\r", "\x01"), anything else as itself.
std::string visibleCharacter(char c);

// Empty when `serverId` holds none of the 23 illegal characters, no colon
// (the separator of the backup catalogue, where every path holds the
// identifier) and no control byte; else ERR_ILLEGAL_SERVER_ID with the first
// such character, shown by visibleCharacter.
Message checkServerIdCharacters(const char* serverId);

// As checkServerIdCharacters, and the identifier must name a directory of
// its own: ERR_EMPTY_SERVER_ID for an empty one, ERR_DOT_SERVER_ID for "."
// and "..", ERR_RESERVED_SERVER_ID for the form of a name the tool gives
// its own entries in the instances root (a leading ".", "broken." or
// "https-"), and every name formed from it must fit (serverIdLengthLimit):
// ERR_SERVER_ID_TOO_LONG (its length, the limit).
Message checkServerId(const char* serverId);

// The longest identifier, in bytes, whose every file name the creation can
// make and hand over.
size_t serverIdLengthLimit();

// How a front end names a text field of the record to the user: the
// command line by its option, the form by its field's label.
struct FieldLabel {
  const char* InstanceRecord::*member;
  const char* label;
};

// The first control character in the fields named by `labels`, then in the
// roots (named `rootLabel`, or by their field names when null), then in the
// installation settings (named as in install.defaults), whose
// "${SERVER_ROOT}" carries the root's characters:
// ERR_CONTROL_CHARACTER (the name, the character as visibleCharacter shows
// it). A line end in any of them would add lines of its own to a
// configuration file.
Message checkControlCharacters(const InstanceRecord* record, const FieldLabel* labels, size_t count,
                               const char* rootLabel);

// ERR_DOC_ROOT unless `docRoot` is an absolute path.
Message checkDocRootPath(const char* docRoot);

// Run by an ordinary user, the instance can only be that user's:
// ERR_OTHER_USER_NEEDS_ROOT (user) when `userName` names another existing
// user. Empty for root, and for a user not in the password database (the
// validation reports that).
Message checkOwnerIsRunner(const char* userName);

// Root as the server user runs the server with every privilege of the
// system: ERR_ROOT_SERVER_USER (user, `settingsFile`, where it can be
// allowed) when `userName` names a user of user id 0, unless `allowed`.
// Empty otherwise, also for a user that does not exist (checkServerUser
// reports that).
Message checkRootServerUser(const char* userName, bool allowed, const char* settingsFile);

// Empty when the user exists and (as root) can own files in the directory
// at `where` (the instances root); else ERR_UNKNOWN_USER (user name) or
// ERR_INVALID_USER.
Message checkServerUser(const char* userName, const char* where);

// 0 accepted, -1 no such user, -2 the user's ids cannot own files (root
// only: an unnamed file, O_TMPFILE, in the directory at `where` is given
// to the user; it leaves nothing behind, even when the run is killed. Where
// none can be made the user is accepted untested).
int probeUser(const char* userName, const char* where);
