// SPDX-License-Identifier: GPL-3.0-or-later
// Writing the record of the answers an instance was created with,
// "<instanceDir>/config/answers.conf" (instance/on_disk.h names it and
// reads it): lines "name = value" for serverId, serverName, port, jmsPort,
// serverUser, docRoot, javaHome and jmsAdminUser, after comment lines
// starting with '#'. Later runs read it to know the ports the instance
// uses; tools that manage instances read it to compare an instance with
// what is asked of it. The password is never written here.
#pragma once

#include <string>

#include "instance/record.h"
#include "messages/messages.h"

// Writes the record of `record`'s answers into `instanceDir`. Empty, or
// ERR_FILE_WRITE (the file, error text).
Message writeAnswers(const InstanceRecord* record, const std::string& instanceDir);
