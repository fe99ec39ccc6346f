// SPDX-License-Identifier: GPL-3.0-or-later
// The document root of a new instance and its first documents.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "fsutil/descriptor.h"
#include "fsutil/directories.h"
#include "instance/record.h"
#include "messages/messages.h"

// Every problem fillDocRoot would meet that can be known before it writes
// anything, in the order it would meet them: a path longer than the system
// allows, a link it may not follow or a directory it may not make on the
// way (a ".." resolved as the making walk resolves it), a root in the
// installation's template directory (ERR_DOC_ROOT_IN_TEMPLATES), the
// document list, each listed document and the place it would be copied to
// (the source itself among them: ERR_SAME_FILE). Nothing for a document
// root that holds a home page already, or one that is not an absolute path
// (the validation refuses it).
std::vector<Message> docRootProblems(const InstanceRecord* record);

// What fillDocRoot did to the document root: whether it wrote there, and a
// descriptor on its file system that syncfs accepts without the root
// having to be readable (not valid when none could be had).
struct DocRootWrite {
  bool done = false;
  Descriptor syncHandle;
};

// Creates docRoot when missing and, unless it holds home.html or index.html,
// copies the documents listed in docs.lst of the (localised) template
// directory. A document root made here goes to serverUser (as root). Makes
// no check of its own beyond what it meets: the plan runs docRootProblems
// right before it. `observer` (may be null) is told of every directory
// made on the way, the document root included. The first failure's message.
Message fillDocRoot(const InstanceRecord* record, DocRootWrite* written, const MakingObserver* observer = nullptr);

// docRootProblems, then fillDocRoot when it found none: the first problem.
Message populateDocRoot(const InstanceRecord* record);

// The template directory the first documents come from: the localised one
// for docLanguage when it exists (tried as given, then cut at its first
// '_': aa_BB_cc, then aa), else "<serverRoot>/lib/install/templates"; "en"
// is the plain directory itself.
std::string documentTemplateDirectory(const InstanceRecord* record);

// True when the document root held open as `docRoot` holds home.html or
// index.html, whatever the kind of entry or where a link leads: such a root
// counts as filled and gets no documents.
bool holdsHomePage(int docRoot);

// Reads the document list `list` (called `listPath` in messages) in pieces
// of at most 1022 characters, skips comment and empty lines, and hands each
// name, its line end removed, to `visit` in file order. Returns the first
// message of `visit`; ERR_DOCS_LIST_ENTRY (listPath, name) when a name is
// absolute or has a ".." component; ERR_FILE_READ (listPath, error text)
// when reading fails. Does not close `list`.
Message forEachListedDocument(FILE* list, const char* listPath,
                              const std::function<Message(const std::string& name)>& visit);
