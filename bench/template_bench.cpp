// Expansion of generated templates of 1 MB and 100 MB with the 18 tokens of
// server.xml on every line, written beside the template.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>

#include "bench/bench_support.h"
#include "template/token_replacer.h"

namespace {

const char* const TOKENS[][2] = {
    {"FILE_PREFIX", "file:"},
    {"SERVER_ROOT", "/opt/zora/server"},
    {"HTTP_PORT", "8080"},
    {"SERVER_NAME", "www.example.test"},
    {"SERVER_ID", "web1"},
    {"INSTANCE_ROOT", "/opt/zora/server"},
    {"DEFAULT_DOC_ROOT", "/opt/zora/server/docs"},
    {"JMS_SERVICE_PORT", "7676"},
    {"JMS_SERVICE_USER_NAME", "admin"},
    {"JMS_SERVICE_PASSWORD", "secret"},
    {"JAVA_HOME", "/usr/lib/jvm/java"},
    {"QBUS_BIN", "/opt/zora/server/qbus/bin"},
    {"QBUS_LIB", "/opt/zora/server/qbus/lib"},
    {"DEFAULT_LOCALE", "en_US"},
    {"WEBSERVICES_LIB", "/opt/zora/server/lib/ws"},
    {"ORB_LISTENER1_PORT", "3700"},
    {"INSTALL_CONFIG_ROOT", "/opt/zora/server/config"},
    {"JAVA_SEP", ":"},
};

// One template line: ordinary XML text with every token once.
std::string templateLine() {
  std::string line = "<property";
  int n = 0;
  for (const auto& token : TOKENS) line += " p" + std::to_string(n++) + "=\"%%%" + std::string(token[0]) + "%%%\"";
  return line + "/>\n";
}

// Writes "template-<MB>.xml" once (at least `megabytes` MB of whole lines).
std::string templateFile(int megabytes) {
  static std::map<int, std::string> made;
  auto found = made.find(megabytes);
  if (found != made.end()) return found->second;
  std::string path = benchDirectory() + "/template-" + std::to_string(megabytes) + "MB.xml";
  FILE* out = std::fopen(path.c_str(), "w");
  if (!out) throw std::runtime_error("cannot write " + path);
  const std::string line = templateLine();
  std::string block;
  while (block.size() < (1 << 20)) block += line;
  for (long written = 0; written < megabytes * 1000000L; written += static_cast<long>(block.size()))
    std::fwrite(block.data(), 1, block.size(), out);
  if (std::fclose(out) != 0) throw std::runtime_error("cannot write " + path);
  made[megabytes] = path;
  return path;
}

long fileSize(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? static_cast<long>(status.st_size) : 0;
}

void BM_Expand(benchmark::State& state) {
  const std::string source = templateFile(static_cast<int>(state.range(0)));
  const std::string target = source + ".out";
  for (auto _ : state) {
    try {
      TokenReplacer replacer(source.c_str(), target.c_str());
      for (const auto& token : TOKENS) replacer.addToken(token[0], token[1]);
      replacer.replaceTokens();
    } catch (const char* text) {
      state.SkipWithError(text);
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * fileSize(source));
  state.counters["template_MB"] = static_cast<double>(fileSize(source)) / 1e6;
  state.counters["peak_RSS_MiB"] = static_cast<double>(peakResidentKiB()) / 1024.0;
}

}  // namespace

BENCHMARK(BM_Expand)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
