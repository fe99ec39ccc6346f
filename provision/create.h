// The creation sequence: builds one complete instance from a filled record.
#pragma once

#include "instance/record.h"
#include "messages/messages.h"

extern "C" {
// The Java flag of the last creation; initially 1.
__attribute__((visibility("default"))) extern int enableJava;
}

// Empty when the instance was created (or the record asks for nothing), else
// the message of the first failing step. Not re-entrant (rBundle, umask).
Message createInstance(const InstanceRecord* record, int javaFlag);
