// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/record.h"

void setInstanceDefaults(const char* root, const char* name, InstanceRecord* record) {
  // Only spaces are skipped: a leading tab is part of the root.
  while (root != nullptr && *root == ' ') ++root;
  record->serverRoot = root;
  if (record->instancesRoot == nullptr) record->instancesRoot = record->serverRoot;

  record->serverName = name;
  record->port = "80";
  record->serverId = nullptr;
  record->serverUser = nullptr;

  for (int32_t& package : record->selectedPackages) package = 0;
  record->createRequested = 0;

  record->javaHome = nullptr;
  record->docLanguage = nullptr;
  record->docRoot = nullptr;
  record->directoryBase = nullptr;
  record->directoryUrl = nullptr;
  record->directoryBindDn = nullptr;
  record->directoryBindPassword = nullptr;
  record->jmsPort = nullptr;
  record->jmsAdminUser = nullptr;
  record->jmsAdminPassword = nullptr;

  record->dnsMode = "off";
  record->mtaHost = "localhost";
  record->securityMode = "off";
}
