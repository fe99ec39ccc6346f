// Opening and closing backup catalogues of N entries and N tags, the k-th tag
// listing the first k entries (what N recordings leave behind), so the file
// grows with N squared.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>

#include "backup/catalogue.h"
#include "bench/bench_support.h"

namespace {

std::string entryName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "file%05d.conf", i);
  return name;
}

// Writes "catalogue-<N>.conf" once and returns its path.
std::string catalogueFile(int entries) {
  static std::map<int, std::string> made;
  auto found = made.find(entries);
  if (found != made.end()) return found->second;
  std::string path = benchDirectory() + "/catalogue-" + std::to_string(entries) + ".conf";
  FILE* out = std::fopen(path.c_str(), "w");
  if (!out) throw std::runtime_error("cannot write " + path);
  std::fputs("backups.conf:Version 4.0\nMaxTags=5000\n\n", out);
  for (int i = 0; i < entries; ++i) {
    std::string name = entryName(i);
    std::fprintf(out, "%s:/srv/app/web1/config/backup/%s:1:%d:/srv/app/web1/config/%s\n", name.c_str(), name.c_str(),
                 1044000000 + i, name.c_str());
  }
  std::fputs("\n", out);
  for (int k = 1; k <= entries; ++k) {
    std::fprintf(out, "%d:", 1044000000 + k);
    for (int i = 0; i < k; ++i) std::fprintf(out, "%s/1:", entryName(i).c_str());
    std::fputs(":\n", out);
  }
  std::fputs("--EOF--\n", out);
  if (std::fclose(out) != 0) throw std::runtime_error("cannot write " + path);
  made[entries] = path;
  return path;
}

long fileSize(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? static_cast<long>(status.st_size) : 0;
}

// Open and close of an unchanged catalogue: reading it whole.
void BM_OpenClose(benchmark::State& state) {
  const std::string path = catalogueFile(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    BackupCatalogue* catalogue = openBackupCatalogue("/srv/app", path.c_str());
    if (!catalogue) {
      state.SkipWithError("open failed");
      break;
    }
    benchmark::DoNotOptimize(catalogue->tagCount);
    closeBackupCatalogue(catalogue);
  }
  state.SetBytesProcessed(state.iterations() * fileSize(path));
  state.counters["file_MB"] = static_cast<double>(fileSize(path)) / 1e6;
  state.counters["peak_RSS_MiB"] = static_cast<double>(peakResidentKiB()) / 1024.0;
}

// Open, one change, close: reading it whole and writing it back atomically
// (temporary file, fsync, rename).
void BM_OpenRewriteClose(benchmark::State& state) {
  const std::string path = catalogueFile(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    BackupCatalogue* catalogue = openBackupCatalogue("/srv/app", path.c_str());
    if (!catalogue) {
      state.SkipWithError("open failed");
      break;
    }
    catalogue->changeCount = 2;
    if (Message failure = closeBackupCatalogue(catalogue)) {
      state.SkipWithError(failure.get());
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * fileSize(path));
}

}  // namespace

BENCHMARK(BM_OpenClose)->Arg(100)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenRewriteClose)->Arg(100)->Arg(1000)->Arg(3000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
