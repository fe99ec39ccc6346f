// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/live_config.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>

#include "fsutil/descriptor.h"
#include "tests/testsupport.h"

namespace {

using Settings = std::map<std::string, std::string>;

// A configuration as the creation writes it, with the lines `http` and
// `jms` in place of the two elements the settings come from.
std::string configuration(const std::string& http, const std::string& jms) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!--\n"
         "  <http port=\"1\"/> in the comment is no setting\n"
         "-->\n"
         "<instance id=\"web1\" server-root=\"/srv/s\" instances-root=\"/srv/s\">\n" +
         http + "\n  <log file=\"/srv/s/web1/logs/errors\"/>\n" + jms +
         "\n  <client-listener port=\"3700\"/>\n"
         "</instance>\n";
}

const std::string HTTP = R"(  <http address="*" port="8080" server-name="www.example.test" document-root="/srv/d"/>)";
const std::string JMS = R"(  <jms port="7676" admin-user="admin" admin-password="p&amp;w" bin="/b" lib="/l"/>)";

TEST(Configuration, ReadsTheSettingsOfItsLinesOrNamesTheFirstLineOutOfTheFormat) {
  const struct {
    const char* what;
    std::string text;
    size_t malformedLine;
    Settings settings;
  } cases[] = {
      {"as created", configuration(HTTP, JMS), 0,
       {{"serverName", "www.example.test"}, {"port", "8080"}, {"jmsPort", "7676"}}},
      {"every entity, blanks and tabs between attributes",
       configuration("\t<http  port=\"8081\"\tserver-name=\"a&amp;b&lt;c&gt;d&quot;e&apos;f\" />", JMS), 0,
       {{"serverName", "a&b<c>d\"e'f"}, {"port", "8081"}, {"jmsPort", "7676"}}},
      {"an unset JMS port keeps its marker", configuration(HTTP, R"(  <jms port="%%%JMS_SERVICE_PORT%%%"/>)"), 0,
       {{"serverName", "www.example.test"}, {"port", "8080"}, {"jmsPort", "%%%JMS_SERVICE_PORT%%%"}}},
      {"no jms element, no server name", configuration(R"(  <http port="8080"/>)", "  <!-- no JMS -->"), 0,
       {{"port", "8080"}}},
      {"the first http element counts", configuration(HTTP, R"(  <http port="9090" server-name="other"/>)"), 0,
       {{"serverName", "www.example.test"}, {"port", "8080"}}},
      {"a line end of CR LF", "<instance>\r\n  <http port=\"80\"/>\r\n</instance>\r\n", 0, {{"port", "80"}}},
      {"without a line end at the end", "<instance>\n<http port=\"80\"/>\n</instance>", 0, {{"port", "80"}}},
      {"an unknown entity", configuration(R"(  <http port="8080" server-name="a&nbsp;b"/>)", JMS), 6, {}},
      {"a character reference", configuration(R"(  <http port="&#56;080"/>)", JMS), 6, {}},
      {"a bare ampersand", configuration(R"(  <http port="8080" server-name="R&D"/>)", JMS), 6, {}},
      {"a < in a value", configuration(R"(  <http server-name="a<b" port="8080"/>)", JMS), 6, {}},
      {"an attribute twice", configuration(R"(  <http port="8080" port="9090"/>)", JMS), 6, {}},
      {"single quotes", configuration("  <http port='8080'/>", JMS), 6, {}},
      {"no blank between attributes", configuration(R"(  <http port="8080"server-name="x"/>)", JMS), 6, {}},
      {"an element on two lines", configuration("  <http port=\"8080\"\n     server-name=\"x\"/>", JMS), 6, {}},
      {"text after an element", configuration(HTTP + " x", JMS), 6, {}},
      {"an element that is not empty", configuration("  <http port=\"8080\">", JMS), 6, {}},
      {"text after a comment", configuration("  <!-- c --> <http port=\"9\"/>", JMS), 6, {}},
      {"a second root", configuration(HTTP, "<instance>"), 8, {}},
      {"an element after the root", configuration(HTTP, JMS) + "<http port=\"9\"/>\n", 11, {}},
      {"the root never closed", "<instance>\n  <http port=\"80\"/>\n", 3, {}},
      {"a comment never closed", "<instance>\n<!-- \n</instance>\n", 4, {}},
      {"another root element", "<server>\n  <http port=\"80\"/>\n</server>\n", 1, {}},
      {"empty", "", 1, {}},
      {"binary", std::string("\x7f" "ELF\0\1\2", 7), 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Settings settings = {{"left", "over"}};
    EXPECT_EQ(parseConfiguration(c.text, &settings), c.malformedLine);
    if (c.malformedLine == 0) {
      EXPECT_EQ(settings, c.settings);
    }
  }
}

TEST(LiveSettings, TheConfigurationServesWhereItCanBeReadAndEveryDifferenceIsNamed) {
  const Settings recorded = {{"serverName", "www.example.test"}, {"port", "8080"}, {"jmsPort", "7676"},
                             {"docRoot", "/srv/d"}};
  const Settings unsetJms = {{"serverName", "www.example.test"}, {"port", "8080"}};
  const Settings changed = {{"serverName", "new.example.test"}, {"port", "8081"}, {"jmsPort", "7676"}};
  const Settings leadingZero = {{"serverName", "www.example.test"}, {"port", "08080"}, {"jmsPort", "7676"}};
  const Settings marker = {{"serverName", "www.example.test"}, {"port", "8080"}, {"jmsPort", "%%%JMS_SERVICE_PORT%%%"}};
  const Settings noPort = {{"serverName", "www.example.test"}, {"port", "80x"}, {"jmsPort", "7676"}};
  const Settings live = {{"serverName", "www.example.test"}, {"port", "8080"}, {"jmsPort", "7676"}};
  const struct {
    const char* what;
    const Settings* configured;
    const Settings* recorded;
    SettingsSource source;
    Settings values;
    std::vector<std::string> differing;
  } cases[] = {
      {"both agree", &recorded, &recorded, SettingsSource::Configuration, live, {}},
      {"a port and the name changed", &changed, &recorded, SettingsSource::Configuration, changed,
       {"serverName", "port"}},
      {"a port written with a leading zero is the same port", &leadingZero, &recorded,
       SettingsSource::Configuration, leadingZero, {}},
      {"a marker is no port", &marker, &unsetJms, SettingsSource::Configuration, unsetJms, {}},
      {"a port the record holds and the configuration lost", &unsetJms, &recorded, SettingsSource::Configuration,
       unsetJms, {"jmsPort"}},
      {"a port that is none differs", &noPort, &recorded, SettingsSource::Configuration,
       {{"serverName", "www.example.test"}, {"jmsPort", "7676"}}, {"port"}},
      {"no configuration: the record", nullptr, &recorded, SettingsSource::Record, live, {}},
      {"no record: nothing compared", &changed, nullptr, SettingsSource::Configuration, changed, {}},
      {"neither", nullptr, nullptr, SettingsSource::None, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LiveSettings settled = settleLiveSettings(c.configured, c.recorded);
    EXPECT_EQ(settled.source, c.source);
    EXPECT_EQ(settled.values, c.values);
    EXPECT_EQ(settled.differing, c.differing);
  }
}

TEST(LiveSettings, PortsAreNumbersFromOneTo65535) {
  const struct {
    const char* text;
    unsigned port;
  } cases[] = {{"80", 80},     {"08080", 8080}, {"65535", 65535}, {"65536", 0}, {"0", 0},  {"", 0},
               {"123456", 0}, {" 80", 0},      {"+80", 0},       {"8o", 0},    {"%%%JMS_SERVICE_PORT%%%", 0}};
  for (const auto& c : cases) EXPECT_EQ(settingPort(c.text), c.port) << c.text;
}

// The configuration is the server user's: a link, a FIFO, a file of
// another name or a huge one is not read (the record serves), without
// waiting; the tree is reached without following a link.
TEST(LiveSettings, AConfigurationThatCannotBeReadSafelyLeavesTheRecordServing) {
  ScratchDir scratch;
  const std::string config = scratch / "web1/config";
  makeDirs(config);
  writeFile(config + "/answers.conf", "serverId = web1\nport = 8080\nserverName = recorded\n");
  const std::string good = configuration(R"(  <http port="9090" server-name="configured"/>)", JMS);
  writeFile(scratch / "elsewhere.xml", good);
  const struct {
    const char* what;
    std::function<void(const std::string& file)> plant;
    ReadRefusal refusal;
    SettingsSource source;
  } cases[] = {
      {"readable", [&](const std::string& f) { writeFile(f, good); }, ReadRefusal::None, SettingsSource::Configuration},
      {"missing", [](const std::string&) {}, ReadRefusal::System, SettingsSource::Record},
      {"a link", [&](const std::string& f) { ASSERT_EQ(symlink((scratch / "elsewhere.xml").c_str(), f.c_str()), 0); },
       ReadRefusal::Link, SettingsSource::Record},
      {"a FIFO", [](const std::string& f) { ASSERT_EQ(mkfifo(f.c_str(), 0644), 0); }, ReadRefusal::Irregular,
       SettingsSource::Record},
      {"a second name", [&](const std::string& f) { ASSERT_EQ(link((scratch / "elsewhere.xml").c_str(), f.c_str()), 0); },
       ReadRefusal::SecondName, SettingsSource::Record},
      {"larger than a small file", [](const std::string& f) {
         writeFile(f, "");
         ASSERT_EQ(truncate(f.c_str(), 1LL << 30), 0);
       }, ReadRefusal::TooLarge, SettingsSource::Record},
      {"out of the format", [](const std::string& f) { writeFile(f, "port = 9090\n"); }, ReadRefusal::None,
       SettingsSource::Record},
  };
  Descriptor root(open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(root.valid());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unlink((config + "/server.xml").c_str());
    c.plant(config + "/server.xml");
    InstanceEntry entry;
    ASSERT_TRUE(describeEntry(root.get(), "web1", &entry));
    LiveSettings live = readLiveSettings(root.get(), entry);
    EXPECT_EQ(live.configuration.refusal, c.refusal);
    EXPECT_EQ(live.source, c.source);
    EXPECT_EQ(live.values["port"], c.source == SettingsSource::Configuration ? "9090" : "8080");
  }
  // The instance directory itself a link: nothing is read through it.
  ASSERT_EQ(rename((scratch / "web1").c_str(), (scratch / "real").c_str()), 0);
  ASSERT_EQ(symlink("real", (scratch / "web1").c_str()), 0);
  InstanceEntry entry;
  entry.tree = "web1";
  entry.record = {ReadRefusal::Link, 0};
  LiveSettings live = readLiveSettings(root.get(), entry);
  EXPECT_FALSE(live.configuration);
  EXPECT_EQ(live.source, SettingsSource::None);
}

}  // namespace
