// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzz/fuzz_support.h"

#include <ftw.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

FuzzFile readStream(const uint8_t* data, size_t size) {
  // fmemopen never writes through a "r" stream; the cast only meets its signature.
  FuzzFile stream(fmemopen(const_cast<uint8_t*>(data), size, "r"));
  if (!stream) fuzzFailure(__FILE__, __LINE__, "fmemopen", std::strerror(errno));
  return stream;
}

MemoryOutput::MemoryOutput() : stream_(open_memstream(&buffer_, &size_)) {
  if (!stream_) fuzzFailure(__FILE__, __LINE__, "open_memstream", std::strerror(errno));
}

MemoryOutput::~MemoryOutput() {
  std::fclose(stream_);
  std::free(buffer_);
}

std::string MemoryOutput::text() {
  std::fflush(stream_);
  return std::string(buffer_, size_);
}

namespace {

std::string* scratch = nullptr;

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void removeScratch() {
  if (scratch) nftw(scratch->c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string& scratchDirectory() {
  if (scratch) return *scratch;
  for (const char* base : {"/dev/shm", "/tmp"}) {
    std::string pattern = std::string(base) + "/fuzz-" + std::to_string(getpid()) + "-XXXXXX";
    if (mkdtemp(&pattern[0])) {
      scratch = new std::string(pattern);
      std::atexit(removeScratch);
      return *scratch;
    }
  }
  fuzzFailure(__FILE__, __LINE__, "mkdtemp", std::strerror(errno));
}

void writeWholeFile(const std::string& path, const std::string& bytes) {
  FuzzFile file(std::fopen(path.c_str(), "w"));
  if (!file) fuzzFailure(__FILE__, __LINE__, "fopen for writing", path);
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() || std::fclose(file.release()) != 0)
    fuzzFailure(__FILE__, __LINE__, "write", path);
}

std::string readWholeFile(const std::string& path) {
  FuzzFile file(std::fopen(path.c_str(), "r"));
  if (!file) fuzzFailure(__FILE__, __LINE__, "fopen for reading", path);
  std::string bytes;
  char buffer[65536];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) bytes.append(buffer, got);
  if (std::ferror(file.get())) fuzzFailure(__FILE__, __LINE__, "read", path);
  return bytes;
}

namespace {

// Shows bytes with C escapes so that control characters and NULs are visible.
std::string visible(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
    }
  }
  return out;
}

}  // namespace

void fuzzFailure(const char* file, int line, const char* what, const std::string& detail) {
  std::fprintf(stderr, "\n%s:%d: property broken: %s\n  %s\n", file, line, what, visible(detail).c_str());
  std::abort();
}
