// SPDX-License-Identifier: GPL-3.0-or-later
// What an instance runs with, as opposed to what it was created with: the
// settings the tools report (the server name, the HTTP port and the JMS
// port) as the instance's configuration file config/server.xml says them.
// The administrator edits that file; the record config/answers.conf, which
// the creation wrote once, serves only where the configuration cannot be
// read. instancectl's listing (and through it the Ansible module) and the
// port check of a new creation all take the settings from here.
//
// config/server.xml, as the installation's server.xml.template describes
// it: an XML declaration and comments, then the root element, opened on a
// line of its own and closed on the last; every other element is empty and
// alone on its line, with all of its settings as attributes written
// name="value" in double quotes; inside a value only the entities amp, lt,
// gt, quot and apos appear. The settings read:
//
//   <http ... port="8080" server-name="www.example.test" .../>   port, serverName
//   <jms port="7676" .../>                                      jmsPort
//
// The file is the server user's: it is read as the record is (relative to
// the held instances root, no link, no FIFO or device, one name, at most
// SMALL_FILE_LIMIT bytes), and never shown: it holds the JMS password.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "fsutil/reading.h"
#include "instance/on_disk.h"

constexpr const char* CONFIGURATION_NAME = "server.xml";
constexpr const char* CONFIGURATION_PATH = "config/server.xml";

// The settings taken from the configuration, by their names in the record.
constexpr const char* LIVE_SETTINGS[] = {"serverName", "port", "jmsPort"};

// The port a setting's text names: 1 to 65535 in at most five decimal
// digits (leading zeros allowed, as the server reads it); 0 for anything
// else, a template marker left for an unset setting included.
unsigned settingPort(const std::string& text);

// Reads the configuration text `text`. 0 when it is in the format above,
// with the settings its http and jms elements give (decoded) in `settings`,
// by record name; a setting the file lacks is left out. Else the number of
// the first line that is not in the format (from 1), and `settings` is
// left empty.
size_t parseConfiguration(const std::string& text, std::map<std::string, std::string>* settings);

// Where the values of LiveSettings come from.
enum class SettingsSource {
  Configuration,  // config/server.xml was read
  Record,         // it could not be: the record's values
  None,           // neither could be read
};

struct LiveSettings {
  SettingsSource source = SettingsSource::None;
  ReadOutcome configuration;  // reading config/server.xml
  size_t malformedLine = 0;   // it was read, but this line is not in the format
  // The value of each setting of LIVE_SETTINGS that is known, by record
  // name; a port the configuration does not give (or gives as a marker)
  // is not known.
  std::map<std::string, std::string> values;
  // The settings whose configured value differs from the recorded one,
  // in the order of LIVE_SETTINGS: only when both files were read. Ports
  // are compared as numbers; a setting given by one file only differs.
  std::vector<std::string> differing;
};

// The live settings of an instance from what its configuration gives
// (`configured`; null when it cannot be read) and its record (`recorded`;
// null when it cannot be read).
LiveSettings settleLiveSettings(const std::map<std::string, std::string>* configured,
                                const std::map<std::string, std::string>* recorded);

// The configuration of the instance whose files are at `tree` below the
// directory held as `instancesRoot`, read as readRecordAt reads the record.
// On success `settings` holds its settings when it is in the format, and
// `malformedLine` the line that is not (0 when it is).
ReadOutcome readConfigurationAt(int instancesRoot, const std::string& tree,
                                std::map<std::string, std::string>* settings, size_t* malformedLine);

// The live settings of `entry` (an entry of the instances root held as
// `instancesRoot`, its record already read by describeEntry). An entry
// without a tree has neither file.
LiveSettings readLiveSettings(int instancesRoot, const InstanceEntry& entry);
