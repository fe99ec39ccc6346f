// SPDX-License-Identifier: GPL-3.0-or-later
// The configuration writers of a new instance. Each writes its file below
// "<instancesRoot>/<serverId>/config", checks every write, flush and close
// (ERR_FILE_WRITE with the path and the error text), makes the first backup
// copy and records it in the catalogue. Empty on success, else the message.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "backup/catalogue.h"
#include "instance/record.h"
#include "messages/messages.h"

// config/init.conf (and, on the way, the ACL files).
Message writeInitConf(const InstanceRecord* record, BackupCatalogue* catalogue);
// config/generated.<id>.acl and config/genwork.<id>.acl, and the working
// copy's backup. Empty, ERR_FILE_WRITE (path, error), a copy's message, or
// ERR_CREATE_BACKUP ("<id>.acl").
Message writeAclFiles(const InstanceRecord* record, const char* instanceDir, BackupCatalogue* catalogue);
// What writeInitConf and the two template writers would fail with for what
// can be known before writing: the administration server's init.conf
// there but unreadable; a template that cannot be opened. Empty otherwise.
Message checkInitConfSources(const InstanceRecord* record);
Message checkTemplateWriters(const InstanceRecord* record);
// config/obj.conf and config/<id>-obj.conf.
Message writeObjConf(const InstanceRecord* record, BackupCatalogue* catalogue);
// config/server.xml and config/mirel-acc.xml from their templates.
Message writeServerXml(const InstanceRecord* record, BackupCatalogue* catalogue);
Message writeAccXml(const InstanceRecord* record, BackupCatalogue* catalogue);

// A token of config/server.xml and the record field that gives its value.
struct TemplateToken {
  const char* name;
  const char* InstanceRecord::*field;
};
// The tokens of config/server.xml whose field `record` leaves unset, in the
// order of the token table: the file keeps each as the template writes it
// ("%%%NAME%%%"), so the instance lacks that setting until it is replaced.
std::vector<TemplateToken> unsetServerXmlTokens(const InstanceRecord* record);
// Writes the one to three lines of config/dbswitch.conf to the caller's open
// file (which the caller closes and checks); 0, or errno of a failed write.
int writeDbSwitch(FILE* file, const char* directoryUrl, const char* directoryBase,
                  const char* directoryBindDn, const char* directoryBindPassword);

// The TempDir hash: h = h ^ (h << 5) ^ byte, each byte sign-extended; "" gives 0.
uint32_t pathHash(const char* text);
// Percent-encodes every byte but A-Z a-z 0-9 - . / @ _ ("%3D" style, upper case).
std::string urlEncode(const char* text);
// Standard Base64 with padding and no line breaks; 0 bytes give "".
std::string base64Encode(const unsigned char* bytes, size_t length);
// Escapes & < > " ' for XML; null gives "" (callers register a null field as
// null themselves, so that its token stays).
std::string xmlEscape(const char* text);

extern "C" {
// The Base64 alphabet of RFC 4648, 64 characters and a NUL.
__attribute__((visibility("default"))) extern const char installuuset[65];
}
