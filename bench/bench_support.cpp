// SPDX-License-Identifier: GPL-3.0-or-later
#include "bench/bench_support.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

const char* const SERVER_XML_TOKENS[18][2] = {
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

namespace {

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Closes `file`, checked: a benchmark input cut short by a full disk would
// measure the wrong thing.
bool finish(FilePtr file) { return !std::ferror(file.get()) && std::fclose(file.release()) == 0; }

std::string entryName(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "file%05d.conf", i);
  return name;
}

std::string templateLine() {
  std::string line = "<property";
  int n = 0;
  for (const auto& token : SERVER_XML_TOKENS)
    line += " p" + std::to_string(n++) + "=\"%%%" + std::string(token[0]) + "%%%\"";
  return line + "/>\n";
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

}  // namespace

bool writeCatalogue(int entries, const std::string& path) {
  FilePtr out(std::fopen(path.c_str(), "w"));
  if (!out) return false;
  std::fputs("backups.conf:Version 4.0\nMaxTags=5000\n\n", out.get());
  std::string names;  // "<name>/1:" of every entry, in order: a tag line is a prefix of it
  std::vector<size_t> prefixEnd;
  for (int i = 0; i < entries; ++i) {
    const std::string name = entryName(i);
    std::fprintf(out.get(), "%s:/srv/app/web1/config/backup/%s:1:%d:/srv/app/web1/config/%s\n", name.c_str(),
                 name.c_str(), 1044000000 + i, name.c_str());
    names += name + "/1:";
    prefixEnd.push_back(names.size());
  }
  std::fputc('\n', out.get());
  for (int k = 1; k <= entries; ++k) {
    std::fprintf(out.get(), "%d:", 1044000000 + k);
    std::fwrite(names.data(), 1, prefixEnd[static_cast<size_t>(k - 1)], out.get());
    std::fputs(":\n", out.get());
  }
  std::fputs("--EOF--\n", out.get());
  return finish(std::move(out));
}

bool writeTemplate(long megabytes, const std::string& path) {
  FilePtr out(std::fopen(path.c_str(), "w"));
  if (!out) return false;
  const std::string line = templateLine();
  std::string block;
  while (block.size() < (1 << 20)) block += line;
  const long wanted = megabytes * 1000000L;
  for (long written = 0; written < wanted;) {
    const size_t piece = wanted - written >= static_cast<long>(block.size())
                             ? block.size()
                             : (static_cast<size_t>(wanted - written) + line.size() - 1) / line.size() * line.size();
    if (std::fwrite(block.data(), 1, piece, out.get()) != piece) return false;
    written += static_cast<long>(piece);
  }
  return finish(std::move(out));
}

bool writeDocuments(int count, const std::string& directory) {
  FilePtr list(std::fopen((directory + "/docs.lst").c_str(), "w"));
  if (!list) return false;
  std::fputs("# generated for the document-root benchmark\n", list.get());
  std::string body = "<html><body>\n";
  while (body.size() < 1000) body += "<p>A first document of a new document root.</p>\n";
  body += "</body></html>\n";
  for (int i = 1; i <= count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "doc%05d.html", i);
    FilePtr document(std::fopen((directory + "/" + name).c_str(), "w"));
    if (!document || std::fwrite(body.data(), 1, body.size(), document.get()) != body.size() ||
        !finish(std::move(document)))
      return false;
    std::fprintf(list.get(), "%s\n", name);
  }
  return finish(std::move(list));
}

bool removeTree(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) != 0) return true;
  return nftw(path.c_str(), removeEntry, 64, FTW_DEPTH | FTW_PHYS) == 0;
}
