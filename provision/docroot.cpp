#include "provision/docroot.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fsutil/directories.h"
#include "fsutil/files.h"
#include "fsutil/ownership.h"

namespace {

// fgets size for docs.lst: a line is taken in pieces of at most 1022
// characters, each piece a name of its own.
constexpr int LIST_PIECE_SIZE = 1023;
constexpr mode_t DOC_ROOT_MODE = 0755;
constexpr mode_t DOCUMENT_MODE = 0644;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

std::string text(const char* value) { return value ? value : ""; }

// The tool runs as root: a list entry must not reach outside the document
// root (or pick a source outside the template directory).
bool staysInside(const std::string& name) {
  if (name[0] == '/') return false;
  size_t start = 0;
  for (;;) {
    size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return false;
    if (end == name.size()) return true;
    start = end + 1;
  }
}

// The document root as it is written to: held open, so that nothing below
// it is reached through a link. `directory` is not valid when the path
// names something other than a directory; every copy then fails as a write
// below a non-directory does.
struct DocumentRoot {
  int directory;
  const std::string& path;
};

Message copyDocument(const std::string& templateDir, const DocumentRoot& docRoot, const std::string& name) {
  std::string source = templateDir + "/" + name;
  if (docRoot.directory < 0) {
    std::string destination = docRoot.path + "/" + name;
    return errorMessage("ERR_FILE_OPEN_WRITE", {destination.c_str(), std::strerror(ENOTDIR)});
  }
  return copyFileBelow(source.c_str(), docRoot.directory, docRoot.path, name, DOCUMENT_MODE);
}

bool isHomePage(const std::string& name) { return name == "home.html" || name == "index.html"; }

// A home page is placed whole or not at all, and one that another run
// placed meanwhile is kept.
Message placeHomePage(const std::string& templateDir, const DocumentRoot& docRoot, const std::string& name) {
  if (docRoot.directory < 0) return copyDocument(templateDir, docRoot, name);
  std::string source = templateDir + "/" + name;
  std::string destination = docRoot.path + "/" + name;
  return copyFileIfAbsentIn(source.c_str(), docRoot.directory, name.c_str(), destination.c_str(), DOCUMENT_MODE);
}

// A home page marks a document root as filled (holdsHomePage), so it comes
// last and whole: a run that stops half way, by a failed copy or a kill,
// must not leave a root that the next run takes for a filled one.
Message copyListedDocuments(const std::string& templateDir, const DocumentRoot& docRoot) {
  std::string listPath = templateDir + "/docs.lst";
  FilePtr list(std::fopen(listPath.c_str(), "re"));
  if (!list) return errorMessage("ERR_FILE_OPEN_READ", {listPath.c_str(), std::strerror(errno)});
  std::vector<std::string> homePages;
  Message failure = forEachListedDocument(list.get(), listPath.c_str(), [&](const std::string& name) {
    if (!isHomePage(name)) return copyDocument(templateDir, docRoot, name);
    homePages.push_back(name);
    return Message();
  });
  for (size_t i = 0; !failure && i < homePages.size(); ++i)
    failure = placeHomePage(templateDir, docRoot, homePages[i]);
  return failure;
}

}  // namespace

bool holdsHomePage(int docRoot) {
  struct stat status;
  return fstatat(docRoot, "home.html", &status, 0) == 0 || fstatat(docRoot, "index.html", &status, 0) == 0;
}

std::string documentTemplateDirectory(const InstanceRecord* record) {
  std::string base = text(record->serverRoot) + "/lib/install/templates";
  if (!record->docLanguage || std::strcmp(record->docLanguage, "en") == 0) return base;
  std::string tag = record->docLanguage;
  for (;;) {
    std::string candidate = base + "/" + tag;
    if (pathExists(candidate.c_str())) return candidate;
    size_t cut = tag.find('_');
    if (cut == std::string::npos) return base;
    tag.erase(cut);
  }
}

Message forEachListedDocument(FILE* list, const char* listPath,
                              const std::function<Message(const std::string& name)>& visit) {
  char piece[LIST_PIECE_SIZE];
  while (std::fgets(piece, sizeof piece, list)) {
    std::string name = piece;
    if (!name.empty() && name.back() == '\n') name.pop_back();
    if (name.empty() || name[0] == '#') continue;
    if (!staysInside(name)) return errorMessage("ERR_DOCS_LIST_ENTRY", {listPath, name.c_str()});
    if (Message failure = visit(name)) return failure;
  }
  // A list cut short by a read error must not pass for a complete copy.
  if (std::ferror(list)) return errorMessage("ERR_FILE_READ", {listPath, std::strerror(errno)});
  return {};
}

Message populateDocRoot(const InstanceRecord* record) {
  std::string path = text(record->docRoot);
  OpenedDirectory docRoot;
  if (Message failure = openOrMakeDirectoryPath(path.c_str(), DOC_ROOT_MODE, &docRoot)) return failure;
  if (docRoot.fd.valid() && holdsHomePage(docRoot.fd.get())) return {};

  if (Message failure = copyListedDocuments(documentTemplateDirectory(record), {docRoot.fd.get(), path})) return failure;
  // A document root that existed keeps its owners; one made here belongs to
  // the server.
  if (docRoot.made) return chownTreeToUserAt(record->serverUser, docRoot.fd.get(), path.c_str());
  return {};
}
