// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/blackbox.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

void Installation::handTo(const std::string& user) {
  ProcessResult r = runProcess({"/bin/chown", "-R", user + ":", scratch.path()}, {"PATH=/usr/bin:/bin"});
  if (r.status != 0) throw std::runtime_error("chown failed: " + r.err);
}

// Run as root, the tests create instances for the user running them: root
// as the server user must be allowed for them.
std::vector<std::string> commandLineEnvironment(const std::string& root) {
  return {"PATH=/usr/bin:/bin", "LANG=C", "ZORA_SERVER_HOME=" + root, "INSTALL_ALLOW_ROOT_USER=yes"};
}

const std::string& optionsHttpPort() {
  static const std::string port = uniquePort();
  return port;
}

const std::string& optionsJmsPort() {
  static const std::string port = uniquePort();
  return port;
}

std::vector<std::string> allOptions(const std::string& id, const std::string& user, const std::string& docRoot) {
  return {"-s", "www.example.test", "-p", optionsHttpPort(), "-i", id, "-u", user, "-d", docRoot,
          "-P", optionsJmsPort(), "-A", "admin", "-W", "secret", "-J", "/usr/lib/jvm/java"};
}

namespace {

std::vector<std::string> splitAtBlanks(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The children get a minimal environment, so the wrapper is found here.
std::string findOnPath(const std::string& command) {
  if (command.find('/') != std::string::npos) return command;
  const char* path = std::getenv("PATH");
  std::istringstream directories(path ? path : "/usr/bin:/bin");
  for (std::string directory; std::getline(directories, directory, ':');) {
    std::string candidate = (directory.empty() ? "." : directory) + "/" + command;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  throw std::runtime_error("INSTALL_TEST_WRAPPER: " + command + " not found on PATH");
}

std::vector<std::string> wrapperWords() {
  const char* wrapper = std::getenv("INSTALL_TEST_WRAPPER");
  std::vector<std::string> words = splitAtBlanks(wrapper ? wrapper : "");
  if (!words.empty()) words[0] = findOnPath(words[0]);
  return words;
}

}  // namespace

std::vector<std::string> installCommand(const std::vector<std::string>& arguments,
                                        const std::vector<std::string>& prefix) {
  std::vector<std::string> argv = prefix;
  std::vector<std::string> wrapper = wrapperWords();
  argv.insert(argv.end(), wrapper.begin(), wrapper.end());
  argv.push_back(INSTALL_BINARY);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

ProcessResult runInstall(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                         const std::string& input, const std::vector<std::string>& prefix) {
  return runProcess(installCommand(arguments, prefix), environment, input);
}

std::vector<std::string> cgiEnvironment(const std::string& root, const std::string& method, const std::string& body) {
  std::vector<std::string> env = {"PATH=/usr/bin:/bin",
                                  "LANG=C",
                                  "REQUEST_METHOD=" + method,
                                  "BREVIK_ROOT=" + root,
                                  "SERVER_URL=http://admin.example.test:8888",
                                  "SCRIPT_NAME=/admin/bin/install",
                                  "INSTALL_ALLOW_ROOT_USER=yes"};
  if (method == "POST") {
    env.push_back("CONTENT_TYPE=application/x-www-form-urlencoded");
    env.push_back("CONTENT_LENGTH=" + std::to_string(body.size()));
  }
  return env;
}

std::string formBody(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += '&';
    body += name + '=';
    for (unsigned char c : value) {
      if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '/') {
        body += static_cast<char>(c);
      } else {
        char escape[4];
        std::snprintf(escape, sizeof escape, "%%%02X", c);
        body += escape;
      }
    }
  }
  return body;
}

std::string currentUserName() {
  passwd* pw = getpwuid(getuid());
  return pw ? pw->pw_name : "";
}

std::vector<std::string> installationTree(const std::string& root) {
  std::vector<std::string> tree = listTree(root);
  tree.erase(std::remove(tree.begin(), tree.end(), ".instances.lock"), tree.end());
  return tree;
}
