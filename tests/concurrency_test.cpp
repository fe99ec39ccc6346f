// SPDX-License-Identifier: GPL-3.0-or-later
// Creations that meet: many at once in one installation, many at once for
// one identifier, and creations killed at random moments.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/blackbox.h"

namespace {

constexpr int RUNS_AT_ONCE = 20;
// Kills that must land inside a run, and the tries allowed for them: a kill
// after the run ended stages nothing and is tried again.
constexpr int KILLS_INSIDE = 20;
constexpr int KILL_TRIES = 90;
const std::string IN_USE = "The given server identifier is already in use.  Please pick another server identifier.\n";

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> splitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, ':');) fields.push_back(field);
  return fields;
}

// backups.conf read the way its reader expects it: head, empty line,
// entries, empty line, tags, "--EOF--". `complete` is false for anything
// else, a torn file above all.
struct CatalogueLines {
  bool complete = false;
  std::vector<std::string> entries, tags;
};

CatalogueLines parseCatalogue(const std::string& text) {
  CatalogueLines result;
  const std::string end = "--EOF--\n";
  if (text.size() < end.size() || text.compare(text.size() - end.size(), end.size(), end) != 0) return result;
  std::vector<std::string> lines = splitLines(text);
  size_t i = 0;
  if (lines.empty() || lines[i++] != "backups.conf:Version 4.0") return result;
  while (i < lines.size() && !lines[i].empty()) ++i;  // settings
  for (++i; i < lines.size() && !lines[i].empty(); ++i) {
    if (splitFields(lines[i]).size() < 4) return result;
    result.entries.push_back(lines[i]);
  }
  for (++i; i + 1 < lines.size(); ++i) result.tags.push_back(lines[i]);
  result.complete = i + 1 == lines.size() && lines[i] == "--EOF--";
  return result;
}

// The catalogue with its times (fourth field of an entry, first of a tag) blanked.
std::string withoutTimes(const std::string& text) {
  CatalogueLines catalogue = parseCatalogue(text);
  if (!catalogue.complete) return text;
  for (std::string& entry : catalogue.entries) {
    std::vector<std::string> fields = splitFields(entry);
    entry = replaceAll(entry, ":" + fields[2] + ":" + fields[3] + ":", ":" + fields[2] + ":T:");
  }
  for (std::string& tag : catalogue.tags) tag = "T" + tag.substr(tag.find(':'));
  std::string result = "backups.conf:Version 4.0\n\n";
  for (const std::string& entry : catalogue.entries) result += entry + "\n";
  result += "\n";
  for (const std::string& tag : catalogue.tags) result += tag + "\n";
  return result + "--EOF--\n";
}

// An instance as "relative path -> mode, owner, content", with its identifier
// and document root replaced by placeholders, so instances made under
// different identifiers compare equal when they are alike apart from times.
using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const std::string& instanceDir, const std::string& id, const std::string& docRoot) {
  auto normalise = [&](std::string text) { return replaceAll(replaceAll(text, docRoot, "<DOCS>"), id, "<ID>"); };
  Snapshot result;
  for (const std::string& entry : listTree(instanceDir)) {
    std::string path = instanceDir + "/" + entry;
    std::string content = entry.back() == '/' ? "" : readFile(path);
    if (entry == "config/backup/backups.conf") content = withoutTimes(content);
    std::ostringstream description;
    description << std::oct << fileMode(path) << std::dec << " uid " << fileOwner(path) << "\n" << normalise(content);
    result[normalise(entry)] = description.str();
  }
  return result;
}

// "" when equal, else the paths that differ.
std::string differences(const Snapshot& actual, const Snapshot& expected) {
  std::set<std::string> paths;
  for (const auto& item : actual) paths.insert(item.first);
  for (const auto& item : expected) paths.insert(item.first);
  std::string report;
  for (const std::string& path : paths) {
    auto a = actual.find(path), e = expected.find(path);
    if (a == actual.end()) report += "missing " + path + "\n";
    else if (e == expected.end()) report += "extra " + path + "\n";
    else if (a->second != e->second)
      report += "differs " + path + ":\n" + a->second + "\n---- expected:\n" + e->second + "\n";
  }
  return report;
}

// Seven entries and seven tags, all naming files of this instance, the last
// tag holding every entry at version 1.
void expectCatalogueOf(const std::string& instanceDir, const std::string& id) {
  CatalogueLines catalogue = parseCatalogue(readFile(instanceDir + "/config/backup/backups.conf"));
  ASSERT_TRUE(catalogue.complete) << id;
  ASSERT_EQ(catalogue.entries.size(), 7u) << id;
  ASSERT_EQ(catalogue.tags.size(), 7u) << id;
  std::vector<std::string> names;
  for (const std::string& entry : catalogue.entries) {
    std::vector<std::string> fields = splitFields(entry);
    names.push_back(fields[0]);
    EXPECT_EQ(fields[1].rfind(instanceDir + "/config/", 0), 0u) << entry;
  }
  EXPECT_EQ(names, (std::vector<std::string>{id + ".acl", "init.conf", "obj.conf", id + "-obj.conf", "server.xml",
                                             "mirel-acc.xml", "keyfile"}));
  EXPECT_EQ(catalogue.tags.back().substr(catalogue.tags.back().find(':')),
            ":" + id + ".acl/1:init.conf/1:obj.conf/1:" + id + "-obj.conf/1:server.xml/1:mirel-acc.xml/1:keyfile/1::");
}

std::vector<std::string> withPortsReused(std::vector<std::string> env) {
  env.push_back("INSTALL_CHECK_PORTS=no");
  return env;
}

class Concurrency : public ::testing::Test {
 protected:
  Installation installation;
  // Every run uses the same ports: these tests are about the runs meeting.
  std::vector<std::string> env = withPortsReused(commandLineEnvironment(installation.root));
  std::string user = currentUserName();
  const std::string referenceId = "refer0";
  std::string referenceDocs = installation.scratch / "docs-refer0";
  Snapshot reference;
  std::chrono::duration<double> creationTime{1e9};  // the fastest of three clean runs

  std::string instance(const std::string& id) const { return installation.root + "/" + id; }

  std::vector<std::string> command(const std::string& id, const std::string& docRoot) const {
    return installCommand(allOptions(id, user, docRoot));
  }

  // A clean creation, one at a time, to compare the others with; also
  // measures how long a creation takes here.
  void SetUp() override {
    for (const char* id : {"timed0", "timed1", referenceId.c_str()}) {
      auto start = std::chrono::steady_clock::now();
      ProcessResult r = runProcess(command(id, installation.scratch / ("docs-" + std::string(id))), env);
      creationTime = std::min<std::chrono::duration<double>>(creationTime, std::chrono::steady_clock::now() - start);
      ASSERT_EQ(r.status, 0) << r.err;
    }
    for (const char* id : {"timed0", "timed1"}) {
      removeTree(instance(id));
      removeTree(installation.scratch / ("docs-" + std::string(id)));
    }
    reference = snapshot(instance(referenceId), referenceId, referenceDocs);
  }

  void expectLikeTheReference(const std::string& id, const std::string& docRoot) {
    EXPECT_EQ(differences(snapshot(instance(id), id, docRoot), reference), "") << id;
    expectCatalogueOf(instance(id), id);
    EXPECT_EQ(listTree(docRoot), listTree(referenceDocs)) << docRoot;
    for (const std::string& document : listTree(referenceDocs))
      EXPECT_EQ(readFile(docRoot + "/" + document), readFile(referenceDocs + "/" + document)) << document;
  }

  // The state `instancectl list --json` gives the instance `id`.
  std::string listedState(const std::string& id) {
    ProcessResult listed = runProcess({INSTANCECTL_BINARY, "list", "--json"}, env);
    for (const auto& entry : nlohmann::json::parse(listed.out))
      if (entry["id"] == id) return entry["state"];
    return "(not listed)";
  }

  std::string unfinished(const std::string& id) const {
    return "The server identifier " + id + " is held by a creation or a removal that did not finish (" + instance(id) +
           "); run \"instancectl remove " + id + "\" to clear it, then try again.\n";
  }

  std::vector<std::string> brokenEntries() const {
    std::vector<std::string> broken;
    for (const std::string& entry : installationTree(installation.root))
      if (entry.rfind("broken.", 0) == 0) broken.push_back(entry);
    return broken;
  }
};

std::string successLine(const std::string& id, const std::string& docRoot) {
  return "Created new Server www.example.test (" + id + "), \nlistening to port " + optionsHttpPort() +
         " \n and serving documents from " + docRoot + " directory.\n";
}

std::string runId(int i) { return "conc" + std::string(i < 10 ? "0" : "") + std::to_string(i); }

// All started before any is waited for; they share one new document root.
TEST_F(Concurrency, TwentyDifferentIdentifiersAtOnceAllSucceed) {
  const std::string docRoot = installation.scratch / "docs-shared";
  std::vector<StartedProcess> runs;
  for (int i = 0; i < RUNS_AT_ONCE; ++i) runs.push_back(startProcess(command(runId(i), docRoot), env));
  for (int i = 0; i < RUNS_AT_ONCE; ++i) {
    ProcessResult r = waitProcess(runs[i]);
    EXPECT_EQ(r.status, 0) << runId(i) << ": " << r.err;
    EXPECT_EQ(r.err, successLine(runId(i), docRoot));
    EXPECT_EQ(r.out, "");
  }
  for (int i = 0; i < RUNS_AT_ONCE; ++i) expectLikeTheReference(runId(i), docRoot);
  EXPECT_EQ(brokenEntries(), std::vector<std::string>{});
}

TEST_F(Concurrency, TwentyRunsForOneIdentifierAtOnceOnlyOneWins) {
  const std::string id = "same01", docRoot = installation.scratch / "docs-same01";
  std::vector<std::string> before = installationTree(installation.root);
  std::vector<StartedProcess> runs;
  for (int i = 0; i < RUNS_AT_ONCE; ++i) runs.push_back(startProcess(command(id, docRoot), env));
  int winners = 0;
  for (int i = 0; i < RUNS_AT_ONCE; ++i) {
    ProcessResult r = waitProcess(runs[i]);
    if (r.status == 0) {
      ++winners;
      EXPECT_EQ(r.err, successLine(id, docRoot));
    } else {
      EXPECT_EQ(r.status, 254) << r.err;
      EXPECT_EQ(r.err, IN_USE);
    }
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(winners, 1);
  expectLikeTheReference(id, docRoot);
  EXPECT_EQ(brokenEntries(), std::vector<std::string>{});
  // Nothing else in the installation changed: no set-aside remains, no other entry.
  std::vector<std::string> after;
  for (const std::string& entry : installationTree(installation.root))
    if (entry.rfind(id + "/", 0) != 0) after.push_back(entry);
  EXPECT_EQ(after, before);
}

// Runs at once that check their ports take turns under the lock of the
// instances root: of those asking for one port, exactly one gets it.
TEST_F(Concurrency, TwelveRunsAtOnceForOnePortGiveItToExactlyOne) {
  constexpr int RUNS = 12;
  const std::vector<std::string> checked = commandLineEnvironment(installation.root);
  const std::string port = uniquePort();
  std::vector<StartedProcess> runs;
  for (int i = 0; i < RUNS; ++i) {
    std::vector<std::string> args = allOptions(runId(i), user, installation.scratch / ("docs-" + runId(i)));
    args[3] = port;
    args[11] = uniquePort();
    runs.push_back(startProcess(installCommand(args), checked));
  }
  std::vector<std::string> winners;
  for (int i = 0; i < RUNS; ++i) {
    ProcessResult r = waitProcess(runs[i]);
    if (r.status == 0) winners.push_back(runId(i));
  }
  ASSERT_EQ(winners.size(), 1u);
  for (int i = 0; i < RUNS; ++i) EXPECT_EQ(fileExists(instance(runId(i))), runId(i) == winners[0]) << runId(i);
  EXPECT_EQ(brokenEntries(), std::vector<std::string>{});

  // And the refusal names the winner, as for any instance holding the port.
  std::vector<std::string> args = allOptions("late", user, installation.scratch / "docs-late");
  args[3] = port;
  ProcessResult late = runProcess(installCommand(args), checked);
  EXPECT_EQ(late.status, 3);
  EXPECT_EQ(late.err, "The port " + port + " is already used by the instance " + winners[0] + ".\n");
}

TEST_F(Concurrency, TwelveRunsAtOnceForDistinctPortsAllSucceed) {
  constexpr int RUNS = 12;
  const std::vector<std::string> checked = commandLineEnvironment(installation.root);
  std::vector<StartedProcess> runs;
  for (int i = 0; i < RUNS; ++i) {
    std::vector<std::string> args = allOptions(runId(i), user, installation.scratch / ("docs-" + runId(i)));
    args[3] = uniquePort();
    args[11] = uniquePort();
    runs.push_back(startProcess(installCommand(args), checked));
  }
  for (int i = 0; i < RUNS; ++i) {
    ProcessResult r = waitProcess(runs[i]);
    EXPECT_EQ(r.status, 0) << runId(i) << ": " << r.err;
    EXPECT_TRUE(fileExists(instance(runId(i)) + "/config/answers.conf")) << runId(i);
  }
}

// The lock is the kernel's: a holder killed at any moment leaves nothing
// that keeps the next run waiting.
TEST_F(Concurrency, ARunKilledWhileHoldingTheLockDoesNotBlockTheNext) {
  std::vector<std::string> held = installCommand(allOptions("holder", user, installation.scratch / "docs-holder"),
                                                 {"/usr/bin/strace", "-f", "-o", "/dev/null", "-e",
                                                  "inject=mkdir:delay_exit=2000000"});
  std::vector<std::string> traced = env;
  traced.push_back("ASAN_OPTIONS=detect_leaks=0");  // LeakSanitizer cannot run under a tracer
  StartedProcess holder = startProcess(held, traced, "", true);
  ASSERT_TRUE(eventually([&] { return fileExists(instance("holder")); }))
      << "the holder never claimed its identifier";
  kill(-holder.pid(), SIGKILL);
  waitProcess(holder);

  // A lock left held would keep the next run waiting its 60 seconds, then
  // refuse it; a busy machine makes no creation take that long.
  auto start = std::chrono::steady_clock::now();
  ProcessResult next = runProcess(command("next01", installation.scratch / "docs-next01"), env);
  EXPECT_EQ(next.status, 0) << next.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(55));
}

// The lock file is opened without following a link or waiting on a FIFO,
// and must be a plain file of the user running the tool.
TEST_F(Concurrency, ALockFileThatIsNotThisUsersPlainFileIsRefused) {
  const std::string lock = installation.root + "/.instances.lock";
  const std::string target = installation.scratch / "target";
  writeFile(target, "untouched\n", 0600);
  const struct {
    const char* what;
    int (*plant)(const std::string& lock, const std::string& target);
  } plants[] = {
      {"a link", [](const std::string& l, const std::string& t) { return symlink(t.c_str(), l.c_str()); }},
      {"a FIFO", [](const std::string& l, const std::string&) { return mkfifo(l.c_str(), 0600); }},
      {"a second name", [](const std::string& l, const std::string& t) { return link(t.c_str(), l.c_str()); }},
  };
  for (const auto& plant : plants) {
    SCOPED_TRACE(plant.what);
    std::remove(lock.c_str());
    ASSERT_EQ(plant.plant(lock, target), 0);
    std::vector<std::string> before = installationTree(installation.root);
    ProcessResult r = runProcess(installCommand(allOptions("web1", user, installation.scratch / "docs"),
                                                {"/usr/bin/timeout", "-s", "KILL", "60"}),
                                 env);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "Refusing to use the lock file " + lock +
                         ": it is not a plain file of the user running the tool, with one name.\n");
    EXPECT_EQ(installationTree(installation.root), before);
    EXPECT_EQ(readFile(target), "untouched\n");
    EXPECT_EQ(fileMode(target), 0600);
  }
}

// What "a half-written configuration file that a later run would take for a
// finished one" means here, and what a killed run must leave:
// - backups.conf is empty (the catalogue was not closed yet) or complete and
//   parseable, never torn; when complete, every file it lists, and its
//   backup copy, is whole (equal to the clean creation's), since it is the
//   one file that later readers take as the record of a finished configuration;
// - no later run builds on the remains: as long as the killed run's instance
//   directory exists, instancectl lists it as incomplete until it is whole, and
//   a run with the same identifier is refused (with the way to clear it) and
//   changes nothing, so no partly written file is ever taken over;
// - once instancectl remove has cleared the remains, the identifier works
//   again and yields a complete instance and document root, handed over as a
//   clean run hands it over. The document root is the killed run's and the
//   retry's: a home page there counts as "already filled", so a killed run
//   must never leave one behind the others.
TEST_F(Concurrency, KilledCreationsLeaveNothingTakenForFinished) {
  const std::string id = "killed", docRoot = installation.scratch / "docs-killed";
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  // Kills fall anywhere in a clean run's time; when a run ends before its
  // kill, the machine has become faster and later kills aim earlier.
  double window = creationTime.count();
  std::map<std::string, int> outcomes;
  int killedInside = 0;
  for (int trial = 0; trial < KILL_TRIES && killedInside < KILLS_INSIDE; ++trial) {
    const double delay = std::uniform_real_distribution<double>(0.0, window)(random);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", trial " + std::to_string(trial) + ", kill after " +
                 std::to_string(delay) + " s");
    StartedProcess run = startProcess(command(id, docRoot), env, "", true);
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    kill(-run.pid(), SIGKILL);  // the tool and the script generator it may be running
    ProcessResult killed = waitProcess(run);
    ASSERT_TRUE(killed.status == 128 + SIGKILL || killed.status == 0) << killed.status << " " << killed.err;
    if (killed.status == 0) window *= 0.8;
    else ++killedInside;
    const bool claimed = fileExists(instance(id)), docRootMade = fileExists(docRoot);

    const std::string catalogue = readFile(instance(id) + "/config/backup/backups.conf");
    if (!catalogue.empty()) {
      CatalogueLines lines = parseCatalogue(catalogue);
      ASSERT_TRUE(lines.complete) << "torn catalogue:\n" << catalogue;
      Snapshot remains = snapshot(instance(id), id, docRoot);
      for (const std::string& entry : lines.entries) {
        std::vector<std::string> fields = splitFields(entry);
        std::string file = replaceAll(fields[4], instance(id) + "/", "");  // the description names the live file
        std::string copy = replaceAll(fields[1], instance(id) + "/", "");
        for (const std::string& relative : {file, copy}) {
          std::string key = replaceAll(relative, id, "<ID>");
          // Modes and owners are narrowed after the catalogue closes: compare contents only.
          auto content = [](const std::string& item) { return item.substr(item.find('\n')); };
          ASSERT_TRUE(remains.count(key)) << relative;
          EXPECT_EQ(content(remains[key]), content(reference[key])) << relative;
        }
      }
    }

    if (claimed) {
      // Listed as incomplete until the creation is whole; refused the way
      // the listing says, and cleared by instancectl remove.
      std::vector<std::string> before = installationTree(installation.root);
      Snapshot remains = snapshot(instance(id), id, docRoot);
      const std::string state = listedState(id);
      if (state != "incomplete") {
        EXPECT_EQ(state, "stopped");
        EXPECT_EQ(differences(remains, reference), "") << "listed as made, but not whole";
      }
      ProcessResult refused = runProcess(command(id, docRoot), env);
      EXPECT_EQ(refused.status, 254);
      EXPECT_EQ(refused.err, state == "incomplete" ? unfinished(id) : IN_USE);
      EXPECT_EQ(installationTree(installation.root), before);
      EXPECT_EQ(differences(snapshot(instance(id), id, docRoot), remains), "");
      ProcessResult removed = runProcess({INSTANCECTL_BINARY, "remove", id}, env);
      EXPECT_EQ(removed.status, 0) << removed.err;
    }
    ++outcomes[killed.status == 0 ? "finished"
               : !claimed         ? "killed before the claim"
               : !docRootMade     ? "killed before the document root"
               : catalogue.empty() ? "killed filling the document root"
                                   : "killed after closing the catalogue"];

    ProcessResult retry = runProcess(command(id, docRoot), env);
    ASSERT_EQ(retry.status, 0) << retry.err;
    expectLikeTheReference(id, docRoot);
    EXPECT_EQ(fileOwner(docRoot), fileOwner(referenceDocs)) << "handed over as a clean run hands it over";
    removeTree(instance(id));
    removeTree(docRoot);
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(brokenEntries(), std::vector<std::string>{});
  std::cout << "kill trials (creation " << creationTime.count() << " s, seed " << seed << "):";
  for (const auto& [outcome, count] : outcomes) std::cout << " " << outcome << " " << count << ";";
  std::cout << "\n";
  EXPECT_EQ(killedInside, KILLS_INSIDE) << "too few kills landed inside a run in " << KILL_TRIES << " tries";
}

}  // namespace
