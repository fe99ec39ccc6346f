// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/testsupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

int removeItem(const char* path, const struct stat* status, int type, struct FTW*) {
  if (type == FTW_DP) {
    chmod(path, 0700);
    return rmdir(path) == 0 ? 0 : 0;
  }
  (void)status;
  unlink(path);
  return 0;
}

// Makes every directory below `path` searchable and writable so that the
// removal also works on trees whose modes a test narrowed.
int openUp(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_D || type == FTW_DNR) chmod(path, 0700);
  return 0;
}

void listInto(const std::string& root, const std::string& relative, std::vector<std::string>& out) {
  DIR* dir = opendir((relative.empty() ? root : root + "/" + relative).c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string rel = relative.empty() ? name : relative + "/" + name;
    struct stat st;
    if (lstat((root + "/" + rel).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      out.push_back(rel + "/");
      listInto(root, rel, out);
    } else {
      out.push_back(rel);
    }
  }
  closedir(dir);
}

}  // namespace

ScratchDir::ScratchDir() {
  char name[] = "/tmp/install-test.XXXXXX";
  if (!mkdtemp(name)) fail("mkdtemp");
  path_ = name;
  chmod(name, 0755);
}

ScratchDir::~ScratchDir() { removeTree(path_); }

void removeTree(const std::string& path) {
  if (path.size() < 20 || path.compare(0, 18, "/tmp/install-test.") != 0) return;
  if (path.find("/../") != std::string::npos) return;
  nftw(path.c_str(), openUp, 16, FTW_PHYS);
  nftw(path.c_str(), removeItem, 16, FTW_DEPTH | FTW_PHYS);
}

std::string ScratchDir::operator/(const std::string& relative) const { return path_ + "/" + relative; }

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool fileExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) fail("cannot write " + path);
  out << content;
  out.close();
  chmod(path.c_str(), mode);
}

void makeDirs(const std::string& path, mode_t mode) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) fail("mkdir " + prefix);
    if (slash == std::string::npos) break;
  }
}

void copyTree(const std::string& from, const std::string& to) {
  ProcessResult r = runProcess({"/bin/cp", "-a", from, to}, {"PATH=/usr/bin:/bin"});
  if (r.status != 0) throw std::runtime_error("cp -a " + from + " " + to + ": " + r.err);
}

int fileMode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

uid_t fileOwner(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

std::vector<std::string> listTree(const std::string& root) {
  std::vector<std::string> out;
  listInto(root, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

std::string sampleServerRoot() { return SAMPLE_SERVER_ROOT; }

std::string copySampleInstallation(const ScratchDir& scratch) {
  std::string root = scratch / "server-root";
  copyTree(sampleServerRoot(), root);
  return root;
}

namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (pipe2(fd, O_CLOEXEC) != 0) fail("pipe");
  }
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) close(f);
  }
  void closeEnd(int i) {
    if (fd[i] >= 0) close(fd[i]);
    fd[i] = -1;
  }
};

}  // namespace

namespace {

int takeEnd(Pipe& pipe, int end) {
  int fd = pipe.fd[end];
  pipe.fd[end] = -1;
  return fd;
}

void closeIfOpen(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

}  // namespace

StartedProcess::StartedProcess(StartedProcess&& other) noexcept { *this = std::move(other); }

StartedProcess& StartedProcess::operator=(StartedProcess&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = other.pid_;
    input_ = other.input_;
    output_ = other.output_;
    error_ = other.error_;
    pendingInput_ = std::move(other.pendingInput_);
    outputRead_ = std::move(other.outputRead_);
    other.pid_ = -1;
    other.input_ = other.output_ = other.error_ = -1;
  }
  return *this;
}

StartedProcess::~StartedProcess() { release(); }

void StartedProcess::release() {
  closeIfOpen(&input_);
  closeIfOpen(&output_);
  closeIfOpen(&error_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
}

StartedProcess startProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                            const std::string& input, bool ownProcessGroup) {
  Pipe in, out, err;
  std::vector<char*> args, env;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    if (ownProcessGroup) setpgid(0, 0);
    dup2(in.fd[0], 0);
    dup2(out.fd[1], 1);
    dup2(err.fd[1], 2);
    signal(SIGPIPE, SIG_DFL);
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  // Set on both sides, so a kill of the group right after the start cannot miss it.
  if (ownProcessGroup) setpgid(pid, pid);
  StartedProcess process;
  process.pid_ = pid;
  process.input_ = takeEnd(in, 1);
  process.output_ = takeEnd(out, 0);
  process.error_ = takeEnd(err, 0);
  process.pendingInput_ = input;
  if (input.empty()) closeIfOpen(&process.input_);
  return process;
}

ProcessResult waitProcess(StartedProcess& process) {
  ProcessResult result;
  result.out = std::move(process.outputRead_);
  size_t written = 0;
  signal(SIGPIPE, SIG_IGN);
  while (process.output_ >= 0 || process.error_ >= 0) {
    pollfd fds[3] = {{process.output_, POLLIN, 0}, {process.error_, POLLIN, 0}, {process.input_, POLLOUT, 0}};
    if (poll(fds, 3, -1) < 0 && errno != EINTR) fail("poll");
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      } else {
        closeIfOpen(i == 0 ? &process.output_ : &process.error_);
      }
    }
    if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const std::string& input = process.pendingInput_;
      ssize_t n = write(process.input_, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 || written == input.size()) closeIfOpen(&process.input_);
    }
  }
  closeIfOpen(&process.input_);
  int status = 0;
  while (waitpid(process.pid_, &status, 0) < 0 && errno == EINTR) {
  }
  process.pid_ = -1;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

bool waitForLine(StartedProcess& process, const std::string& line, int seconds) {
  using std::chrono::steady_clock;
  const auto deadline = steady_clock::now() + std::chrono::seconds(seconds);
  const std::string wanted = "\n" + line + "\n";
  for (;;) {
    if (("\n" + process.outputRead_).find(wanted) != std::string::npos) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (process.output_ < 0 || left.count() <= 0) return false;
    pollfd ready = {process.output_, POLLIN, 0};
    int polled = poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno != EINTR) fail("poll");
    if (polled <= 0) continue;
    char buffer[4096];
    ssize_t n = read(process.output_, buffer, sizeof buffer);
    if (n > 0) process.outputRead_.append(buffer, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR) closeIfOpen(&process.output_);
  }
}

bool eventually(const std::function<bool()>& condition, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                         const std::string& input) {
  StartedProcess process = startProcess(argv, environment, input);
  return waitProcess(process);
}

std::vector<std::string> asUser(const std::string& user) {
  passwd* pw = getpwnam(user.c_str());
  if (!pw) throw std::runtime_error("no user " + user);
  return {"/usr/bin/setpriv", "--reuid=" + std::to_string(pw->pw_uid), "--regid=" + std::to_string(pw->pw_gid),
          "--clear-groups", "--"};
}

bool runningAsRoot() { return geteuid() == 0; }

namespace {

std::string linkTarget(const std::string& path) {
  char target[4096];
  ssize_t length = readlink(path.c_str(), target, sizeof target);
  return length < 0 ? "?" : std::string(target, static_cast<size_t>(length));
}

void snapshotInto(const std::string& root, const std::string& relative, TreeSnapshot& into) {
  const std::string path = root + relative;
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return;
  char mode[16];
  std::snprintf(mode, sizeof mode, "%06o", static_cast<unsigned>(status.st_mode));
  TreeEntry entry{std::string(mode) + " " + std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid) +
                      " " + std::to_string(status.st_nlink),
                  ""};
  if (S_ISREG(status.st_mode)) entry.content = readFile(path);
  if (S_ISLNK(status.st_mode)) entry.content = "-> " + linkTarget(path);
  into[relative.empty() ? "." : relative] = entry;
  if (!S_ISDIR(status.st_mode)) return;
  DIR* directory = opendir(path.c_str());
  if (!directory) return;
  while (const dirent* item = readdir(directory)) {
    std::string name = item->d_name;
    if (name != "." && name != "..") snapshotInto(root, relative + "/" + name, into);
  }
  closedir(directory);
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const TreeEntry& entry) {
  return out << entry.metadata << " [" << entry.content.substr(0, 60) << (entry.content.size() > 60 ? "...]" : "]");
}

TreeSnapshot snapshotTree(const std::string& root) {
  TreeSnapshot tree;
  snapshotInto(root, "", tree);
  return tree;
}
