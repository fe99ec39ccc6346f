// SPDX-License-Identifier: GPL-3.0-or-later
// The whole-process side of the benchmarks: generates their inputs and runs
// one operation of the tool per process, so that scripts/bench.sh times it
// with hyperfine beside `cat`, `sed` and `cp` of the same files.
//
//   bench_tool make-catalogue ENTRIES PATH
//   bench_tool make-template MEGABYTES PATH
//   bench_tool make-documents COUNT DIRECTORY
//   bench_tool sed-script                 the 18 substitutions, for sed -f
//   bench_tool open-catalogue PATH        open and close, unchanged
//   bench_tool expand TEMPLATE TARGET     the 18 tokens of server.xml
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "backup/catalogue.h"
#include "bench/bench_support.h"
#include "template/token_replacer.h"

namespace {

int usage() {
  std::fputs(
      "usage: bench_tool make-catalogue ENTRIES PATH | make-template MEGABYTES PATH |\n"
      "       make-documents COUNT DIRECTORY | sed-script | open-catalogue PATH | expand TEMPLATE TARGET\n",
      stderr);
  return 2;
}

int failed(const std::string& what) {
  std::fprintf(stderr, "bench_tool: %s\n", what.c_str());
  return 1;
}

int openCatalogue(const char* path) {
  BackupCatalogue* catalogue = openBackupCatalogue("/srv/app", path);
  if (!catalogue) return failed(std::string("cannot open the catalogue ") + path);
  if (Message failure = closeBackupCatalogue(catalogue)) return failed(failure.get());
  return 0;
}

int expand(const char* source, const char* target) {
  try {
    TokenReplacer replacer(source, target);
    for (const auto& token : SERVER_XML_TOKENS) replacer.addToken(token[0], token[1]);
    replacer.replaceTokens();
  } catch (const char* text) {
    return failed(text);
  }
  return 0;
}

int sedScript() {
  for (const auto& token : SERVER_XML_TOKENS) std::printf("s|%%%%%%%s%%%%%%|%s|g\n", token[0], token[1]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "sed-script" && argc == 2) return sedScript();
  if (command == "open-catalogue" && argc == 3) return openCatalogue(argv[2]);
  if (command == "expand" && argc == 4) return expand(argv[2], argv[3]);
  if (argc != 4) return usage();
  const long count = std::strtol(argv[2], nullptr, 10);
  if (count <= 0) return usage();
  if (command == "make-catalogue")
    return writeCatalogue(static_cast<int>(count), argv[3]) ? 0 : failed(std::string("cannot write ") + argv[3]);
  if (command == "make-template")
    return writeTemplate(count, argv[3]) ? 0 : failed(std::string("cannot write ") + argv[3]);
  if (command == "make-documents")
    return writeDocuments(static_cast<int>(count), argv[3]) ? 0 : failed(std::string("cannot write in ") + argv[3]);
  return usage();
}
