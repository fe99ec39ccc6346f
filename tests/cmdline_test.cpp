// SPDX-License-Identifier: GPL-3.0-or-later
// The command-line face: options, refusals, exit statuses and texts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/blackbox.h"

namespace {

const std::string USAGE =
    "Usage: install -s servername -p port -i serverid -u user -d docroot -P jmsport -A jmsadminusername -W "
    "jmsadminpasswd -J javahome\n";
const std::string IN_USE =
    "The given server identifier is already in use.  Please pick another server identifier.\n";

std::string successLine(const std::string& name, const std::string& id, const std::string& port,
                        const std::string& docRoot) {
  return "Created new Server " + name + " (" + id + "), \nlistening to port " + port +
         " \n and serving documents from " + docRoot + " directory.\n";
}

std::vector<std::string> without(std::vector<std::string> options, const std::string& option) {
  for (size_t i = 0; i < options.size(); i += 2) {
    if (options[i] == option) {
      options.erase(options.begin() + static_cast<long>(i), options.begin() + static_cast<long>(i) + 2);
      break;
    }
  }
  return options;
}

class CommandLine : public ::testing::Test {
 protected:
  Installation installation;
  std::string docRoot = installation.scratch / "docs";
  std::vector<std::string> env = commandLineEnvironment(installation.root);
  std::string user = currentUserName();

  std::vector<std::string> options(const std::string& id = "web1") { return allOptions(id, user, docRoot); }
};

TEST_F(CommandLine, ServerHomeNotSetIsRefused) {
  ProcessResult r = runInstall(options(), {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "ZORA_SERVER_HOME not set\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(CommandLine, EmptyRequestMethodMeansCommandLine) {
  ProcessResult r = runInstall(options(), {"PATH=/usr/bin:/bin", "REQUEST_METHOD="});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "ZORA_SERVER_HOME not set\n");
}

TEST_F(CommandLine, UnknownOptionOrMissingArgumentPrintsUsageWithStatus1) {
  auto before = installationTree(installation.root);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-x"}, {"-s", "a", "-p"}}) {
    ProcessResult r = runInstall(args, env);
    EXPECT_EQ(r.status, 1);
    ASSERT_GE(r.err.size(), USAGE.size());
    EXPECT_EQ(r.err.substr(r.err.size() - USAGE.size()), USAGE);
    EXPECT_NE(r.err, USAGE) << "getopt's own diagnostic comes first";
  }
  EXPECT_EQ(installationTree(installation.root), before);
}

// After the usage line, one line names what is missing.
TEST_F(CommandLine, EachMissingOptionIsNamedAfterTheUsageWithStatus255AndCreatesNothing) {
  auto before = installationTree(installation.root);
  const struct {
    std::vector<std::string> left;
    const char* named;
  } cases[] = {
      {{"-i"}, "the option -i is"},
      {{"-u"}, "the option -u is"},
      {{"-d"}, "the option -d is"},
      {{"-P"}, "the option -P is"},
      {{"-A"}, "the option -A is"},
      {{"-W"}, "the option -W (or -w) is"},
      {{"-J"}, "the option -J is"},
      {{"-J", "-i"}, "the options -i and -J are"},
      {{"-i", "-u", "-d", "-P", "-A", "-W", "-J"}, "the options -i, -u, -d, -P, -A, -W (or -w) and -J are"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = options();
    for (const std::string& option : c.left) args = without(args, option);
    ProcessResult r = runInstall(args, env);
    EXPECT_EQ(r.status, 255) << c.named;
    EXPECT_EQ(r.err, USAGE + "install: " + c.named + " missing.\n");
  }
  EXPECT_EQ(installationTree(installation.root), before);
  EXPECT_FALSE(fileExists(docRoot));
}

// The server name and the port already hold their defaults when the options
// are read, so leaving them out keeps "default" and "80".
TEST_F(CommandLine, ServerNameAndPortFallBackToTheirDefaults) {
  ProcessResult r = runInstall(without(without(options(), "-s"), "-p"), env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, successLine("default", "web1", "80", docRoot));
}

TEST_F(CommandLine, BadPortsAreRefused) {
  for (const char* port : {"0", "65536", "+80", " 80", "80 ", "8o", "", "-1", "99999999999"}) {
    for (const char* option : {"-p", "-P"}) {
      auto args = without(options(), option);
      args.push_back(option);
      args.push_back(port);
      ProcessResult r = runInstall(args, env);
      EXPECT_EQ(r.status, 3) << option << " '" << port << "'";
      EXPECT_FALSE(r.err.empty());
    }
  }
  EXPECT_FALSE(fileExists(installation.root + "/web1"));
}

// The title that says which port an option is speaks the message's language.
TEST_F(CommandLine, APortProblemIsWholeInTheLanguageOfTheRun) {
  const struct {
    const char* lang;
    const char* option;
    const char* line;
  } cases[] = {
      {"LANG=C", "-p", "HTTP port: The value \"0\" of -p is not a port: give a whole number from 1 to 65535, digits only."},
      {"LANG=C", "-P", "JMS port: The value \"0\" of -P is not a port: give a whole number from 1 to 65535, digits only."},
      {"LANG=fr_FR.UTF-8", "-p",
       "Port HTTP: La valeur « 0 » de -p n’est pas un port : donnez un nombre entier de 1 à 65535, en chiffres "
       "seulement."},
      {"LANG=fr_FR.UTF-8", "-P",
       "Port JMS: La valeur « 0 » de -P n’est pas un port : donnez un nombre entier de 1 à 65535, en chiffres "
       "seulement."},
  };
  for (const auto& c : cases) {
    auto args = without(options(), c.option);
    args.insert(args.end(), {c.option, "0"});
    auto language = env;
    language[1] = c.lang;
    ProcessResult r = runInstall(args, language);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, std::string(c.line) + "\n");
  }
}

TEST_F(CommandLine, IdentifierInUseIsRefusedWithStatus254AndLeftAlone) {
  makeDirs(installation.root + "/https-web1");
  writeFile(installation.root + "/https-web1/keep", "x");
  ProcessResult r = runInstall(options(), env);
  EXPECT_EQ(r.status, 254);
  EXPECT_EQ(r.err, IN_USE);
  EXPECT_EQ(readFile(installation.root + "/https-web1/keep"), "x");
  EXPECT_FALSE(fileExists(installation.root + "/web1"));
}

// Any entry of the identifier's name takes it, also directories of the
// installation itself; one that a creation or a removal left unfinished is
// refused with the way to clear it.
TEST_F(CommandLine, ExistingInstanceDirectoryIsInUseToo) {
  auto unfinished = [&](const std::string& id, const std::string& entry) {
    return "The server identifier " + id + " is held by a creation or a removal that did not finish (" +
           installation.root + "/" + entry + "); run \"instancectl remove " + id + "\" to clear it, then try again.\n";
  };
  makeDirs(installation.root + "/empty");
  makeDirs(installation.root + "/marked/config");
  writeFile(installation.root + "/marked/.incomplete", "");
  makeDirs(installation.root + "/.removing.gone");
  makeDirs(installation.root + "/other/site");
  writeFile(installation.root + "/file", "");
  const struct {
    const char* id;
    std::string refusal;
  } cases[] = {{"empty", unfinished("empty", "empty")},       {"marked", unfinished("marked", "marked")},
               {"gone", unfinished("gone", ".removing.gone")}, {"other", IN_USE},
               {"file", IN_USE},                               {"lib", IN_USE},
               {"admin-server", IN_USE}};
  for (const auto& c : cases) {
    auto before = installationTree(installation.root);
    ProcessResult r = runInstall(options(c.id), env);
    EXPECT_EQ(r.status, 254) << c.id;
    EXPECT_EQ(r.err, c.refusal) << c.id;
    EXPECT_EQ(installationTree(installation.root), before) << c.id;
  }
}

TEST_F(CommandLine, SuccessPrintsTheLineOnStandardErrorOnly) {
  ProcessResult r = runInstall(options(), env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, successLine("www.example.test", "web1", optionsHttpPort(), docRoot));
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(fileExists(installation.root + "/web1/bin/startserv"));
}

TEST_F(CommandLine, RepeatedOptionUsesTheLastValue) {
  auto args = options();
  args.insert(args.end(), {"-s", "second.example.test"});
  ProcessResult r = runInstall(args, env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, successLine("second.example.test", "web1", optionsHttpPort(), docRoot));
}

// "-s my server" unquoted: the word left over would otherwise be dropped
// and the instance named after half of what was meant.
TEST_F(CommandLine, WordsLeftOverAfterTheOptionsAreRefused) {
  auto args = options();
  args.insert(args.end(), {"-s", "my", "server"});
  auto before = installationTree(installation.root);
  ProcessResult r = runInstall(args, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "install: unexpected word \"server\": a value that holds blanks must be quoted.\n" + USAGE);
  EXPECT_EQ(installationTree(installation.root), before);
}

TEST_F(CommandLine, HelpAndVersionNeedNothingElse) {
  for (const char* word : {"--help", "-h"}) {
    ProcessResult r = runInstall({word}, {"PATH=/usr/bin:/bin"});
    EXPECT_EQ(r.status, 0) << word;
    EXPECT_EQ(r.err, "") << word;
    for (const char* option : {"-s ", "-p ", "-i ", "-u ", "-d ", "-P ", "-A ", "-W ", "-w ", "-J ", "-n ", "--version"})
      EXPECT_NE(r.out.find(option), std::string::npos) << word << " lacks " << option;
  }
  ProcessResult r = runInstall({"--version"}, {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("install (instance-install) ", 0), 0u) << r.out;
  // "-h" as the value of -s is a server name, not a request for help.
  r = runInstall({"-s", "-h"}, {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(r.status, 255);
}

// Identifiers that cannot name an instance directory are refused for what
// they are, never as "in use", and leave the server root as it was.
TEST_F(CommandLine, UnusableIdentifiersAreRefusedForTheirOwnReason) {
  const std::string illegal = "The server identifier contains the character \"";
  const struct {
    std::string id;
    std::string message;
  } cases[] = {
      {"", "The server identifier is empty: give the server a short identifier.\n"},
      {".", "The server identifier cannot be \".\": it must name a directory of its own.\n"},
      {"..", "The server identifier cannot be \"..\": it must name a directory of its own.\n"},
      {"/", illegal + "/\", which is not allowed in a server identifier.\n"},
      {"../x", illegal + "/\", which is not allowed in a server identifier.\n"},
      {"a:b", illegal + ":\", which is not allowed in a server identifier.\n"},
      {"a\x01", illegal + "\\x01\", which is not allowed in a server identifier.\n"},
  };
  auto before = installationTree(installation.root);
  for (const auto& c : cases) {
    ProcessResult r = runInstall(options(c.id), env);
    EXPECT_EQ(r.status, 3) << c.id;
    EXPECT_EQ(r.err, c.message);
  }
  EXPECT_EQ(installationTree(installation.root), before);
}

// A value too long for a message is shortened in the middle, so that the
// reason at its end is still there.
// The longest name made from an identifier is generated.<id>.acl, and the
// owner walks pass over names longer than 128 bytes.
TEST_F(CommandLine, AnIdentifierTooLongForItsFileNamesIsRefusedBeforeAnythingIsMade) {
  auto before = installationTree(installation.root);
  for (size_t length : {115, 5000}) {
    ProcessResult r = runInstall(options(std::string(length, 'w')), env);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "The server identifier is " + std::to_string(length) +
                         " bytes long; at most 114 fit the names of the instance's files.\n");
    EXPECT_EQ(installationTree(installation.root), before);
  }
}

TEST_F(CommandLine, LeadingBlanksOfTheServerHomeAreSkipped) {
  ProcessResult r = runInstall(options(), {"PATH=/usr/bin:/bin", "LANG=C", "ZORA_SERVER_HOME=  " + installation.root,
                                          "INSTALL_ALLOW_ROOT_USER=yes"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fileExists(installation.root + "/web1/config"));
}

// Each message names what is wrong as the user gave it, the check-only run
// and the creation alike.
TEST_F(CommandLine, ProblemsAreNamedAsTheUserGaveThem) {
  const std::string nowhere = installation.scratch / "nowhere";
  for (bool checkOnly : {true, false}) {
    SCOPED_TRACE(checkOnly ? "check only" : "creation");
    auto run = [&](std::vector<std::string> args, const std::vector<std::string>& environment) {
      if (checkOnly) args.insert(args.begin(), "-n");
      return runInstall(args, environment);
    };
    // No installation there: one line, not a message per missing text.
    ProcessResult r = run(options(), commandLineEnvironment(nowhere));
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "Server Root: The server root " + nowhere +
                         " given by ZORA_SERVER_HOME is not a directory: No such file or directory.\n");
    r = run(options(), commandLineEnvironment(installation.scratch.path()));
    EXPECT_EQ(r.err, "Server Root: The server root " + installation.scratch.path() +
                         " given by ZORA_SERVER_HOME is not an installation: it has no " +
                         installation.scratch.path() + "/lib/messages/httpconf/root.res.\n");
    r = run(options(), commandLineEnvironment(installation.root + "/\n"));
    EXPECT_EQ(r.err, "Server Root: The value of \"ZORA_SERVER_HOME\" contains the control character \\n, which is not "
                     "allowed.\n");

    auto ports = options();
    ports[3] = "8\t0";
    ports[11] = "80x";
    r = run(ports, env);
    EXPECT_EQ(r.status, 3);
    std::string http = "HTTP port: The value \"8\\t0\" of -p is not a port: give a whole number from 1 to 65535, digits "
                       "only.\n";
    std::string jms = "JMS port: The value \"80x\" of -P is not a port: give a whole number from 1 to 65535, digits "
                      "only.\n";
    EXPECT_EQ(r.err, checkOnly ? http + jms : http);
  }

  // After a line of the settings that cannot be read, nothing is made up
  // from the settings that were not read.
  writeFile(installation.root + "/lib/install/install.defaults", "perlHome = /nowhere\nnot a setting\n");
  auto args = options();
  args.insert(args.begin(), "-n");
  ProcessResult r = runInstall(args, env);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "Installation settings: " + installation.root +
                       "/lib/install/install.defaults:2: expected a line \"name = value\"\n");
  EXPECT_FALSE(fileExists(installation.root + "/web1"));
}

}  // namespace
