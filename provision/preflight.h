// SPDX-License-Identifier: GPL-3.0-or-later
// Checks made before anything is created: the ports the new instance would
// use and the JMS administrator's password file. Messages come from
// rBundle, which must be open.
#pragma once

#include <string>
#include <vector>

#include "instance/record.h"
#include "messages/messages.h"

// ERR_PORTS_EQUAL when the record's HTTP and JMS ports are one port: such
// an instance could never start, whatever the port checks are set to.
Message portsEqualProblem(const InstanceRecord* record);

// Every conflict of the record's HTTP port and, when set and different, its
// JMS port: with the ports other instances below the instances root use,
// as their config/server.xml gives them, or their record of answers where
// that cannot be read (instance/live_config.h; ERR_PORT_TAKEN_BY_INSTANCE;
// set-aside instances are passed over, and one of which neither file can be
// read safely is skipped and noted in `skipped` when given), and with a process listening
// on it now, found by binding the port on 0.0.0.0
// (ERR_PORT_TAKEN_BY_PROCESS; a port this run may not bind is not a
// conflict for that reason alone). Ports must be valid numbers.
std::vector<Message> portConflicts(const InstanceRecord* record, std::vector<Message>* skipped = nullptr);

// The first line of `file` ("-": standard input, of which nothing past
// that line is read), without its line end, in `password`. The file is
// read as readSmallFile reads (no link another user could have placed,
// no FIFO or device, no second name, at most SMALL_FILE_LIMIT bytes) and
// must belong to root or to the effective user. Empty, else
// ERR_PASSWORD_FILE (file, error text), a refusal of readRefusalMessage,
// ERR_PASSWORD_FILE_OWNER (file), ERR_PASSWORD_FILE_SHARED (file: it has
// permission bits for group or others) or ERR_PASSWORD_EMPTY (file); for
// standard input, which has no file name to show, ERR_PASSWORD_STDIN_READ
// (error text), ERR_PASSWORD_STDIN_TOO_LONG (the limit: a first line
// longer than it) or ERR_PASSWORD_STDIN_EMPTY.
Message readPasswordFile(const char* file, std::string* password);
