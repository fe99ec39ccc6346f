// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the fuzz targets: memory streams, a scratch directory
// and a check that turns a broken property into a finding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

struct FuzzFileCloser {
  void operator()(FILE* file) const {
    if (file) std::fclose(file);
  }
};
using FuzzFile = std::unique_ptr<FILE, FuzzFileCloser>;

// A read-only stream over `size` bytes of `data` (which must outlive it).
FuzzFile readStream(const uint8_t* data, size_t size);

// Collects what is written to it; text() flushes and returns it so far.
class MemoryOutput {
 public:
  MemoryOutput();
  ~MemoryOutput();
  MemoryOutput(const MemoryOutput&) = delete;
  MemoryOutput& operator=(const MemoryOutput&) = delete;
  FILE* stream() const { return stream_; }
  std::string text();

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  FILE* stream_ = nullptr;
};

// A directory of this process under /dev/shm (or /tmp), made on first use
// and removed with its files at exit.
const std::string& scratchDirectory();

// Writes `bytes` to `path`, replacing it; aborts on failure.
void writeWholeFile(const std::string& path, const std::string& bytes);
// The whole content of `path`; aborts when it cannot be read.
std::string readWholeFile(const std::string& path);

// Reports the broken property with the bytes involved and aborts, which
// libFuzzer records as a crash with the input that caused it.
[[noreturn]] void fuzzFailure(const char* file, int line, const char* what, const std::string& detail);

#define FUZZ_CHECK(condition, detail)                                     \
  do {                                                                    \
    if (!(condition)) fuzzFailure(__FILE__, __LINE__, #condition, detail); \
  } while (0)
