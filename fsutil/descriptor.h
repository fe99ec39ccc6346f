// SPDX-License-Identifier: GPL-3.0-or-later
// An owned file descriptor.
#pragma once

#include <unistd.h>

// Closes its descriptor unchecked when it goes. Where the close must be
// known to have landed, closeChecked() is called explicitly first.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    reset(other.release());
    return *this;
  }

  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // 0, or -1 with errno. On Linux the descriptor is gone even after a
  // failed close, so it is never closed twice.
  int closeChecked() { return ::close(release()); }

 private:
  int fd_;
};
