// SPDX-License-Identifier: GPL-3.0-or-later
#include "provision/scripts.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unicode/uloc.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "messages/messages.h"
#include "tests/testsupport.h"

namespace {

using Arguments = std::vector<std::string>;

const char* const LIBRARY_PATH = "LD_LIBRARY_PATH=${SERVER_ROOT}/lib:${LD_LIBRARY_PATH}";
const char* const JRE_PATH =
    "JRE_RUNTIME_LIBPATH=${JAVA_HOME}/jre/lib/i386/server:${JAVA_HOME}/jre/lib/i386:"
    "${JAVA_HOME}/jre/lib/i386/native_threads";

InstanceRecord recordFor(const char* serverRoot, const char* serverId) {
  InstanceRecord record;
  std::memset(&record, 0, sizeof record);
  setInstanceDefaults(serverRoot, "www.example.com", &record);
  record.serverId = serverId;
  record.perlHome = "/usr/bin";
  record.javaHome = "/usr/java";
  record.installConfigRoot = "/opt/as/config";
  return record;
}

TEST(ScriptGeneratorArguments, FourScriptsAsTheShellWouldSplitThem) {
  InstanceRecord record = recordFor("/opt/as", "server1");
  const std::string gen = "/opt/as/lib/install/templates/makeScript";
  const std::string tpl = "/opt/as/lib/install/templates/";
  struct Case {
    ControlScript script;
    Arguments expected;
  } cases[] = {
      {ControlScript::Start,
       {"/usr/bin/perl", gen, "ROOT=/opt/as", "BIN=appservd-wdog", "SUBDIR=/opt/as/server1", "NAME=https",
        LIBRARY_PATH, "JAVA_HOME=/usr/java", JRE_PATH, "INSTALL_CONFIG_ROOT=/opt/as/config", tpl + "start",
        "/opt/as/server1/bin/startserv"}},
      {ControlScript::Stop,
       {"/usr/bin/perl", gen, "ROOT=/opt/as", "SUBDIR=/opt/as/server1", "INSTANCE=server1", "NAME=https",
        tpl + "stop", "/opt/as/server1/bin/stopserv"}},
      {ControlScript::Restart,
       {"/usr/bin/perl", gen, "SUBDIR=/opt/as/server1", tpl + "restart", "/opt/as/server1/bin/restartserv"}},
      {ControlScript::Rotate,
       {"/usr/bin/perl", gen, "ROOT=/opt/as", "SUBDIR=/opt/as/server1", LIBRARY_PATH,
        "INSTALL_CONFIG_ROOT=/opt/as/config", tpl + "rotate", "/opt/as/server1/bin/rotatelogs"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.expected, scriptGeneratorArguments(&record, "/opt/as/server1", c.script))
        << "script " << static_cast<int>(c.script);
  }
}

TEST(ScriptGeneratorArguments, ValuesWithShellCharactersStayWholeAndUnsetValuesAreEmpty) {
  InstanceRecord record = recordFor("/opt/my as", "s1;rm -rf /");
  record.javaHome = "/j $HOME 'q' \"d\"\nx";
  record.installConfigRoot = nullptr;
  record.perlHome = nullptr;
  EXPECT_EQ((Arguments{"/perl", "/opt/my as/lib/install/templates/makeScript", "ROOT=/opt/my as",
                       "BIN=appservd-wdog", "SUBDIR=/i d/s1;rm -rf /", "NAME=https", LIBRARY_PATH,
                       "JAVA_HOME=/j $HOME 'q' \"d\"\nx", JRE_PATH, "INSTALL_CONFIG_ROOT=",
                       "/opt/my as/lib/install/templates/start", "/i d/s1;rm -rf //bin/startserv"}),
            scriptGeneratorArguments(&record, "/i d/s1;rm -rf /", ControlScript::Start));
  EXPECT_EQ((Arguments{"/perl", "/opt/my as/lib/install/templates/makeScript", "ROOT=/opt/my as",
                       "SUBDIR=/i d/s1;rm -rf /", "INSTANCE=s1;rm -rf /", "NAME=https",
                       "/opt/my as/lib/install/templates/stop", "/i d/s1;rm -rf //bin/stopserv"}),
            scriptGeneratorArguments(&record, "/i d/s1;rm -rf /", ControlScript::Stop));
}

TEST(ShellQuotedCommandLine, QuotesOnlyWhatTheShellWouldChange) {
  struct Case {
    Arguments arguments;
    const char* expected;
  } cases[] = {
      {{"/usr/bin/perl", "SUBDIR=/opt/as/server1", "a-b_c+d,e:f@g%h.i"},
       "/usr/bin/perl SUBDIR=/opt/as/server1 a-b_c+d,e:f@g%h.i"},
      {{"a b"}, "'a b'"},
      {{""}, "''"},
      {{"", "x"}, "'' x"},
      {{"it's"}, "'it'\\''s'"},
      {{LIBRARY_PATH}, "'LD_LIBRARY_PATH=${SERVER_ROOT}/lib:${LD_LIBRARY_PATH}'"},
      {{"a;b", "c|d", "e&f", "`g`", "*", "~h", "x\ny"}, "'a;b' 'c|d' 'e&f' '`g`' '*' '~h' 'x\ny'"},
      {{}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, shellQuotedCommandLine(c.arguments));
}

TEST(ShellQuotedCommandLine, TheShellGetsTheArgumentsBack) {
  Arguments arguments = {"plain", "two words", "", "it's", "$HOME", "${X}", "a\\b", "\"q\"", "l1\nl2", "!x", "#c"};
  ProcessResult result =
      runProcess({"/bin/sh", "-c", "printf '[%s]' " + shellQuotedCommandLine(arguments)}, {"PATH=/usr/bin:/bin"});
  std::string expected;
  for (const std::string& argument : arguments) expected += "[" + argument + "]";
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_EQ(expected, result.out);
}

// A scratch copy of the sample installation with an instance directory whose
// path holds a blank, and the message bundle open in English.
class ScriptGeneratorRun : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLocale_ = uloc_getDefault();
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault("en_US", &status);
    root_ = copySampleInstallation(scratch_);
    bundle_ = std::make_unique<ScopedMessageBundle>(root_.c_str());
    instancesRoot_ = scratch_ / "instances dir";
    instanceDir_ = instancesRoot_ + "/server1";
    makeDirs(instanceDir_ + "/bin");
    makeDirs(instanceDir_ + "/logs");
    configRoot_ = root_ + "/config";
    record_ = recordFor(root_.c_str(), "server1");
    record_.instancesRoot = instancesRoot_.c_str();
    record_.installConfigRoot = configRoot_.c_str();
  }
  void TearDown() override {
    bundle_.reset();
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault(savedLocale_.c_str(), &status);
  }

  std::string templates() const { return root_ + "/lib/install/templates"; }
  std::string script(const char* name) const { return instanceDir_ + "/bin/" + name; }
  void replaceGenerator(const std::string& perlCode) { writeFile(templates() + "/makeScript", perlCode, 0755); }
  Message run() { return runScriptGenerator(&record_, instanceDir_.c_str()); }

  ScratchDir scratch_;
  std::string savedLocale_, root_, instancesRoot_, instanceDir_, configRoot_;
  std::unique_ptr<ScopedMessageBundle> bundle_;
  InstanceRecord record_;
};

TEST_F(ScriptGeneratorRun, TheSampleGeneratorWritesFourExecutableScripts) {
  Message failure = run();
  ASSERT_FALSE(failure) << failure.get();
  for (const char* name : {"startserv", "stopserv", "restartserv", "rotatelogs"}) {
    EXPECT_EQ(0755, fileMode(script(name))) << name;
    EXPECT_EQ(std::string::npos, readFile(script(name)).find("@@")) << name;
  }
  const std::string start = readFile(script("startserv"));
  EXPECT_NE(std::string::npos, start.find("\nSERVER_ROOT='" + root_ + "'\n"));
  EXPECT_NE(std::string::npos, start.find("\nINSTANCE_DIR='" + instanceDir_ + "'\n"));
  EXPECT_NE(std::string::npos, start.find("\nSERVER_BIN='appservd-wdog'\n"));
  EXPECT_NE(std::string::npos, start.find("\nLIBRARY_PATH=${SERVER_ROOT}/lib:${LD_LIBRARY_PATH}\n"));
  EXPECT_NE(std::string::npos, readFile(script("stopserv")).find("\nINSTANCE='server1'\n"));
  EXPECT_NE(std::string::npos, readFile(script("restartserv")).find("\nINSTANCE_DIR='" + instanceDir_ + "'\n"));
  EXPECT_NE(std::string::npos, readFile(script("rotatelogs")).find("\nINSTANCE_DIR='" + instanceDir_ + "'\n"));
}

TEST_F(ScriptGeneratorRun, StartservFailsClearlyWithoutTheServerProgram) {
  ASSERT_FALSE(run());
  // The sample installation carries a stand-in server program: take it away.
  ASSERT_EQ(0, unlink((root_ + "/bin/https/bin/appservd-wdog").c_str()));
  ProcessResult result = runProcess({script("startserv")}, {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(1, result.status);
  EXPECT_EQ("startserv: the server program " + root_ + "/bin/https/bin/appservd-wdog is missing or not executable.\n",
            result.err);
  ProcessResult stop = runProcess({script("stopserv")}, {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(2, stop.status);
  EXPECT_EQ("stopserv: the https server server1 (" + root_ + ") is not running.\n", stop.err);
}

// The generated startserv hands the settings, quotes and blanks intact, to
// the server program, with the library path expanded when it runs. A
// program that returns 0 while no server holds the instance's lock has
// started nothing.
TEST_F(ScriptGeneratorRun, StartservRunsTheServerWithTheSettings) {
  const std::string javaHome = scratch_ / "java 'home' $X";
  record_.javaHome = javaHome.c_str();
  ASSERT_FALSE(run());
  const std::string program = root_ + "/bin/https/bin/appservd-wdog";
  makeDirs(root_ + "/bin/https/bin");
  writeFile(program,
            "#!/bin/sh\nprintf 'LD=%s\\nJAVA=%s\\nCONF=%s\\nARGS=%s|%s|%s|%s|%s\\n' \"$LD_LIBRARY_PATH\" "
            "\"$JAVA_HOME\" \"$INSTALL_CONFIG_ROOT\" \"$1\" \"$2\" \"$3\" \"$4\" \"$5\"\n",
            0755);
  const std::string jre = javaHome + "/jre/lib/i386/server:" + javaHome + "/jre/lib/i386:" + javaHome +
                          "/jre/lib/i386/native_threads";
  const std::string rest = "JAVA=" + javaHome + "\nCONF=" + configRoot_ + "\nARGS=-r|" + root_ + "|-d|" +
                           instanceDir_ + "/config|extra\n";

  ProcessResult plain = runProcess({script("startserv"), "--", "extra"}, {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(1, plain.status);
  EXPECT_EQ("startserv: the server program " + program + " returned 0, but no server of the instance holds " +
                instanceDir_ + "/logs/server.lock.\n",
            plain.err);
  EXPECT_EQ("LD=" + root_ + "/lib:" + jre + "\n" + rest, plain.out);

  ProcessResult inherited =
      runProcess({script("startserv"), "--", "extra"}, {"PATH=/usr/bin:/bin", "LD_LIBRARY_PATH=/opt/extra"});
  EXPECT_EQ("LD=" + root_ + "/lib:/opt/extra:" + jre + "\n" + rest, inherited.out);
}

TEST_F(ScriptGeneratorRun, AGeneratorExitingNonZeroStopsAtTheFirstScript) {
  replaceGenerator("exit 3;\n");
  Message failure = run();
  ASSERT_TRUE(failure);
  EXPECT_STREQ(("Cannot create the start script in " + instanceDir_ + "/bin.").c_str(), failure.get());
  EXPECT_EQ(std::vector<std::string>{}, listTree(instanceDir_ + "/bin"));
}

TEST_F(ScriptGeneratorRun, EachScriptHasItsOwnFailureAndLaterScriptsAreNotMade) {
  // Writes an empty script, but fails for the output named in the environment.
  const std::string fake =
      "my $out = $ARGV[-1];\n"
      "exit 4 if $out =~ m{/\\Q$ENV{FAIL_FOR}\\E\\z};\n"
      "open(my $f, '>', $out) or exit 5; close($f); exit 0;\n";
  struct Case {
    const char* failing;
    std::string expected;
    std::vector<std::string> made;
  } cases[] = {
      {"stopserv", "Cannot create the stop script in " + instanceDir_ + "/bin.", {"startserv"}},
      {"restartserv", "Cannot create the restart script in " + instanceDir_ + "/bin.", {"startserv", "stopserv"}},
  };
  for (const Case& c : cases) {
    for (const std::string& entry : listTree(instanceDir_ + "/bin")) unlink(script(entry.c_str()).c_str());
    replaceGenerator(fake);
    setenv("FAIL_FOR", c.failing, 1);
    Message failure = run();
    unsetenv("FAIL_FOR");
    ASSERT_TRUE(failure) << c.failing;
    EXPECT_EQ(c.expected, failure.get());
    EXPECT_EQ(c.made, listTree(instanceDir_ + "/bin")) << c.failing;
  }
}

// A generator that reports success without leaving its script (perl taking
// a read error on its program for the program's end does that) has failed.
TEST_F(ScriptGeneratorRun, AGeneratorThatLeavesNoScriptFails) {
  replaceGenerator("my $out = $ARGV[-1]; exit 0 if $out =~ /stopserv\\z/;\n"
                   "open(my $f, '>', $out) or exit 5; close($f); exit 0;\n");
  Message failure = run();
  ASSERT_TRUE(failure);
  EXPECT_EQ("Cannot create the stop script in " + instanceDir_ + "/bin.", std::string(failure.get()));
  EXPECT_EQ(std::vector<std::string>{"startserv"}, listTree(instanceDir_ + "/bin"));
}

TEST_F(ScriptGeneratorRun, ARotatelogsFailureShowsTheCommandLineReadyForAShell) {
  replaceGenerator("my $out = $ARGV[-1]; exit 1 if $out =~ /rotatelogs\\z/;\n"
                   "open(my $f, '>', $out) or exit 5; close($f); exit 0;\n");
  Message failure = run();
  ASSERT_TRUE(failure);
  const std::string t = templates();
  EXPECT_EQ("Cannot create " + instanceDir_ + "/bin/rotatelogs: /usr/bin/perl " + t + "/makeScript ROOT=" + root_ +
                " 'SUBDIR=" + instanceDir_ + "' 'LD_LIBRARY_PATH=${SERVER_ROOT}/lib:${LD_LIBRARY_PATH}' " +
                "INSTALL_CONFIG_ROOT=" + configRoot_ + " " + t + "/rotate '" + instanceDir_ + "/bin/rotatelogs'",
            failure.get());
  EXPECT_EQ((std::vector<std::string>{"restartserv", "startserv", "stopserv"}), listTree(instanceDir_ + "/bin"));
}

TEST_F(ScriptGeneratorRun, AGeneratorKilledByASignalFails) {
  replaceGenerator("kill 'KILL', $$; sleep 5; exit 0;\n");
  Message failure = run();
  ASSERT_TRUE(failure);
  EXPECT_STREQ(("Cannot create the start script in " + instanceDir_ + "/bin.").c_str(), failure.get());
}

TEST_F(ScriptGeneratorRun, AMissingPerlFails) {
  const std::string nowhere = scratch_ / "no-perl-here";
  record_.perlHome = nowhere.c_str();
  Message failure = run();
  ASSERT_TRUE(failure);
  EXPECT_STREQ(("Cannot create the start script in " + instanceDir_ + "/bin.").c_str(), failure.get());
}

// A CGI parent may ignore SIGCHLD: the generator's status must still count.
TEST_F(ScriptGeneratorRun, StatusesAreCollectedWhenTheParentIgnoresSigchld) {
  struct sigaction ignore = {}, saved = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &saved);
  Message success = run();
  sigaction(SIGCHLD, &ignore, nullptr);
  replaceGenerator("exit 3;\n");
  Message failure = run();
  sigaction(SIGCHLD, &saved, nullptr);
  EXPECT_FALSE(success) << success.get();
  EXPECT_TRUE(failure);
}

// Run in a child whose standard output and error are files, so the test can
// see where the generator's output went.
TEST_F(ScriptGeneratorRun, TheGeneratorsOutputGoesToStandardError) {
  replaceGenerator("print \"chatter\\n\"; open(my $f, '>', $ARGV[-1]) or exit 5; close($f); exit 0;\n");
  const std::string out = scratch_ / "stdout", err = scratch_ / "stderr";
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) {
    if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(9);
    Message failure = run();
    _exit(failure ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ("", readFile(out));
  EXPECT_EQ("chatter\nchatter\nchatter\nchatter\n", readFile(err));
}

}  // namespace
