// SPDX-License-Identifier: GPL-3.0-or-later
// What `instancectl list` prints: an aligned table for people, a JSON array
// for programs. Both show the same values.
#pragma once

#include <string>
#include <vector>

#include "instancectl/inventory.h"

// One line of headings (unless not `withHeader`, for scripts), then one
// line per instance with its identifier,
// server name, HTTP port, JMS port, user, state (with the process number
// when one runs) and document root, in columns aligned by characters. The
// server name and ports are those the instance runs with (InstanceInfo's
// `live`); one whose configuration and record disagree is marked "*",
// explained by a line after the table (with the headings only). A
// value that is not known is "-"; every value passes through
// escapeForTerminal, so that no byte of a record reaches a terminal as a
// control character (a NUL included).
std::string formatTable(const std::vector<InstanceInfo>& instances, bool withHeader = true);

// A JSON array of one object per instance with exactly the keys id,
// server_name, port, jms_port, user, docroot, state, pid, java_home,
// jms_admin and config_differs; ports and pid are numbers, a value that is
// not known is null. server_name, port and jms_port are those the instance
// runs with; config_differs lists the keys of those whose configuration and
// record disagree ([] when they agree), null when the two could not be
// compared. Only printable ASCII: anything else is a \u escape. Ends with
// a line end.
std::string formatJson(const std::vector<InstanceInfo>& instances);

// The object formatJson gives the instance `info`, alone (instancectl status --json).
std::string formatJsonObject(const InstanceInfo& info);

// The user an instance runs as, decided as its control scripts decide it:
// the name of its owner (the owner of config, of the instance directory
// without config), the number when the system has no such user. Never the
// record's serverUser, which the server user can rewrite.
std::string instanceUser(const InstanceInfo& info);
