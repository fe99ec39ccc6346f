// SPDX-License-Identifier: GPL-3.0-or-later
// Scratch directories, files and child processes for the tests.
#pragma once

#include <sys/types.h>

#include <functional>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

// A fresh directory "/tmp/install-test.XXXXXX" (mode 0755), removed with
// everything below it when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const;

 private:
  std::string path_;
};

// `text` with every `from` replaced by `to`, left to right.
std::string replaceAll(std::string text, const std::string& from, const std::string& to);

// Whole content of a file; "" when it cannot be read (see fileExists).
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);  // lstat succeeds
// Creates or replaces a file with exactly `content`, then sets `mode`.
void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);
void makeDirs(const std::string& path, mode_t mode = 0755);
// Removes `path` and everything below it; only below /tmp/install-test.*
// (a scratch directory), anything else is left alone.
void removeTree(const std::string& path);
// Copies a tree with `cp -a`.
void copyTree(const std::string& from, const std::string& to);
// Mode bits (& 07777) of lstat(path), or -1.
int fileMode(const std::string& path);
uid_t fileOwner(const std::string& path);
// Entries of a tree relative to `root`, sorted, directories marked with a trailing '/'.
std::vector<std::string> listTree(const std::string& root);

// One entry of a tree as snapshotTree records it: kind and mode, owners and
// link count; the content of a file or "-> target" of a link.
struct TreeEntry {
  std::string metadata;
  std::string content;
  bool operator==(const TreeEntry& other) const { return metadata == other.metadata && content == other.content; }
  bool operator!=(const TreeEntry& other) const { return !(*this == other); }
};
std::ostream& operator<<(std::ostream& out, const TreeEntry& entry);
using TreeSnapshot = std::map<std::string, TreeEntry>;

// Every entry below `root`, the root itself as ".", others by their path
// below it ("/a/b"); links are recorded, never followed. Empty when `root`
// does not exist.
TreeSnapshot snapshotTree(const std::string& root);

// The assembled sample installation of the build.
std::string sampleServerRoot();
// A copy of the sample installation in `scratch`/server-root; returns its path.
std::string copySampleInstallation(const ScratchDir& scratch);

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with exactly `environment` ("NAME=value" entries),
// `input` on standard input, and collects both outputs.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::string& input = "");

// A child started by startProcess and not yet waited for: its id and this
// side's ends of its three pipes. Killed and reaped when it goes unwaited.
class StartedProcess {
 public:
  StartedProcess() = default;
  StartedProcess(StartedProcess&& other) noexcept;
  StartedProcess& operator=(StartedProcess&& other) noexcept;
  ~StartedProcess();

  pid_t pid() const { return pid_; }

 private:
  friend StartedProcess startProcess(const std::vector<std::string>&, const std::vector<std::string>&,
                                     const std::string&, bool);
  friend ProcessResult waitProcess(StartedProcess& process);
  friend bool waitForLine(StartedProcess& process, const std::string& line, int seconds);
  void release();

  pid_t pid_ = -1;
  int input_ = -1, output_ = -1, error_ = -1;
  std::string pendingInput_;
  std::string outputRead_;  // by waitForLine, ahead of waitProcess
};

// As runProcess, but returns as soon as the child runs. With
// `ownProcessGroup` the child leads a new process group (id = its pid), so
// that kill(-pid, ...) reaches its own children too.
StartedProcess startProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                            const std::string& input = "", bool ownProcessGroup = false);

// Feeds the pending input, collects both outputs until the child closes
// them, then reaps it. Call once per started process.
ProcessResult waitProcess(StartedProcess& process);

// Reads the child's standard output until it holds `line` as a whole line
// (a racer's "ready"): true once it does, false when the child closes its
// output first or `seconds` pass. What was read stays part of the output
// waitProcess returns. For a child started without input.
bool waitForLine(StartedProcess& process, const std::string& line, int seconds = 60);

// Asks `condition` every 20 ms until it holds (true) or `seconds` pass
// (false): waiting for another process to be ready, with a deadline only a
// hung process reaches.
bool eventually(const std::function<bool()>& condition, int seconds = 60);

// The argument prefix that runs a command as `user` (setpriv, real and
// effective ids and groups of that user).
std::vector<std::string> asUser(const std::string& user);

bool runningAsRoot();

// A TCP port for the calling test alone, as a decimal string: outside the
// kernel's ephemeral range (and, without bounds, from 20000 up), nothing
// listens on it, and no other lease of this run or of another live run of
// this user holds it. The lease lasts as long as the caller's process group
// (see tests/ports.cpp). Throws std::runtime_error when none is left.
std::string uniquePort();
std::string uniquePort(int first, int last);
