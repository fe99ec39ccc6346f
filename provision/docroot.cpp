// SPDX-License-Identifier: GPL-3.0-or-later
#include "provision/docroot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fsutil/descriptor.h"
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

// The document root as the step finds it: held open, so that nothing
// below it is reached through a link; an entry that is not a directory,
// which every copy fails on; or, for a check made before it exists, one
// that the step would make (new and empty).
enum class RootKind { Held, NotDirectory, ToBeMade };
struct DocumentRoot {
  RootKind kind;
  int directory;  // when Held
  const std::string& path;
};

bool isHomePage(const std::string& name) { return name == "home.html" || name == "index.html"; }

Message notDirectoryFailure(const DocumentRoot& docRoot, const std::string& name) {
  std::string destination = docRoot.path + "/" + name;
  return errorMessage("ERR_FILE_OPEN_WRITE", {destination.c_str(), std::strerror(ENOTDIR)});
}

// A new document root holds no directory yet: an entry below one cannot be
// written there (the copy below a held directory meets that as ENOENT).
Message newRootFailure(const DocumentRoot& docRoot, const std::string& name) {
  size_t start = 0;
  for (size_t slash; (slash = name.find('/', start)) != std::string::npos; start = slash + 1) {
    std::string component = name.substr(start, slash - start);
    if (component.empty() || component == ".") continue;
    std::string destination = docRoot.path + "/" + name;
    return errorMessage("ERR_FILE_OPEN_WRITE", {destination.c_str(), std::strerror(ENOENT)});
  }
  return Message();
}

// The copy of one listed document, or (`apply` false) what it would meet.
// A home page is placed whole or not at all, and one that another run
// placed meanwhile is kept.
Message handleDocument(const std::string& templateDir, const DocumentRoot& docRoot, const std::string& name,
                       bool apply) {
  std::string source = templateDir + "/" + name;
  std::string destination = docRoot.path + "/" + name;
  if (Message problem = checkPathLength(destination)) return problem;
  switch (docRoot.kind) {
    case RootKind::NotDirectory:
      return notDirectoryFailure(docRoot, name);
    case RootKind::ToBeMade:
      if (Message problem = checkCopySource(source.c_str())) return problem;
      return isHomePage(name) ? Message() : newRootFailure(docRoot, name);
    case RootKind::Held:
      break;
  }
  if (isHomePage(name)) {
    if (!apply) return checkCopyIfAbsentIn(source.c_str(), docRoot.directory, name.c_str(), destination.c_str());
    return copyFileIfAbsentIn(source.c_str(), docRoot.directory, name.c_str(), destination.c_str(), DOCUMENT_MODE);
  }
  if (!apply) return checkCopyBelow(source.c_str(), docRoot.directory, docRoot.path, name);
  return copyFileBelow(source.c_str(), docRoot.directory, docRoot.path, name, DOCUMENT_MODE);
}

// The document list, opened without blocking: a FIFO in its place would
// hold the creation for ever. A directory is read, and fails as a read.
FilePtr openDocumentList(const std::string& listPath, Message* problem) {
  Descriptor fd(open(listPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status;
  if (!fd.valid() || fstat(fd.get(), &status) != 0) {
    *problem = errorMessage("ERR_FILE_OPEN_READ", {listPath.c_str(), std::strerror(errno)});
    return FilePtr();
  }
  if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
    *problem = errorMessage("ERR_IRREGULAR_FILE", {listPath.c_str()});
    return FilePtr();
  }
  FilePtr list(fdopen(fd.get(), "r"));
  if (!list) *problem = errorMessage("ERR_FILE_OPEN_READ", {listPath.c_str(), std::strerror(errno)});
  else fd.release();
  return list;
}

// Every listed document in list order, the home pages last and whole: a
// run that stops half way, by a failed copy or a kill, must not leave a
// root that the next run takes for a filled one (holdsHomePage). Copying
// stops at the first failure; checking (`apply` false) goes on and
// gathers every problem.
void handleListedDocuments(const std::string& templateDir, const DocumentRoot& docRoot, bool apply,
                           std::vector<Message>* problems) {
  std::string listPath = templateDir + "/docs.lst";
  Message unopened;
  FilePtr list = openDocumentList(listPath, &unopened);
  if (!list) {
    problems->push_back(std::move(unopened));
    return;
  }
  std::vector<std::string> homePages;
  Message failure = forEachListedDocument(list.get(), listPath.c_str(), [&](const std::string& name) {
    if (isHomePage(name)) {
      homePages.push_back(name);
      return Message();
    }
    Message problem = handleDocument(templateDir, docRoot, name, apply);
    if (!problem || apply) return problem;
    problems->push_back(std::move(problem));
    return Message();
  });
  if (failure) {
    problems->push_back(std::move(failure));
    if (apply) return;
  }
  for (const std::string& name : homePages) {
    if (Message problem = handleDocument(templateDir, docRoot, name, apply)) {
      problems->push_back(std::move(problem));
      if (apply) return;
    }
  }
}

// What the step finds at the document root's path before it makes anything.
struct RootSurvey {
  Message problem;
  RootKind kind = RootKind::ToBeMade;
  Descriptor directory;  // the root when Held, else the existing directory nearest to it
};

RootSurvey surveyDocRoot(const std::string& path) {
  RootSurvey result;
  PathSurvey survey;
  if ((result.problem = surveyDirectoryPath(path.c_str(), &survey))) return result;
  result.kind = survey.notDirectory ? RootKind::NotDirectory : survey.exists ? RootKind::Held : RootKind::ToBeMade;
  result.directory = std::move(survey.directory);
  return result;
}

// The documents come from the installation's template directory: a
// document root there would have the installation's own files overwritten.
Message templateDirectoryProblem(const InstanceRecord* record, const std::string& path, int nearest) {
  const std::string templates = text(record->serverRoot) + "/lib/install/templates";
  struct stat status;
  if (stat(templates.c_str(), &status) != 0 || !liesWithin(nearest, status)) return Message();
  return errorMessage("ERR_DOC_ROOT_IN_TEMPLATES", {path.c_str(), templates.c_str()});
}

// A descriptor on the document root's file system that syncfs accepts
// without reading the root: the root itself when it could be opened for
// reading, else an unnamed file made in it and gone when closed.
Descriptor syncHandleOf(int docRoot) {
  if ((fcntl(docRoot, F_GETFL) & O_PATH) == 0) return Descriptor(fcntl(docRoot, F_DUPFD_CLOEXEC, 0));
  return Descriptor(openat(docRoot, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
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

std::vector<Message> docRootProblems(const InstanceRecord* record) {
  std::vector<Message> problems;
  std::string path = text(record->docRoot);
  if (path.empty() || path[0] != '/') return problems;  // refused by the validation already
  if (Message problem = checkPathLength(path)) problems.push_back(std::move(problem));
  RootSurvey survey = surveyDocRoot(path);
  if (survey.problem) {
    problems.push_back(std::move(survey.problem));
    return problems;
  }
  if (survey.kind == RootKind::Held && holdsHomePage(survey.directory.get())) return problems;
  if (Message problem = templateDirectoryProblem(record, path, survey.directory.get())) {
    problems.push_back(std::move(problem));
    return problems;
  }
  handleListedDocuments(documentTemplateDirectory(record), {survey.kind, survey.directory.get(), path}, false,
                        &problems);
  return problems;
}

Message fillDocRoot(const InstanceRecord* record, DocRootWrite* written, const MakingObserver* observer) {
  std::vector<Message> problems;
  std::string path = text(record->docRoot);
  OpenedDirectory docRoot;
  if (Message failure = openOrMakeDirectoryPath(path.c_str(), DOC_ROOT_MODE, &docRoot, observer)) return failure;
  if (docRoot.fd.valid() && holdsHomePage(docRoot.fd.get())) return {};

  written->done = true;
  if (docRoot.fd.valid()) written->syncHandle = syncHandleOf(docRoot.fd.get());
  RootKind kind = docRoot.fd.valid() ? RootKind::Held : RootKind::NotDirectory;
  handleListedDocuments(documentTemplateDirectory(record), {kind, docRoot.fd.get(), path}, true, &problems);
  if (!problems.empty()) return std::move(problems.front());
  // A document root that existed keeps its owners; one made here belongs to
  // the server.
  if (docRoot.made) return chownTreeToUserAt(record->serverUser, docRoot.fd.get(), path.c_str());
  return {};
}

Message populateDocRoot(const InstanceRecord* record) {
  std::vector<Message> problems = docRootProblems(record);
  if (!problems.empty()) return std::move(problems.front());
  DocRootWrite written;
  return fillDocRoot(record, &written);
}
