// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "instancectl/script_command.h"
#include "instancectl/script_rotation.h"

namespace {

using Words = std::vector<std::string>;

TEST(ScriptCommandLine, OptionsAreReadAsEachScriptTakesThem) {
  const std::string big(START_RECORD_LIMIT, 'x');
  struct Case {
    Script script;
    Words words;
    Reading reading;
    std::string problem;  // Wrong: the whole sentence; Go: the start's words, joined by '|'
  } cases[] = {
      {Script::Start, {}, Reading::Go, ""},
      {Script::Start, {"-a", "127.0.0.1", "--", "x", "--help"}, Reading::Go, "-a|127.0.0.1|--|x|--help"},
      {Script::Start, {"--address=*", "--"}, Reading::Go, "-a|*"},
      {Script::Restart, {"--kill", "--timeout=0", "-a", "-h"}, Reading::Go, "-a|-h"},
      {Script::Stop, {"--timeout", "5", "-h", "--bogus"}, Reading::Help, ""},
      {Script::Rotate, {"--bogus", "--help"}, Reading::Wrong, "unknown option --bogus."},
      {Script::Start, {"-a"}, Reading::Wrong, "-a needs a value."},
      {Script::Start, {"--address="}, Reading::Wrong, "--address needs an address."},
      {Script::Start, {"--timeout", "5"}, Reading::Wrong, "unknown option --timeout."},
      {Script::Restart, {"--keep=2"}, Reading::Wrong, "unknown option --keep."},
      {Script::Start, {"-a=1.2.3.4"}, Reading::Wrong, "unknown option -a=1.2.3.4."},
      {Script::Stop, {"--timeout", "010"}, Reading::Wrong, "--timeout takes a whole number, not \"010\"."},
      {Script::Stop, {"--timeout", "1234567"}, Reading::Wrong, "--timeout takes a whole number, not \"1234567\"."},
      {Script::Stop, {"--timeout=-1"}, Reading::Wrong, "--timeout takes a whole number, not \"-1\"."},
      {Script::Rotate, {"--keep", "0"}, Reading::Wrong, "--keep takes a number of at least 1, not 0."},
      {Script::Stop, {"--"}, Reading::Wrong, "-- is not an option of stopserv, which passes nothing on to the server program."},
      {Script::Start, {"127.0.0.1"}, Reading::Wrong,
       "unexpected argument 127.0.0.1: what is meant for the server program follows --."},
      {Script::Rotate, {"now"}, Reading::Wrong, "unexpected argument now."},
      {Script::Start, {"-a", "a\nb"}, Reading::Wrong,
       "an argument for the server holds a line end, which the record of the start's arguments cannot keep."},
      {Script::Restart, {"--", big}, Reading::Wrong,
       "the arguments for the server are longer than the record of the start's arguments keeps (65536 bytes)."},
  };
  for (const Case& c : cases) {
    const ScriptLine line = readScriptWords(c.script, c.words);
    const std::string shown = std::string(scriptName(c.script)) + " " + testing::PrintToString(c.words);
    EXPECT_EQ(c.reading, line.reading) << shown;
    if (c.reading == Reading::Wrong) EXPECT_EQ(c.problem, line.problem) << shown;
    if (c.reading != Reading::Go) continue;
    std::string joined;
    for (const std::string& word : startWords(line.options)) joined += (joined.empty() ? "" : "|") + word;
    EXPECT_EQ(c.problem, joined) << shown;
  }
  // The largest start the record keeps is taken whole.
  const size_t room = START_RECORD_LIMIT - startRecordText({"--", ""}).size();
  EXPECT_EQ(Reading::Go, readScriptWords(Script::Start, {"--", std::string(room, 'x')}).reading);
  EXPECT_EQ(Reading::Wrong, readScriptWords(Script::Start, {"--", std::string(room + 1, 'x')}).reading);
}

TEST(ScriptSettings, TheScriptsHandOverTheirSettingsAndWords) {
  ScriptSettings settings;
  std::string problem;
  ASSERT_TRUE(readScriptSettings({"--script", "stopserv", "--instance", "/i", "--product", "", "--", "--kill"},
                                 &settings, &problem))
      << problem;
  EXPECT_EQ(Script::Stop, settings.script);
  EXPECT_EQ("/i", settings.instanceDir);
  EXPECT_EQ(Words{"--kill"}, settings.words);
  for (const Words& wrong : {Words{"--script", "killserv", "--instance", "/i", "--"},
                             Words{"--script", "stopserv", "--instance", "/i"},
                             Words{"--script", "stopserv", "--"},
                             Words{"--script", "stopserv", "--instance", "/i", "--colour", "x", "--"},
                             Words{"--script", "stopserv", "--instance"}})
    EXPECT_FALSE(readScriptSettings(wrong, &settings, &problem)) << testing::PrintToString(wrong);
}

TEST(StartRecord, OnlyWhatAStartWritesIsReadBack) {
  const std::string header = std::string(START_RECORD_HEADER) + "\n", footer = std::string(START_RECORD_FOOTER) + "\n";
  for (const Words& words : {Words{}, Words{"-a", "*"}, Words{"--", "", "# End of the arguments.", "-a"},
                             Words{"-a", "1.2.3.4", "--", "x y"}}) {
    Words read;
    EXPECT_TRUE(parseStartRecord(startRecordText(words), &read)) << testing::PrintToString(words);
    EXPECT_EQ(words, read);
  }
  for (const std::string& text : {std::string(""), header, header + "-a\n" + footer, header + "-a\n\n" + footer,
                                  header + "x\n" + footer, header + "-a\n1\n-a\n2\n" + footer,
                                  header + "--" + footer, header + "\n" + footer, header + footer + "trailing\n"}) {
    Words read;
    EXPECT_FALSE(parseStartRecord(text, &read)) << testing::PrintToString(text);
  }
}

TEST(RotationNames, ANewRotationNeverSortsBeforeAnEarlierOne) {
  const std::string stamp = "20240101-120000";
  struct Case {
    Words names;
    int next;
  } cases[] = {
      {{}, 0},
      {{"access", "errors.20240101-120000", "access.20240101-115959"}, 0},
      {{"access.20240101-120000"}, 1},
      {{"access.20240101-120000.7"}, 8},
      {{"access.20240101-120000", "access.20240101-120000.3", "access.20240101-120000.12"}, 13},
      {{"access.20240101-120000.05", "access.20240101-120000.5x", "access.20240101-120000.123456789"}, 0},
      {{"access.20240101-120000.98"}, 99},
      {{"access.20240101-120000.99"}, NAMES_PER_SECOND},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.next, nextRotationNumber(c.names, "access", stamp)) << testing::PrintToString(c.names);

  EXPECT_EQ((Words{"access.20240102-000000", "access.20240101-120000.10", "access.20240101-120000.9",
                   "access.20240101-120000", "access.20231231-235959.1"}),
            rotationsNewestFirst({"access.20240101-120000.9", "access", "access.notes", "access.20231231-235959.1",
                                  "access.20240101-120000", "access.20240102-000000", "access.20240101-120000.10",
                                  "access.20240101-120000.09", "access.2024010-1200000", "errors.20250101-000000",
                                  "access.20240101-120000.1.2", "access.20240101-120000."},
                                 "access"));
}

}  // namespace
