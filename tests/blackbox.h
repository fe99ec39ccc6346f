// SPDX-License-Identifier: GPL-3.0-or-later
// Running the real executable against a scratch copy of the sample installation.
#pragma once

#include <string>
#include <vector>

#include "tests/testsupport.h"

// A scratch directory holding a copy of the sample installation.
struct Installation {
  ScratchDir scratch;
  std::string root = copySampleInstallation(scratch);

  // Makes the scratch tree usable by `user` (owner of everything below it).
  void handTo(const std::string& user);
};

// listTree of an installation without the lock file that every creation
// leaves in the instances root: what a run made or changed besides it.
std::vector<std::string> installationTree(const std::string& root);

// The environment of a command-line run with ZORA_SERVER_HOME = root; root
// is allowed as the server user (INSTALL_ALLOW_ROOT_USER=yes).
std::vector<std::string> commandLineEnvironment(const std::string& root);

// The HTTP and JMS ports allOptions gives: leased (uniquePort) on first
// use and then the same for the whole test process, so that under ctest
// each test has its own.
const std::string& optionsHttpPort();
const std::string& optionsJmsPort();

// All nine options for an instance `id` run by `user` with document root
// `docRoot`; the HTTP port is the fourth word, the JMS port the twelfth.
std::vector<std::string> allOptions(const std::string& id, const std::string& user, const std::string& docRoot);

// The command line `prefix` + wrapper + the install binary + `arguments`. The
// wrapper is INSTALL_TEST_WRAPPER of the test's environment split at blanks
// (a checker such as valgrind), its first word looked up on PATH.
std::vector<std::string> installCommand(const std::vector<std::string>& arguments,
                                        const std::vector<std::string>& prefix = {});

// Runs installCommand(arguments, prefix).
ProcessResult runInstall(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                         const std::string& input = "", const std::vector<std::string>& prefix = {});

// The environment of a CGI request for `method` with BREVIK_ROOT = root;
// root is allowed as the server user, as for the command line.
std::vector<std::string> cgiEnvironment(const std::string& root, const std::string& method,
                                        const std::string& body = "");

// "name=value&..." with each value percent-encoded.
std::string formBody(const std::vector<std::pair<std::string, std::string>>& fields);

std::string currentUserName();
