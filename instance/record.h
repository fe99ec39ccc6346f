// SPDX-License-Identifier: GPL-3.0-or-later
// The description of the instance to create. A plain record of borrowed
// texts: it owns none of its strings (environment values, literals, option
// copies and form values that live for the whole run).
#pragma once

#include <cstdint>

struct InstanceRecord {
  const char* defaultLocale;
  const char* webServicesLib;
  const char* perlHome;
  const char* serverRoot;
  const char* instancesRoot;
  const char* serverName;
  const char* serverId;
  const char* port;
  const char* serverUser;
  int32_t selectedPackages[8];
  int32_t createRequested;
  const char* javaHome;
  const char* installConfigRoot;
  const char* docLanguage;
  const char* dnsMode;
  const char* mtaHost;
  const char* securityMode;
  const char* docRoot;
  const char* directoryBase;
  const char* directoryUrl;
  const char* directoryBindDn;
  const char* directoryBindPassword;
  const char* jmsPort;
  const char* jmsAdminUser;
  const char* jmsAdminPassword;
  const char* qbusBin;
  const char* qbusLib;
  const char* orbListenerPort;
};

// Gives a cleared record its defaults: serverRoot = root without leading
// blanks, instancesRoot = serverRoot when unset, serverName = name, port
// "80", dnsMode "off", mtaHost "localhost", securityMode "off"; clears the
// identifier, user, Java, document, JMS and directory-service fields. Leaves
// defaultLocale, webServicesLib, perlHome, installConfigRoot, qbusBin,
// qbusLib and orbListenerPort alone.
void setInstanceDefaults(const char* root, const char* name, InstanceRecord* record);
