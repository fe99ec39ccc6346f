// The record of the answers an instance was created with,
// "<instanceDir>/config/answers.conf": lines "name = value" for serverId,
// serverName, port, jmsPort, serverUser, docRoot, javaHome and
// jmsAdminUser, after comment lines starting with '#'. Later runs read it to know the ports the instance uses;
// tools that manage instances read it to compare an instance with what is
// asked of it. The password is never written here.
#pragma once

#include <map>
#include <string>

#include "fsutil/reading.h"
#include "instance/record.h"
#include "messages/messages.h"

constexpr const char* ANSWERS_FILE = "config/answers.conf";

// Writes the record of `record`'s answers into `instanceDir`. Empty, or
// ERR_FILE_WRITE (the file, error text).
Message writeAnswers(const InstanceRecord* record, const std::string& instanceDir);

// The answers of a record's text, by name (a value unset at creation is
// absent); lines that are not "name = value" are passed over.
void parseAnswers(const std::string& text, std::map<std::string, std::string>* answers);

// The record of the instance directory `name` of the instances root held
// open as `instancesRoot`. Records belong to their server users, so the
// directory, its config and the record are reached without following a
// link, and the record is read as readSmallFileAt reads (SMALL_FILE_LIMIT).
ReadOutcome readAnswersAt(int instancesRoot, const std::string& name, std::map<std::string, std::string>* answers);

// As readAnswersAt for the instance directory at `instanceDir`, reached
// through the links the run may follow.
ReadOutcome readAnswers(const std::string& instanceDir, std::map<std::string, std::string>* answers);
