// What `instancectl list` prints: an aligned table for people, a JSON array
// for programs. Both show the same values.
#pragma once

#include <string>
#include <vector>

#include "instancectl/inventory.h"

// One line of headings, then one line per instance with its identifier,
// server name, HTTP port, JMS port, user, state (with the process number
// when one runs) and document root, in columns aligned by characters. A
// value that is not known is "-"; control characters are shown as escapes.
std::string formatTable(const std::vector<InstanceInfo>& instances);

// A JSON array of one object per instance with exactly the keys id,
// server_name, port, jms_port, user, docroot, state and pid; ports and pid
// are numbers, a value that is not known is null. Ends with a line end.
std::string formatJson(const std::vector<InstanceInfo>& instances);

// The user an instance runs as: its recorded server user, else the name of
// its owner (the number when the name is unknown).
std::string instanceUser(const InstanceInfo& info);
