#include "instancectl/listing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <sstream>

namespace {

InstanceInfo running() {
  InstanceInfo info;
  info.name = "web1";
  info.recordRead = true;
  info.answers = {{"serverId", "web1"}, {"serverName", "café.example.test"}, {"port", "8080"},
                  {"jmsPort", "7676"},  {"serverUser", "daemon"},             {"docRoot", "/srv/a\tb"}};
  info.state = InstanceState::Running;
  info.pid = 4242;
  return info;
}

InstanceInfo unknown() {
  InstanceInfo info;
  info.name = "old";
  info.owner = 0;
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

TEST(Json, ExactlyTheDocumentedKeysWithNumbersAndNulls) {
  InstanceInfo odd = running();
  odd.answers["port"] = "80a";
  odd.answers.erase("jmsPort");
  odd.pid = 0;
  odd.state = InstanceState::Stopped;
  nlohmann::json parsed = nlohmann::json::parse(formatJson({running(), odd, unknown()}));
  ASSERT_TRUE(parsed.is_array());
  ASSERT_EQ(parsed.size(), 3u);
  EXPECT_EQ(parsed[0], nlohmann::json::parse(R"({"id": "web1", "server_name": "café.example.test", "port": 8080,
      "jms_port": 7676, "user": "daemon", "docroot": "/srv/a\tb", "state": "running", "pid": 4242})"));
  EXPECT_TRUE(parsed[1]["port"].is_null());
  EXPECT_TRUE(parsed[1]["jms_port"].is_null());
  EXPECT_TRUE(parsed[1]["pid"].is_null());
  EXPECT_EQ(parsed[2], nlohmann::json::parse(R"({"id": "old", "server_name": null, "port": null, "jms_port": null,
      "user": "root", "docroot": null, "state": "unknown", "pid": null})"));
}

TEST(Json, BytesThatAreNotUtf8DoNotFailTheListing) {
  InstanceInfo info = running();
  info.answers["serverName"] = "bad\xff";
  nlohmann::json parsed = nlohmann::json::parse(formatJson({info}));
  EXPECT_EQ(parsed[0]["server_name"], "bad\xef\xbf\xbd");
}

}  // namespace
