// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/listing.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "messages/escape.h"

namespace {

uid_t daemonUid() {
  const passwd* entry = getpwnam("daemon");
  return entry ? entry->pw_uid : 1;
}

// `info` as listed when its configuration cannot be read: its record serves.
InstanceInfo recordServing(InstanceInfo info) {
  info.live = settleLiveSettings(nullptr, &info.entry.answers);
  return info;
}

InstanceInfo running() {
  InstanceInfo info;
  info.entry.id = "web1";
  info.entry.answers = {{"serverId", "web1"}, {"serverName", "café.example.test"}, {"port", "8080"},
                  {"jmsPort", "7676"},  {"serverUser", "daemon"},             {"docRoot", "/srv/a\tb"},
                  {"javaHome", "/usr/lib/jvm/java"}, {"jmsAdminUser", "admin"}};
  info.entry.owner = daemonUid();
  info.state = InstanceState::Running;
  info.pid = 4242;
  return recordServing(info);
}

InstanceInfo unknown() {
  InstanceInfo info;
  info.entry.id = "old";
  info.entry.owner = 0;
  info.state = InstanceState::Unknown;
  return info;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> all;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) all.push_back(line);
  return all;
}

TEST(Table, ColumnsAlignByCharactersAndControlCharactersAreEscaped) {
  std::vector<std::string> table = lines(formatTable({running(), unknown()}));
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0], "ID    SERVER NAME        PORT  JMS PORT  USER    STATE           DOCUMENT ROOT");
  EXPECT_EQ(table[1], "web1  café.example.test  8080  7676      daemon  running (4242)  /srv/a\\tb");
  EXPECT_EQ(table[2], "old   -                  -     -         root    unknown         -");
}

// What the server user can write in its record reaches the table as
// printable text only, in its column.
TEST(Table, EveryByteOfARecordIsShownPrintable) {
  const struct {
    std::string value;
    std::string shown;
  } cases[] = {
      {std::string("a\0b", 3), "a\\x00b"},
      {"title\x1b]0;owned\x07", "title\\x1b]0;owned\\x07"},
      {"csi\x1b[2J", "csi\\x1b[2J"},
      {"raw c1 \x9b" "31m", "raw c1 \\x9b31m"},
      {"utf-8 c1 \xc2\x9b" "31m", "utf-8 c1 \\u009b31m"},
      {"del\x7f", "del\\x7f"},
      {"line\nbreak\r", "line\\nbreak\\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    InstanceInfo info = running();
    info.entry.answers["serverName"] = c.value;
    info.entry.answers["docRoot"] = c.value;
    std::vector<std::string> table = lines(formatTable({recordServing(info), unknown()}));
    ASSERT_EQ(table.size(), 3u);
    for (const std::string& line : table) EXPECT_EQ(escapeForTerminal(line), line) << "nothing left to escape";
    EXPECT_EQ(table[1].substr(table[0].find("DOCUMENT ROOT")), c.shown);
    EXPECT_EQ(table[1].compare(table[0].find("SERVER NAME"), c.shown.size() + 2, c.shown + "  "), 0) << table[1];
    EXPECT_EQ(table[1].find("8080"), table[0].find("PORT")) << "the columns stay aligned";
  }
}

TEST(Table, TheUserIsTheOwnerNotTheRecord) {
  InstanceInfo info = running();
  info.entry.answers["serverUser"] = "root";
  EXPECT_NE(lines(formatTable({info}))[1].find("  daemon  "), std::string::npos);
  EXPECT_EQ(instanceUser(info), "daemon");
  info.entry.owner = 4000000000u;  // no such user
  EXPECT_EQ(instanceUser(info), "4000000000");
}

TEST(Json, ExactlyTheDocumentedKeysWithNumbersAndNulls) {
  InstanceInfo odd = running();
  odd.entry.answers["port"] = "80a";
  odd.entry.answers.erase("jmsPort");
  odd.pid = 0;
  odd.state = InstanceState::Stopped;
  nlohmann::json parsed = nlohmann::json::parse(formatJson({running(), recordServing(odd), unknown()}));
  ASSERT_TRUE(parsed.is_array());
  ASSERT_EQ(parsed.size(), 3u);
  EXPECT_EQ(parsed[0], nlohmann::json::parse(R"({"id": "web1", "server_name": "café.example.test", "port": 8080,
      "jms_port": 7676, "user": "daemon", "docroot": "/srv/a\tb", "state": "running", "pid": 4242,
      "java_home": "/usr/lib/jvm/java", "jms_admin": "admin", "config_differs": null})"));
  EXPECT_TRUE(parsed[1]["port"].is_null());
  EXPECT_TRUE(parsed[1]["jms_port"].is_null());
  EXPECT_TRUE(parsed[1]["pid"].is_null());
  EXPECT_EQ(parsed[2], nlohmann::json::parse(R"({"id": "old", "server_name": null, "port": null, "jms_port": null,
      "user": "root", "docroot": null, "state": "unknown", "pid": null, "java_home": null, "jms_admin": null,
      "config_differs": null})"));
}

// JSON keeps the values whole for a program, and only printable ASCII
// reaches a terminal it is shown on.
TEST(Json, ValuesAreWholeAndTheTextIsPrintableAscii) {
  InstanceInfo info = running();
  info.entry.answers["serverName"] = std::string("a\0b\x1b]0;t\x07\xc2\x9b\x7f", 11);
  info.entry.answers["serverUser"] = "root";
  const std::string text = formatJson({recordServing(info)});
  for (unsigned char byte : text) EXPECT_TRUE((byte >= 0x20 && byte < 0x7f) || byte == '\n') << int(byte);
  nlohmann::json parsed = nlohmann::json::parse(text);
  EXPECT_EQ(parsed[0]["server_name"], info.entry.answers["serverName"]);
  EXPECT_EQ(parsed[0]["user"], "daemon");
}

TEST(Json, BytesThatAreNotUtf8DoNotFailTheListing) {
  InstanceInfo info = running();
  info.entry.answers["serverName"] = "bad\xff";
  nlohmann::json parsed = nlohmann::json::parse(formatJson({recordServing(info)}));
  EXPECT_EQ(parsed[0]["server_name"], "bad\xef\xbf\xbd");
}

// What config/server.xml says is listed; each setting it changed since the
// record was written is marked in the table, explained after it, and named
// in the JSON.
TEST(Listing, TheConfigurationServesAndWhatTheRecordNoLongerSaysIsMarked) {
  const std::map<std::string, std::string> agreeing = {{"serverName", "café.example.test"}, {"port", "8080"},
                                                       {"jmsPort", "7676"}};
  const std::map<std::string, std::string> moved = {{"serverName", "new.example.test"}, {"port", "8081"},
                                                    {"jmsPort", "7676"}};
  InstanceInfo same = running(), changed = running();
  same.live = settleLiveSettings(&agreeing, &same.entry.answers);
  changed.entry.id = "web2";
  changed.live = settleLiveSettings(&moved, &changed.entry.answers);
  const std::string legend = "* differs from the record config/answers.conf: config/server.xml was changed after "
                             "the creation; see instancectl(8).";
  const struct {
    std::vector<InstanceInfo> instances;
    bool withHeader;
    std::vector<std::string> table;
  } cases[] = {
      {{same, running()}, true,
       {"ID    SERVER NAME        PORT  JMS PORT  USER    STATE           DOCUMENT ROOT",
        "web1  café.example.test  8080  7676      daemon  running (4242)  /srv/a\\tb",
        "web1  café.example.test  8080  7676      daemon  running (4242)  /srv/a\\tb"}},
      {{same, changed}, true,
       {"ID    SERVER NAME        PORT   JMS PORT  USER    STATE           DOCUMENT ROOT",
        "web1  café.example.test  8080   7676      daemon  running (4242)  /srv/a\\tb",
        "web2  new.example.test*  8081*  7676      daemon  running (4242)  /srv/a\\tb", legend}},
      {{changed}, false, {"web2  new.example.test*  8081*  7676  daemon  running (4242)  /srv/a\\tb"}},
  };
  for (const auto& c : cases) EXPECT_EQ(lines(formatTable(c.instances, c.withHeader)), c.table);

  nlohmann::json parsed = nlohmann::json::parse(formatJson({same, changed, running(), unknown()}));
  EXPECT_EQ(parsed[0]["config_differs"], nlohmann::json::array());
  EXPECT_EQ(parsed[1]["config_differs"], nlohmann::json::parse(R"(["server_name", "port"])"));
  EXPECT_EQ(parsed[1]["server_name"], "new.example.test");
  EXPECT_EQ(parsed[1]["port"], 8081);
  EXPECT_TRUE(parsed[2]["config_differs"].is_null()) << "not compared: the record served";
  EXPECT_TRUE(parsed[3]["config_differs"].is_null());
}

}  // namespace
