// The record of the answers an instance was created with,
// "<instanceDir>/config/answers.conf": lines "name = value" for serverId,
// serverName, port, jmsPort, serverUser and docRoot, after comment lines
// starting with '#'. Later runs read it to know the ports the instance uses;
// tools that manage instances read it to compare an instance with what is
// asked of it. The password is never written here.
#pragma once

#include <map>
#include <string>

#include "instance/record.h"
#include "messages/messages.h"

constexpr const char* ANSWERS_FILE = "config/answers.conf";

// Writes the record of `record`'s answers into `instanceDir`. Empty, or
// ERR_FILE_WRITE (the file, error text).
Message writeAnswers(const InstanceRecord* record, const std::string& instanceDir);

// The answers recorded in the file at `path`, by name (a value unset at
// creation is absent); false when the file cannot be read.
bool readAnswers(const std::string& path, std::map<std::string, std::string>* answers);
