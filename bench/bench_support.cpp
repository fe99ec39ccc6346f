#include "bench/bench_support.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

struct Directory {
  std::string path;
  bool owned = false;
  Directory() {
    if (const char* given = std::getenv("BENCH_DIR"); given && *given) {
      path = given;
      return;
    }
    char name[] = "/tmp/install-bench.XXXXXX";
    if (!mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
    path = name;
    owned = true;
  }
  ~Directory() {
    if (owned && path.rfind("/tmp/install-bench.", 0) == 0) std::system(("rm -rf '" + path + "'").c_str());
  }
};

}  // namespace

const std::string& benchDirectory() {
  static Directory directory;
  return directory.path;
}

long peakResidentKiB() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}
