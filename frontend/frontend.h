// SPDX-License-Identifier: GPL-3.0-or-later
// The two faces of the tool: the command line and the CGI program.
#pragma once

#include "instance/record.h"
#include "provision/plan.h"

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

// Runs the creation plan once (provision/plan.h) as `policy` names it and
// reports the outcome: the success line on standard error (commandLine !=
// 0) or the success page; a problem ends the run as the face numbers it
// (reportProblem). Returns the exit status.
int reportCreationOutcome(char** config, const InstanceRecord* record, const FacePolicy& policy, int commandLine);

// Ends the run through report_error with the title and type `policy` gives
// `problem`; a problem the face numbers with a status of its own (the
// command line's 254 for an identifier in use) is written as one line on
// standard error instead, and that status returned.
int reportProblem(const Problem& problem, const FacePolicy& policy);

// The faces' declared policies: how each names the answers, titles and
// numbers the problems, and the rules that are its own. The command line
// names the password by the option it came from: -w with `passwordFile`
// (read by the plan), else -W.
FacePolicy commandLinePolicy(const char* passwordFile);
FacePolicy formPolicy();
