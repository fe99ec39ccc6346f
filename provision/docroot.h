// The document root of a new instance and its first documents.
#pragma once

#include "instance/record.h"
#include "messages/messages.h"

// Creates docRoot when missing and, unless it holds home.html or index.html,
// copies the documents listed in docs.lst of the (localised) template
// directory. A document root made here goes to serverUser (as root).
Message populateDocRoot(const InstanceRecord* record);
