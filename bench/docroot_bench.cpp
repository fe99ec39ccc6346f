// SPDX-License-Identifier: GPL-3.0-or-later
// Filling a new document root from a docs.lst of N documents, in process.
// Reads the scratch installations that scripts/bench.sh prepares:
// $BENCH_DIR/root-<N> (a copy of the installation whose docs.lst lists N
// small documents). As root the documents go to the user `daemon`, as the
// creation hands them; otherwise to the current user.
#include <benchmark/benchmark.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "bench/bench_support.h"
#include "instance/record.h"
#include "provision/docroot.h"

namespace {

std::string benchDirectory() {
  const char* directory = std::getenv("BENCH_DIR");
  return directory ? directory : "";
}

std::string serverUser() {
  if (geteuid() == 0) return "daemon";
  const struct passwd* user = getpwuid(getuid());
  return user ? user->pw_name : "";
}

void BM_PopulateDocRoot(benchmark::State& state) {
  const std::string base = benchDirectory();
  const std::string root = base + "/root-" + std::to_string(state.range(0));
  const std::string docRoot = base + "/docroot-" + std::to_string(state.range(0));
  const std::string user = serverUser();
  if (base.empty() || access((root + "/lib/install/templates/docs.lst").c_str(), R_OK) != 0) {
    state.SkipWithError("no prepared installation: run scripts/bench.sh");
    return;
  }
  InstanceRecord record{};
  record.serverRoot = root.c_str();
  record.instancesRoot = root.c_str();
  record.docRoot = docRoot.c_str();
  record.serverUser = user.c_str();
  for (auto _ : state) {
    if (Message failure = populateDocRoot(&record)) {
      state.SkipWithError(failure.get());
      break;
    }
    state.PauseTiming();
    if (!removeTree(docRoot)) state.SkipWithError("cannot remove the document root");
    state.ResumeTiming();
  }
  state.counters["documents"] = static_cast<double>(state.range(0));
}

}  // namespace

// As many iterations as fill the minimum time (the document root's removal
// between them is not counted): one on a slow disk, hundreds in memory.
BENCHMARK(BM_PopulateDocRoot)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
