// SPDX-License-Identifier: GPL-3.0-or-later
// The CGI face: the install form on GET, the submission on POST.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/blackbox.h"

namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Cgi : public ::testing::Test {
 protected:
  Installation installation;
  std::string docRoot = installation.scratch / "docs";

  Fields completeForm(const std::string& id = "web1") {
    return {{"servname", "www.example.test"}, {"servport", optionsHttpPort()}, {"servid", id},
            {"servuser", currentUserName()},  {"mtahost", "localhost"}, {"dns", "off"},
            {"docroot", docRoot}};
  }

  ProcessResult post(const Fields& fields, const std::vector<std::string>& extraEnv = {}) {
    std::string body = formBody(fields);
    auto env = cgiEnvironment(installation.root, "POST", body);
    for (const std::string& extra : extraEnv) {
      const std::string name = extra.substr(0, extra.find('=') + 1);
      env.erase(std::remove_if(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(name, 0) == 0; }),
                env.end());
      env.push_back(extra);
    }
    return runInstall({}, env, body);
  }

  ProcessResult get(bool withQuery, const std::string& method = "GET") {
    auto env = cgiEnvironment(installation.root, method);
    if (withQuery) env.push_back("QUERY_STRING=");
    return runInstall({}, env);
  }
};

TEST_F(Cgi, FormShowsTheDefaultsAndTheFullDocumentationSwitch) {
  ProcessResult r = get(false);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("Content-type: text/html\n\n", 0), 0u) << r.out.substr(0, 80);
  EXPECT_TRUE(contains(r.out, "name=\"servport\" value=\"80\""));
  EXPECT_TRUE(contains(r.out, "name=\"mtahost\" value=\"localhost\""));
  EXPECT_TRUE(contains(r.out, "<hr width=80%>"));
  EXPECT_TRUE(contains(r.out, "value=\"off\" checked"));
  EXPECT_FALSE(contains(r.out, "value=\"on\" checked"));
  EXPECT_TRUE(contains(r.out,
                       "<tr><td rowspan=2><a href=index?0><img src=\"../icons/b-open.gif\" border=2 alt=\"\" width=55 "
                       "height=26></td>\n<td width=100% align=center rowspan=2><b>Full docs</b></td>\n"));
  EXPECT_TRUE(contains(r.out, "hwin.location='http://admin.example.test:8888/admin/bin/tutor?index'\"></td>\n"
                              "</tr></table>\n</form>\n"));
  EXPECT_TRUE(contains(r.out, "<td width=33% align=center><input type=submit value=\"   OK   \"></td>\n"));
  // The optional settings, empty; the password field never holds a value.
  for (const char* field : {"jmsport", "jmsadmin", "javahome"})
    EXPECT_TRUE(contains(r.out, "<input type=\"text\" name=\"" + std::string(field) + "\" size=40>\n")) << field;
  EXPECT_TRUE(contains(r.out, "<input type=\"password\" name=\"jmspassword\" size=40 autocomplete=new-password>\n"));
}

TEST_F(Cgi, EmptyQueryStringSelectsExpressMode) {
  ProcessResult r = get(true);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "<a href=index><img src=\"../icons/b-clsd.gif\""));
  EXPECT_TRUE(contains(r.out, "<b>Express mode</b>"));
}

TEST_F(Cgi, AnyMethodButExactlyPostShowsTheForm) {
  for (const char* method : {"post", "POSTX", "HEAD"}) {
    ProcessResult r = get(false, method);
    EXPECT_EQ(r.status, 0) << method;
    EXPECT_TRUE(contains(r.out, "name=\"servname\"")) << method;
  }
  EXPECT_FALSE(fileExists(installation.root + "/web1"));
}

TEST_F(Cgi, SubmissionCreatesTheInstanceAndShowsTheSuccessPage) {
  ProcessResult r = post(completeForm());
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_EQ(r.out.rfind("Content-type: text/html\n\n", 0), 0u);
  EXPECT_TRUE(contains(r.out, "Created new server <b>www.example.test (web1)</b>, listening to <b>port " +
                                  optionsHttpPort() + "</b>, and serving documents from the <b>" + docRoot +
                                  "</b> directory.<p>"));
  EXPECT_TRUE(contains(r.out, "<a href=\"/https-web1/bin/index\">Configure your new server...</a>\n"));
  EXPECT_TRUE(fileExists(installation.root + "/web1/bin/startserv"));
}

// The JMS and Java settings are optional answers with the command line's
// checks; what is left out stays a marker in server.xml, and the page says
// which and where. The password is never shown.
TEST_F(Cgi, TheOptionalSettingsReachTheInstanceOrAreNamedAsUnset) {
  const std::string password = "pw-&<\"'-secret";
  const std::string jmsPort = uniquePort(), web2Port = uniquePort(), web3Port = uniquePort(), web9Port = uniquePort();
  Fields given = completeForm();
  given.insert(given.end(), {{"jmsport", jmsPort}, {"jmsadmin", "jmsadmin"}, {"jmspassword", password},
                             {"javahome", "/usr/lib/jvm/given"}});
  ProcessResult r = post(given);
  ASSERT_EQ(r.status, 0) << r.out;
  const std::string xml = readFile(installation.root + "/web1/config/server.xml");
  EXPECT_TRUE(contains(xml, "<jms port=\"" + jmsPort + "\" admin-user=\"jmsadmin\" admin-password=\"pw-&amp;&lt;&quot;&apos;-secret\"")) << xml;
  EXPECT_TRUE(contains(xml, "<java home=\"/usr/lib/jvm/given\"")) << xml;
  EXPECT_FALSE(contains(xml, "%%%"));
  EXPECT_FALSE(contains(r.out, "No value was given"));
  EXPECT_FALSE(contains(r.out, "pw-")) << "the password is never shown";

  // Left out, or empty as a browser submits an empty field.
  const std::string note = "<p class=unset>No value was given for JMS port (%%%JMS_SERVICE_PORT%%%), JMS "
                           "administrator (%%%JMS_SERVICE_USER_NAME%%%), JMS administrator&#39;s password "
                           "(%%%JMS_SERVICE_PASSWORD%%%), Java home (%%%JAVA_HOME%%%): ";
  Fields empty = completeForm("web3");
  empty[1].second = web3Port;
  empty.insert(empty.end(), {{"jmsport", " "}, {"jmsadmin", ""}, {"jmspassword", ""}, {"javahome", "\t"}});
  for (const Fields& form : {completeForm("web2"), empty}) {
    Fields fields = form;
    if (fields[2].second == "web2") fields[1].second = web2Port;
    r = post(fields);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string file = installation.root + "/" + fields[2].second + "/config/server.xml";
    EXPECT_TRUE(contains(r.out, note + file + " keeps the marker of each where its value belongs; replace the markers "
                                              "there before the server uses them.</p>\n"))
        << r.out;
    EXPECT_TRUE(contains(readFile(file), "<jms port=\"%%%JMS_SERVICE_PORT%%%\" admin-user=\"%%%JMS_SERVICE_USER_NAME%%%\" "
                                         "admin-password=\"%%%JMS_SERVICE_PASSWORD%%%\""));
  }

  // The command line's checks, named by the form's labels in the messages' language.
  const struct {
    Fields extra;
    const char* lang;
    std::string message;
  } refused[] = {
      {{{"jmsport", "80x"}}, "LANG=C",
       "<h2>Port Number</h2>\n<p>The value &quot;80x&quot; of JMS port is not a port: give a whole number from 1 to "
       "65535, digits only.</p>"},
      {{{"jmsport", "80x"}}, "LANG=fr_FR.UTF-8",
       "<h2>Port Number</h2>\n<p>La valeur « 80x » de Port JMS n’est pas un port : donnez un nombre entier de 1 à "
       "65535, en chiffres seulement.</p>"},
      {{{"jmsport", web9Port}}, "LANG=C",
       "<h2>Server Port</h2>\n<p>The HTTP port and the JMS port are both " + web9Port + "; they must differ.</p>"},
      {{{"jmsport", jmsPort}}, "LANG=C",
       "<h2>Server Port</h2>\n<p>The port " + jmsPort + " is already used by the instance web1.</p>"},
      {{{"jmspassword", "pw-x\ny"}}, "LANG=C",
       "<p>The value of &quot;JMS administrator&#39;s password&quot; contains the control character \\n, which is not "
       "allowed.</p>"},
      {{{"jmspassword", "pw-x\ny"}}, "LANG=fr_FR.UTF-8",
       "<p>La valeur de « Mot de passe de l’administrateur JMS » contient le caractère de contrôle \\n, ce qui n’est "
       "pas autorisé.</p>"},
      {{{"javahome", "/usr/lib/jvm\x1b[2J"}}, "LANG=C",
       "<p>The value of &quot;Java home&quot; contains the control character \\x1b, which is not allowed.</p>"},
  };
  for (const auto& c : refused) {
    Fields fields = completeForm("web9");
    fields[1].second = web9Port;
    fields.insert(fields.end(), c.extra.begin(), c.extra.end());
    r = post(fields, {c.lang});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.out, c.message)) << r.out;
    EXPECT_FALSE(contains(r.out, "pw-")) << "the password is never shown";
  }
  EXPECT_FALSE(fileExists(installation.root + "/web9"));
}

// A success page template made before the note had its directive still
// gets the note, after the server's description.
TEST_F(Cgi, AnOlderSuccessPageStillSaysWhatIsUnset) {
  const std::string page = installation.root + "/admin-server/html/success.html";
  writeFile(page, replaceAll(readFile(page), "<!-- UNSET_SETTINGS -->\n", ""));
  ProcessResult r = post(completeForm());
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, " directory.<p><p class=unset>No value was given for JMS port (%%%JMS_SERVICE_PORT%%%)"))
      << r.out;
}

TEST_F(Cgi, SuccessPageEscapesValues) {
  docRoot = installation.scratch / "R&D<docs>";
  ProcessResult r = post(completeForm());
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_TRUE(contains(r.out, "R&amp;D&lt;docs&gt;"));
  EXPECT_FALSE(contains(r.out, "R&D<docs>"));
}

TEST_F(Cgi, EachMissingFieldIsRefusedInOrder) {
  struct Case {
    const char* field;
    const char* title;
    const char* message;
  } cases[] = {
      {"servname", "Server Name", "Please give a hostname for your server."},
      {"servport", "Server Port", "Please give a port number to run on."},
      {"servid", "Server Identifier", "Please give your server a short identifier."},
      {"servuser", "User to run as", "Please specify the user you wish to run your server as."},
      {"dns", "DNS level", "Please choose how often you want hostname resolutions to take place."},
      {"docroot", "Document Root", "Please specify a directory to contain your documents."},
  };
  auto before = installationTree(installation.root);
  for (const Case& c : cases) {
    Fields fields;
    for (const auto& field : completeForm())
      if (field.first != c.field) fields.push_back(field);
    ProcessResult r = post(fields);
    EXPECT_EQ(r.status, 3) << c.field;
    EXPECT_EQ(r.out.rfind("Content-type: text/html\n\n", 0), 0u) << c.field;
    EXPECT_TRUE(contains(r.out, c.title)) << c.field;
    EXPECT_TRUE(contains(r.out, c.message)) << c.field << "\n" << r.out;
  }
  // Both the port and the document root missing: only the port is named.
  Fields fields = {{"servname", "x"}, {"servid", "web1"}, {"servuser", "daemon"}, {"dns", "off"}};
  ProcessResult r = post(fields);
  EXPECT_TRUE(contains(r.out, "Please give a port number to run on."));
  EXPECT_FALSE(contains(r.out, "Please specify a directory"));
  EXPECT_EQ(installationTree(installation.root), before);
}

TEST_F(Cgi, IdentifierRefusals) {
  auto form = completeForm("9abc");
  ProcessResult r = post(form);
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(contains(r.out, "Server Identifier cannot start with a digit."));

  // The form's own text for an identifier in use, titled as the form titles it.
  const std::string inUse =
      "<h2>Server Identifier</h2>\n<p>The given server identifier is already in use.  Please pick another.</p>";
  makeDirs(installation.root + "/https-web1");
  r = post(completeForm("web1"));
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(contains(r.out, inUse)) << r.out;

  r = post(completeForm("lib"));
  EXPECT_TRUE(contains(r.out, inUse)) << r.out;

  // One a creation left unfinished: the way to clear it, in the form's title.
  makeDirs(installation.root + "/web2");
  r = post(completeForm("web2"));
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(contains(r.out, "<h2>Server Identifier</h2>\n<p>The server identifier web2 is held by a creation or a "
                              "removal that did not finish (" + installation.root + "/web2); run "))
      << r.out;
  EXPECT_TRUE(contains(r.out, "instancectl remove web2")) << r.out;
}

// A blank identifier field is empty, not in use; a control character is
// named by the field's label and shown, never written raw.
TEST_F(Cgi, AnswersAreRefusedForTheirOwnReasonInTheFormsTerms) {
  ProcessResult r = post(completeForm(""));
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(contains(r.out, "The server identifier is empty: give the server a short identifier.")) << r.out;
  EXPECT_FALSE(contains(r.out, "in use"));

  auto form = completeForm();
  form[0].second = "www\texample.test";
  r = post(form);
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(contains(r.out, "The value of &quot;Server name&quot; contains the control character \\t, which is not "
                              "allowed."))
      << r.out;
  EXPECT_FALSE(contains(r.out, "\t"));
  EXPECT_FALSE(fileExists(installation.root + "/web1"));
}

// The result page is checked before anything is made; should it vanish
// while the instance is made, the creation still reports success.
TEST_F(Cgi, ACreatedInstanceIsNeverReportedAsAFailure) {
  const std::string page = installation.root + "/admin-server/html/success.html";
  const std::string saved = readFile(page);
  std::remove(page.c_str());
  ProcessResult r = post(completeForm());
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(contains(r.out, "Cannot open the page template " + page)) << r.out;
  EXPECT_FALSE(fileExists(installation.root + "/web1"));

  writeFile(page, saved);
  const std::string generator = installation.root + "/lib/install/templates/makeScript";
  std::rename(generator.c_str(), (generator + ".real").c_str());
  writeFile(generator, "unlink '" + page + "'; do '" + generator + ".real'; die $@ if $@;\n");
  r = post(completeForm());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "<title>Server created</title>")) << r.out;
  EXPECT_TRUE(contains(r.out, "Created new server <b>www.example.test (web1)</b>"));
  EXPECT_TRUE(fileExists(installation.root + "/web1/config/server.xml"));
}

// Leading blanks of BREVIK_ROOT are skipped for the pages as for the instance.
TEST_F(Cgi, TheRootWithLeadingBlanksServesPagesAndInstanceAlike) {
  std::string body = formBody(completeForm());
  ProcessResult r = runInstall({}, cgiEnvironment("  " + installation.root, "POST", body), body);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(fileExists(installation.root + "/web1/config/server.xml"));
}

// The help link's values stand in a JavaScript string inside an HTML
// attribute: a quote in them must not end the string.
TEST_F(Cgi, TheHelpLinkKeepsQuotesOutOfItsScript) {
  auto env = cgiEnvironment(installation.root, "GET");
  for (std::string& entry : env)
    if (entry.rfind("SERVER_URL=", 0) == 0) entry = "SERVER_URL=http://a.test/'-alert(1)-'&\"<x>";
  ProcessResult r = runInstall({}, env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "hwin.location='http://a.test/\\x27-alert(1)-\\x27\\x26\\x22\\x3cx\\x3e/admin/bin/tutor?index'"))
      << r.out;
}

TEST_F(Cgi, RedirectNameSkipsEverythingElse) {
  ProcessResult r = post({{"servname", "Orvane Web Server Team"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Location: http://admin.example.test:8888/https-admserv/bin/index?jaws\n\n");
  r = post({{"servname", "Orvane Web Server Team and friends"}});
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(contains(r.out, "Please give a port number to run on."));
}

TEST_F(Cgi, BlankMailHostAndUnusualDnsValueAreAccepted) {
  auto form = completeForm();
  form[4].second = " \t ";
  form[5].second = "sometimes";
  ProcessResult r = post(form);
  EXPECT_EQ(r.status, 0) << r.out;
}

TEST_F(Cgi, FailedCreationShowsTheMessageOnAnErrorPage) {
  auto form = completeForm();
  form[3].second = "no-such-user-here";
  ProcessResult r = post(form);
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(contains(r.out, "The user &quot;no-such-user-here&quot; does not exist on this system."));
  EXPECT_FALSE(fileExists(installation.root + "/web1"));
}

TEST_F(Cgi, OversizeBodyIsRefused) {
  std::string body(70 * 1024, 'a');
  auto env = cgiEnvironment(installation.root, "POST", body);
  ProcessResult r = runInstall({}, env, body);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out.rfind("Content-type: text/html\n\n", 0), 0u);
}

}  // namespace
