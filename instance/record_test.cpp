// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char* const KEPT = "kept";
const char* const JUNK = "junk";

// Every text field set to JUNK and every integer to 7, except `instancesRoot`
// (unset) and the seven settings fields, which hold KEPT.
InstanceRecord filledRecord() {
  InstanceRecord record;
  std::memset(&record, 0, sizeof record);
  const char** texts[] = {&record.serverName,    &record.serverId,      &record.port,
                          &record.serverUser,    &record.javaHome,      &record.docLanguage,
                          &record.dnsMode,       &record.mtaHost,       &record.securityMode,
                          &record.docRoot,       &record.directoryBase, &record.directoryUrl,
                          &record.directoryBindDn, &record.directoryBindPassword, &record.jmsPort,
                          &record.jmsAdminUser,  &record.jmsAdminPassword};
  for (const char** field : texts) *field = JUNK;
  const char** settings[] = {&record.defaultLocale, &record.webServicesLib, &record.perlHome,
                             &record.installConfigRoot, &record.qbusBin, &record.qbusLib,
                             &record.orbListenerPort};
  for (const char** field : settings) *field = KEPT;
  for (int32_t& package : record.selectedPackages) package = 7;
  record.createRequested = 7;
  return record;
}

TEST(SetInstanceDefaultsTest, SetsClearsAndKeepsExactlyTheRightFields) {
  InstanceRecord record = filledRecord();
  setInstanceDefaults("/opt/server", "host.example", &record);

  EXPECT_STREQ(record.serverRoot, "/opt/server");
  EXPECT_STREQ(record.instancesRoot, "/opt/server");
  EXPECT_STREQ(record.serverName, "host.example");
  EXPECT_STREQ(record.port, "80");
  EXPECT_STREQ(record.dnsMode, "off");
  EXPECT_STREQ(record.mtaHost, "localhost");
  EXPECT_STREQ(record.securityMode, "off");
  const char* cleared[] = {record.serverId,      record.serverUser,      record.javaHome,
                           record.docLanguage,   record.docRoot,         record.directoryBase,
                           record.directoryUrl,  record.directoryBindDn, record.directoryBindPassword,
                           record.jmsPort,       record.jmsAdminUser,    record.jmsAdminPassword};
  for (const char* field : cleared) EXPECT_EQ(field, nullptr);
  for (int32_t package : record.selectedPackages) EXPECT_EQ(package, 0);
  EXPECT_EQ(record.createRequested, 0);
  const char* kept[] = {record.defaultLocale, record.webServicesLib, record.perlHome, record.installConfigRoot,
                        record.qbusBin,       record.qbusLib,        record.orbListenerPort};
  for (const char* field : kept) EXPECT_EQ(field, KEPT);
}

TEST(SetInstanceDefaultsTest, RootLeadingSpacesAndPresetInstancesRoot) {
  struct Case {
    const char* root;
    const char* presetInstancesRoot;
    const char* serverRoot;
    const char* instancesRoot;
  } cases[] = {
      {"  /opt/server", nullptr, "/opt/server", "/opt/server"},
      {"\t/opt/server", nullptr, "\t/opt/server", "\t/opt/server"},  // only spaces are skipped
      {" \t /x", nullptr, "\t /x", "\t /x"},
      {"", nullptr, "", ""},
      {"   ", nullptr, "", ""},
      {" /opt/server", "/srv/instances", "/opt/server", "/srv/instances"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("root \"") + c.root + "\"");
    InstanceRecord record = {};
    record.instancesRoot = c.presetInstancesRoot;
    setInstanceDefaults(c.root, "default", &record);
    EXPECT_STREQ(record.serverRoot, c.serverRoot);
    EXPECT_STREQ(record.instancesRoot, c.instancesRoot);
  }
}

}  // namespace
