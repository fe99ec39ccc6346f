// SPDX-License-Identifier: GPL-3.0-or-later
#include "instance/server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

// How often a holder that changes between two looks is looked at anew.
constexpr int PIN_TRIES = 5;
// /proc/PID/comm holds at most 16 bytes; more is no name.
constexpr size_t NAME_LIMIT = 64;

long long nowMilliseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

}  // namespace

PinnedServer pinServer(int logs, uid_t owner) {
  PinnedServer pinned;
  for (int tries = 0; tries < PIN_TRIES; ++tries) {
    pinned.status = probeServerInLogs(logs, owner);
    if (!pinned.status.running()) return pinned;
    Descriptor pidfd(static_cast<int>(syscall(SYS_pidfd_open, pinned.status.pid, 0)));
    if (!pidfd.valid() && errno != ESRCH) {
      pinned.status = ServerStatus{ServerState::Unknown, pinned.status.pid, errno};
      return pinned;
    }
    if (!pidfd.valid()) continue;  // it ended meanwhile: look again
    const ServerStatus again = probeServerInLogs(logs, owner);
    if (again.running() && again.pid == pinned.status.pid) {
      pinned.pidfd = std::move(pidfd);
      return pinned;
    }
  }
  pinned.status = ServerStatus{ServerState::Unknown, pinned.status.pid, EAGAIN};
  return pinned;
}

int signalPinned(const PinnedServer& server, int signal) {
  if (syscall(SYS_pidfd_send_signal, server.pidfd.get(), signal, nullptr, 0) == 0) return 0;
  return errno;
}

bool waitForEnd(const PinnedServer& server, int seconds) {
  const long long deadline = nowMilliseconds() + seconds * 1000LL;
  for (;;) {
    pollfd watched = {server.pidfd.get(), POLLIN, 0};
    const long long left = deadline - nowMilliseconds();
    const int ready = poll(&watched, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready > 0) return true;
    if (ready == 0 && left <= 0) return false;
    if (ready < 0 && errno != EINTR) return false;
  }
}

std::string processNameOf(pid_t pid) {
  Descriptor comm(open(("/proc/" + std::to_string(pid) + "/comm").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  char name[NAME_LIMIT];
  const ssize_t count = comm.valid() ? read(comm.get(), name, sizeof name) : -1;
  std::string text(name, count > 0 ? static_cast<size_t>(count) : 0);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text.empty() ? "unknown" : text;
}
