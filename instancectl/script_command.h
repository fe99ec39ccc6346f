// SPDX-License-Identifier: GPL-3.0-or-later
// What an instance's control scripts (bin/startserv, stopserv, restartserv,
// rotatelogs) hand to the installation's program asowner, and the command
// lines they take, read from their words alone: before anything is opened
// or any user switched, so that --help answers at once and a wrong command
// line runs nothing. Also the record of a start's arguments
// (logs/startserv.args), which restartserv starts the server again with.
//
//   asowner --script NAME --instance DIR [--SETTING VALUE]... -- [WORD...]
//
// The settings are those the script generator wrote into the script
// (--server-root, --product, --server-bin, --java-home,
// --install-config-root, --library-path, --instance-name); the words are
// the script's own command line.
#pragma once

#include <string>
#include <vector>

enum class Script { Start, Stop, Restart, Rotate };

// The status of a wrong command line, for every script.
constexpr int USAGE_STATUS = 64;
// How long stopserv waits for the server after SIGTERM unless told otherwise.
constexpr int DEFAULT_STOP_SECONDS = 30;
// The most the record of a start's arguments may hold, in bytes.
constexpr size_t START_RECORD_LIMIT = 65536;
constexpr const char* START_RECORD_NAME = "startserv.args";
constexpr const char* START_RECORD_HEADER = "# The arguments of the last start of bin/startserv, one a line:";
constexpr const char* START_RECORD_FOOTER = "# End of the arguments.";

// The script's name as the instance's bin holds it ("startserv", ...).
const char* scriptName(Script script);

// What the script generator set for the script, and its own words.
struct ScriptSettings {
  Script script = Script::Start;
  std::string instanceDir;         // --instance
  std::string serverRoot;          // --server-root
  std::string product;             // --product
  std::string serverBin;           // --server-bin
  std::string javaHome;            // --java-home
  std::string installConfigRoot;   // --install-config-root
  std::string libraryPath;         // --library-path, as the script expanded it
  std::string instanceName;        // --instance-name
  std::vector<std::string> words;  // after --: the script's command line
};

// Reads the arguments that follow the program's name ("--script", NAME,
// ...) into `settings`; false, with the reason in `problem`, for anything
// else (an unknown script or setting, a setting without its value, no
// --instance or no --).
bool readScriptSettings(const std::vector<std::string>& arguments, ScriptSettings* settings, std::string* problem);

// The options of the script's command line.
struct ScriptOptions {
  std::string address;                   // -a, --address (startserv, restartserv)
  bool startGiven = false;               // -a, --address or -- given
  std::vector<std::string> serverWords;  // what follows --
  int timeout = DEFAULT_STOP_SECONDS;    // --timeout (stopserv, restartserv)
  bool kill = false;                     // --kill
  int keep = 0;                          // --keep (rotatelogs); 0 when not given
};

enum class Reading { Go, Help, Wrong };

struct ScriptLine {
  Reading reading = Reading::Go;
  ScriptOptions options;
  std::string problem;  // Wrong: what is wrong, a sentence
};

// Reads the words of `script`'s command line: its options, in any order,
// with -h or --help answered at once (Help), and what follows -- taken for
// the server program. The first wrong word makes it Wrong.
ScriptLine readScriptWords(Script script, const std::vector<std::string>& words);

// The script's usage, as --help prints it; a wrong command line gets its
// first two lines.
std::string scriptUsage(Script script, const std::string& instanceDir);

// The words a start takes from `options`: [-a ADDRESS] [-- WORD...] (no --
// when no word follows it).
std::vector<std::string> startWords(const ScriptOptions& options);

// The record of a start with `words`: the header, one word a line, the footer.
std::string startRecordText(const std::vector<std::string>& words);

// The words of a record's `text`, when it is what startRecordText writes
// for a start's words ([-a ADDRESS] [-- WORD...]); false for anything else.
bool parseStartRecord(const std::string& text, std::vector<std::string>* words);
