// SPDX-License-Identifier: GPL-3.0-or-later
// The creation plan: every check that can refuse a creation and every step
// that makes it, from the server root to the final sync, as one table of
// rows. Each row says what it must know before it acts (its check) and what
// it does (its effect, where it has one).
//
// Two runners go through the table. The one that creates checks each row and
// then applies it, stopping at the first problem; the check-only one (-n,
// the Ansible module's check mode) only checks, and gathers every problem.
// Both are the same sequence of checks, so that a check-only run foretells
// the creation. The faces (the command line, the form) call the one entry
// with their declared policy: how they name the answers, how they title and
// number each kind of problem, and the rules that are theirs alone.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "instance/record.h"
#include "messages/messages.h"

// The answers a face gives, each named its own way by each face.
enum class Answer {
  None,
  ServerName,
  Port,
  ServerId,
  ServerUser,
  DnsMode,
  DocRoot,
  JmsPort,
  JmsAdminUser,
  JmsAdminPassword,
  JavaHome,
};
constexpr size_t ANSWER_COUNT = 11;

// What a problem is about, by which a face titles and numbers it.
enum class Topic {
  ServerRoot,  // the installation the root names
  Missing,     // an answer the face asks for was not given
  Port,        // a port answer that is not a port
  ServerId,    // an identifier that cannot name an instance
  InUse,       // an identifier another instance has
  Page,        // the face's result page cannot be shown
  Settings,    // the installation settings file
  Answer,      // an answer refused for its characters, or the password
  Ports,       // ports that are one, or taken
  Creation,    // everything else, and every failure of the creation itself
};
constexpr size_t TOPIC_COUNT = 10;

// A text a face gives: its own fixed text, or the text of a key of the
// message bundle, in the language of the run. Both null: no text.
struct FaceText {
  const char* fixed;
  const char* key;
};
constexpr FaceText fixedText(const char* text) { return {text, nullptr}; }
constexpr FaceText bundleText(const char* key) { return {nullptr, key}; }

// How a face names one answer.
struct AnswerPolicy {
  FaceText label;           // in messages ("-p", "Server port"); none: the record field's name
  FaceText title;           // the title of problems about it when the topic has none ("HTTP port")
  const char* missingText;  // refusal of an answer not given; null: an unset answer is passed over
};

// How a face titles and numbers the problems of one topic.
struct TopicPolicy {
  const char* title;  // null: the problem's answer's title, or none
  int type;           // report_error's type (the form)
  int status;         // the exit status of the run (the command line)
};

// A face's declared policy: how it names what it asks for and reports, and
// the rules that are its own. Another face is another value of this record.
struct FacePolicy {
  const char* rootSource = "serverRoot";  // where the server root came from ("ZORA_SERVER_HOME")
  AnswerPolicy answers[ANSWER_COUNT] = {};
  TopicPolicy topics[TOPIC_COUNT] = {};
  const char* digitRefusal = nullptr;  // refusal of an identifier starting with a digit; null: allowed
  const char* inUseText = nullptr;     // the face's own text for an identifier in use; null: the bundle's
  const char* resultPage = nullptr;    // a page template that must open before anything is made
  const char* passwordFile = nullptr;  // the JMS password is read from this file ("-": standard input)

  AnswerPolicy& answer(Answer which) { return answers[static_cast<size_t>(which)]; }
  const AnswerPolicy& answer(Answer which) const { return answers[static_cast<size_t>(which)]; }
  TopicPolicy& topic(Topic which) { return topics[static_cast<size_t>(which)]; }
  const TopicPolicy& topic(Topic which) const { return topics[static_cast<size_t>(which)]; }
};

// One problem: its topic, the answer it is about (None for most), its text,
// already safe to show (escaped where it holds what a user gave), and the
// title the face gives it, in the language of the text (set by the plan).
struct Problem {
  Topic topic = Topic::Creation;
  Answer answer = Answer::None;
  Message text;
  std::optional<std::string> title;
  explicit operator bool() const { return static_cast<bool>(text); }
};

// The title (the problem's own; null when it has none), report_error type
// and exit status a face gives `problem`.
struct ProblemNaming {
  const char* title;
  int type;
  int status;
};
ProblemNaming nameProblem(const Problem& problem, const FacePolicy& policy);

// `problem` as one line of a face that writes lines: "<title>: <text>", or
// the text alone when the face gives it no title.
std::string problemLine(const Problem& problem, const FacePolicy& policy);

enum class Runner {
  Check,  // checks every row and gathers every problem; makes, changes and removes nothing
  Create  // checks each row and then applies it; stops at the first problem
};

struct PlanResult {
  // Create: none when the instance was made, else the first problem (a
  // failure after the instance directory was claimed carries, on a line of
  // its own, where its remains were set aside). Check: every problem, in
  // the order of the rows, each text once.
  std::vector<Problem> problems;
  std::vector<Message> notes;  // Check: what the creation would pass over without failing
  Message conclusion;          // Check, no problem: ERR_CHECK_PASSED naming the instance directory
  // The settings config/server.xml gets no value for, which it keeps as
  // their template markers (ERR_UNSET_SETTINGS, naming each as the face
  // names the answer or as install.defaults names the setting, and the
  // file); none when every one has a value. Create: set on success. Check:
  // set once the installation settings are read.
  Message unsetSettings;
};

// "" when the record's server root is an absolute path free of control
// characters; else the English line that refuses it, naming `source`, where
// the root came from. (No bundle can be opened from such a root.)
std::string serverRootProblem(const InstanceRecord* record, const char* source);

// "" when the record's server root, an absolute path (serverRootProblem),
// is a directory holding an installation whose message bundle opens: the
// bundle is then open in `bundle` (rBundle for as long as it lives; one
// already there is kept). Else the English line that says what the root
// lacks, naming `source`, where the root came from, and `bundle` is empty.
// (No text of the bundle can say it.)
std::string openInstallation(const InstanceRecord* record, const char* source,
                             std::optional<ScopedMessageBundle>* bundle);

// Runs the plan for `record` (filled by the face: cleared, given its
// defaults and the face's answers) as `policy` names it. The message bundle
// of the server root is opened once, as soon as the root is known to be an
// installation, and closed before returning; the texts of the result stay
// valid. Sets the process umask to 022, so that every file the creation
// makes has the mode the plan gives it. A record that asks for no creation
// (createRequested and selectedPackages[0] both 0) runs no row.
PlanResult runCreationPlan(const InstanceRecord& record, const FacePolicy& policy, Runner runner);
