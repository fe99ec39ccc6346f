// The instances below an instances root, as the directory tells them:
// what each one recorded when it was made, who owns it, and whether its
// server runs. Everything is read relative to the instances root's
// descriptor without following a link, blocking or reading more than a
// small file's worth, so a server user's odd files show as an odd
// instance, never as a hang.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

enum class InstanceState { Running, Stopped, Broken, Unknown };

struct InstanceInfo {
  std::string name;  // the directory's name below the instances root
  bool broken = false;  // "broken.<id>...": what a failed creation left
  bool recordRead = false;  // config/answers.conf could be read safely
  std::map<std::string, std::string> answers;  // empty unless recordRead
  uid_t owner = 0;  // owner of config (of the directory itself when config is missing)
  InstanceState state = InstanceState::Unknown;
  pid_t pid = 0;  // the live server process, or 0
};

// The prefix of the directories failed creations set aside.
constexpr const char* BROKEN_PREFIX = "broken.";

// Fills `info` and returns true when `name` in the instances root held open
// as `instancesRoot` (whose path is `instancesRootPath`) is an instance or the remains of a failed creation: a
// directory (not a link) named "broken.*", or one holding a record
// config/answers.conf, or, for instances made before records were kept, a
// config directory and bin/startserv. Hidden names are never instances.
bool describeInstance(int instancesRoot, const std::string& instancesRootPath, const std::string& name,
                      InstanceInfo* info);

// Every instance of the instances root held open as `instancesRoot` into
// `out`, sorted by name; entries that are not instances are passed over.
// 0, or -1 with errno when the directory cannot be listed.
int listInstances(int instancesRoot, const std::string& instancesRootPath, std::vector<InstanceInfo>* out);

// The process named by the pid file "logs/pid" of the instance directory
// `instanceDir`, held open as `instance`, when it is the instance's server:
// alive (not a zombie), its real user `owner`, and an argument of its
// command line a path in the instance (as the control scripts tell a
// server from a process that got the number of a dead one); else 0.
pid_t runningServerPid(int instance, const std::string& instanceDir, uid_t owner);

// The decimal process number of a pid file's text (one line, blanks around
// it allowed), or 0 when the text is anything else.
pid_t parsePidText(const std::string& text);

// True when the text of /proc/<pid>/status describes a process that is not
// a zombie and whose real user is `owner`.
bool statusShowsLiveProcessOf(const std::string& status, uid_t owner);

// True when an argument of the command line `cmdline` (arguments ended by
// NUL bytes, as /proc/<pid>/cmdline holds them) begins with
// "<instanceDir>/", as given or normalised.
bool commandLineNamesPathIn(const std::string& cmdline, const std::string& instanceDir);

// "running", "stopped", "broken" or "unknown".
const char* stateName(InstanceState state);
