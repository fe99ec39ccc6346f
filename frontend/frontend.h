// The two faces of the tool: the command line and the CGI program.
#pragma once

#include "instance/record.h"
#include <string>

#include "instance/validate.h"
#include "messages/messages.h"

// The program: dispatches to the CGI side or the command line; returns the exit status.
int installMain(int argc, char** argv);

// "Usage: install -s servername ..." on standard error.
void printUsage();

// The command-line face (REQUEST_METHOD unset or empty).
int runCommandLine(int argc, char** argv);

// GET (or any method but POST): the install form. Returns 0.
int showInstallForm(char** config);

// POST: checks the submitted fields and creates the instance. Returns 0.
int submitInstallForm(char** config);

// Runs the creation once and reports it: the success line on standard error
// (commandLine != 0) or the success page; a failure sets the partly built
// instance aside and ends the run through report_error. Returns 0.
int reportCreationOutcome(char** config, const InstanceRecord* record, int commandLine);

// Claims "<instancesRoot>/<serverId>" with an exclusive mkdir so that no
// other run can use the identifier. A run as root claims nothing below an
// instances root that another user could change (Failed, ERR_UNSAFE_DIRECTORY).
enum class ClaimResult { Claimed, InUse, Failed };
ClaimResult claimInstanceDirectory(const InstanceRecord* record, Message* failure);

// True when "<serverRoot>/https-<serverId>" exists or any entry, a dangling
// link included, takes the name "<instancesRoot>/<serverId>".
bool serverIdInUse(const InstanceRecord* record);

// Ends the run through report_error unless the server root is an absolute
// path: an empty or relative one would put the instance below "/" or the
// working directory. `variable` names where the root came from.
void requireAbsoluteServerRoot(const InstanceRecord* record, const char* variable);
// "" when the server root is absolute and free of control characters, else
// the text requireAbsoluteServerRoot reports.
std::string serverRootProblem(const InstanceRecord* record, const char* variable);

// Ends the run through report_error unless the server root is a directory
// holding an installation: the message bundle and the templates. One line
// names it, in English: without the bundle there are no other texts.
void requireInstallation(const InstanceRecord* record, const char* variable);
// "" for an installation, else the text requireInstallation reports.
std::string installationProblem(const InstanceRecord* record, const char* variable);

// What would keep the claim's mkdir from making the instance directory:
// an instances root unsafe for root (checkRootOnlyDirectory), or one this
// run cannot write to (ERR_MKDIR_FAILURE with the instance directory).
Message claimProblem(const InstanceRecord* record);

// End the run through report_error (type 3, `title`) when the identifier
// cannot name an instance (checkServerId), or when an answer, an
// installation setting or the root holds a control character; `labels`
// name the answers as the front end asks for them, `rootLabel` the root.
void refuseUnusableServerId(const InstanceRecord* record, const char* title);
void refuseControlCharacters(const InstanceRecord* record, const FieldLabel* labels, size_t count,
                             const char* rootLabel, const char* title);
// Takes the lock of the instances root for the rest of the run, then ends
// the run the same way when the ports are one (portsEqualProblem) or, with
// `checkPorts`, at the first port conflict (portConflicts). A lock that
// cannot be taken, or an instances root unsafe for root, ends it too.
void lockAndRefusePortConflicts(const InstanceRecord* record, bool checkPorts, const char* title);

// After a failed creation: removes the claimed instance directory when it is
// empty, else renames it to "<instancesRoot>/broken.<serverId>[.n]". Returns
// the new path, or "" when nothing was kept.
std::string setAsideInstance(const InstanceRecord* record);
