// SPDX-License-Identifier: GPL-3.0-or-later
// The sample installation's configuration templates, expanded by a real
// creation: the XML files must stay well-formed whatever honest values they
// receive, and every token they use must be one the tool fills in.
#include <gtest/gtest.h>

#include <unistd.h>

#include "tests/blackbox.h"

namespace {

const char* const XMLLINT = "/usr/bin/xmllint";

TEST(SampleData, ServerAndClientXmlAreWellFormedForAwkwardValues) {
  ASSERT_EQ(access(XMLLINT, X_OK), 0) << "xmllint is missing: run scripts/setup.sh (libxml2-utils)";
  ScratchDir scratch;
  // "--" ends an XML comment: a value copied into a comment breaks the file.
  const std::string root = scratch / "sample--root/server-root";
  makeDirs(scratch / "sample--root");
  copyTree(sampleServerRoot(), root);
  const std::string docRoot = scratch / "docs--<R&D> \"it's\"";

  auto args = allOptions("a--b", currentUserName(), docRoot);
  args[1] = "www.a--b.test";   // -s
  args[15] = "pa--ss\"<&>'";   // -W
  ProcessResult r = runInstall(args, commandLineEnvironment(root));
  ASSERT_EQ(r.status, 0) << r.err;

  for (const char* name : {"server.xml", "mirel-acc.xml"}) {
    const std::string path = root + "/a--b/config/" + name;
    ProcessResult lint = runProcess({XMLLINT, "--noout", path}, {"PATH=/usr/bin:/bin"});
    EXPECT_EQ(lint.status, 0) << name << ":\n" << lint.err << readFile(path);
    // With every setting given, no token may survive: one that does is
    // misspelt in the template.
    EXPECT_EQ(readFile(path).find("%%%"), std::string::npos) << name << ":\n" << readFile(path);
  }
}

}  // namespace
