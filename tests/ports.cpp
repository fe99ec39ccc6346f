// SPDX-License-Identifier: GPL-3.0-or-later
// The ports of a test run. The kernel's own choice (a bind to port 0) is no
// use here: it comes from the ephemeral range and is free again the moment
// the asking socket closes, so a later test, or a later instance of the
// same test, can be handed a port an instance it made still records. So a
// registry of leases instead: one file per port in a directory of the user
// running the tests, each naming the process group of the run that holds
// it, all handed out under one lock. A lease lasts as long as its run's
// process group (ctest and every test it starts share one; a test binary or
// script started by hand has its own), so no port goes twice to one run,
// nor to two runs at once; a port something listens on is never handed out.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "fsutil/descriptor.h"
#include "provision/listening.h"
#include "tests/testsupport.h"

namespace {

// Above the well-known ports most machines serve (8080, 5432, ...).
constexpr int FIRST_TEST_PORT = 20000;
constexpr int LAST_PORT = 65535;

[[noreturn]] void registryFailure(const std::string& what) {
  throw std::runtime_error("port registry: " + what + ": " + std::strerror(errno));
}

// The registry of this user, made on first use; refused unless it is a
// directory of this user's that no one else may enter.
Descriptor openRegistry() {
  const std::string path = "/tmp/install-test-ports." + std::to_string(geteuid());
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) registryFailure("mkdir " + path);
  Descriptor directory(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.valid()) registryFailure("open " + path);
  struct stat status;
  if (fstat(directory.get(), &status) != 0) registryFailure("stat " + path);
  if (status.st_uid != geteuid() || (status.st_mode & 077) != 0) {
    errno = EPERM;
    registryFailure(path + " is not a private directory of this user");
  }
  return directory;
}

// The process group named by the lease of `port`: 0 when there is none
// (or what is there is no lease this code wrote).
pid_t leaseHolder(int registry, int port) {
  Descriptor lease(openat(registry, std::to_string(port).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status;
  if (!lease.valid() || fstat(lease.get(), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
  char text[32] = {};
  ssize_t length = read(lease.get(), text, sizeof text - 1);
  return length > 0 ? static_cast<pid_t>(std::strtol(text, nullptr, 10)) : 0;
}

// A group that is gone holds nothing. One this user may not signal is
// taken to be alive.
bool groupAlive(pid_t group) { return group > 0 && (kill(-group, 0) == 0 || errno == EPERM); }

// Writes this run's lease of `port`, replacing a lease of a run that is gone.
bool takeLease(int registry, int port) {
  const std::string name = std::to_string(port);
  if (unlinkat(registry, name.c_str(), 0) != 0 && errno != ENOENT) return false;
  Descriptor lease(openat(registry, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lease.valid()) return false;
  const std::string text = std::to_string(getpgrp()) + "\n";
  return write(lease.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
         lease.closeChecked() == 0;
}

// [first, last] without the kernel's ephemeral range, whose ports any
// outgoing connection may take.
std::vector<int> candidates(int first, int last) {
  int low = 0, high = -1;
  if (std::FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (std::fscanf(range, "%d %d", &low, &high) != 2) high = -1;
    std::fclose(range);
  }
  std::vector<int> ports;
  for (int port = first; port <= last; ++port)
    if (port < low || port > high) ports.push_back(port);
  return ports;
}

}  // namespace

std::string uniquePort(int first, int last) {
  std::vector<int> ports = candidates(first, last);
  if (ports.empty()) throw std::runtime_error("no test ports between " + std::to_string(first) + " and " +
                                              std::to_string(last) + " outside the ephemeral range");
  Descriptor registry = openRegistry();
  Descriptor lock(openat(registry.get(), "lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock.valid()) registryFailure("open the lock");
  while (flock(lock.get(), LOCK_EX) != 0)
    if (errno != EINTR) registryFailure("lock");
  // A random start keeps runs that share no registry (other users') apart too.
  const size_t start = std::random_device{}() % ports.size();
  for (size_t i = 0; i < ports.size(); ++i) {
    const int port = ports[(start + i) % ports.size()];
    if (groupAlive(leaseHolder(registry.get(), port)) || someoneListensOn(port)) continue;
    if (takeLease(registry.get(), port)) return std::to_string(port);
  }
  errno = EADDRINUSE;
  registryFailure("every port between " + std::to_string(first) + " and " + std::to_string(last) +
                  " is leased or in use");
}

std::string uniquePort() { return uniquePort(FIRST_TEST_PORT, LAST_PORT); }
