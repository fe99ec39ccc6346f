// SPDX-License-Identifier: GPL-3.0-or-later
// The port registry of the tests for the shell tests: prints COUNT ports
// (default 1) on one line, separated by blanks, each leased for the process
// group of the caller as uniquePort() leases them (see tests/ports.cpp).
//
//   test-port [COUNT] [FIRST LAST]
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "tests/testsupport.h"

namespace {

bool number(const char* text, long* value) {
  char* end = nullptr;
  *value = std::strtol(text, &end, 10);
  return *text != '\0' && *end == '\0' && *value > 0 && *value <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
  long count = 1, first = 0, last = 0;
  if ((argc != 1 && argc != 2 && argc != 4) || (argc >= 2 && !number(argv[1], &count)) ||
      (argc == 4 && (!number(argv[2], &first) || !number(argv[3], &last) || first > last))) {
    std::fprintf(stderr, "usage: %s [COUNT] [FIRST LAST]\n", argv[0]);
    return 2;
  }
  try {
    std::string line;
    for (long i = 0; i < count; ++i) {
      if (i > 0) line += ' ';
      line += argc == 4 ? uniquePort(static_cast<int>(first), static_cast<int>(last)) : uniquePort();
    }
    std::printf("%s\n", line.c_str());
    return 0;
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s: %s\n", argv[0], failure.what());
    return 1;
  }
}
