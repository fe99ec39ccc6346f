// The creation sequence: builds one complete instance from a filled record.
#pragma once

#include <vector>

#include "instance/record.h"
#include "messages/messages.h"

extern "C" {
// The Java flag of the last creation; initially 1.
__attribute__((visibility("default"))) extern int enableJava;
}

// Empty when the instance was created (or the record asks for nothing), else
// the message of the first failing step. Not re-entrant (rBundle, umask).
Message createInstance(const InstanceRecord* record, int javaFlag);

// What a creation of `record` would meet that can be known before it writes
// anything, step by step and in its order: every problem, not only the
// first. The identifier and the answers' characters are left to the front
// ends, which check them first with their own names for the answers.
// Creates, changes and removes nothing; needs rBundle open.
std::vector<Message> planCreation(const InstanceRecord* record);
