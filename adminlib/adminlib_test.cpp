// SPDX-License-Identifier: GPL-3.0-or-later
#include "adminlib/adminlib.h"
#include "adminlib/adminlib_internal.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/testsupport.h"

namespace {

const char* const kEnvironment[] = {"REQUEST_METHOD", "CONTENT_LENGTH", "CONTENT_TYPE", "BREVIK_ROOT"};

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `body` in a child process whose standard input is `input` and whose
// outputs go to files in `scratch`; a child that returns from `body` exits 0.
Outcome inChild(const ScratchDir& scratch, const std::function<void()>& body, const std::string& input = "") {
  writeFile(scratch / "stdin", input);
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    int in = open((scratch / "stdin").c_str(), O_RDONLY);
    int out = open((scratch / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((scratch / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(100);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    reset_adminlib_state();
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(0);
  }
  Outcome outcome;
  int status = 0;
  waitpid(pid, &status, 0);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  outcome.out = readFile(scratch / "stdout");
  outcome.err = readFile(scratch / "stderr");
  return outcome;
}

// The error page as report_error writes it, header included.
std::string errorPage(const std::string& title, const std::string& escapedMessage) {
  return "Content-type: text/html\n\n<html>\n<head><title>" + title + "</title></head>\n<body>\n<h2>" + title +
         "</h2>\n<p>" + escapedMessage + "</p>\n</body>\n</html>\n";
}

class AdminLibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kEnvironment) {
      const char* value = std::getenv(name);
      saved_.emplace_back(value ? std::string(value) : std::string(), value != nullptr);
      unsetenv(name);
    }
    reset_adminlib_state();
  }
  void TearDown() override {
    for (size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i].second)
        setenv(kEnvironment[i], saved_[i].first.c_str(), 1);
      else
        unsetenv(kEnvironment[i]);
    }
    reset_adminlib_state();
  }

  // Posts `body` in this process (only for bodies that are accepted).
  void post(const std::string& body, const std::string& contentLength) {
    writeFile(scratch_ / "body", body);
    setenv("CONTENT_LENGTH", contentLength.c_str(), 1);
    FILE* in = std::fopen((scratch_ / "body").c_str(), "r");
    ASSERT_NE(in, nullptr);
    post_begin(in);
    std::fclose(in);
  }
  std::string field(const char* name) {
    const char* value = get_cgi_var(name, nullptr, nullptr);
    return value ? std::string(value) : std::string("<null>");
  }

  ScratchDir scratch_;
  std::vector<std::pair<std::string, bool>> saved_;
};

TEST_F(AdminLibTest, FormBodyDecoding) {
  struct Case {
    const char* body;
    std::vector<std::pair<const char*, const char*>> fields;  // name, expected value ("<null>": absent)
  } cases[] = {
      {"servname=web.example.com&servport=80", {{"servname", "web.example.com"}, {"servport", "80"}, {"x", "<null>"}}},
      {"a=b+c%20d%2B%2b", {{"a", "b c d++"}}},
      {"a=%41%4a%4A%7e", {{"a", "AJJ~"}}},
      {"a=%4&b=%zz&c=100%&d=%%41&e=%g1", {{"a", "%4"}, {"b", "%zz"}, {"c", "100%"}, {"d", "%A"}, {"e", "%g1"}}},
      {"a=1&a=2&A=3", {{"a", "1"}, {"A", "3"}}},
      {"flag&b=&=v", {{"flag", ""}, {"b", ""}, {"", "v"}}},
      {"&&a=1&", {{"a", "1"}}},
      {"", {{"a", "<null>"}, {"", "<null>"}}},
      {"na%6De=x&a+b=y", {{"name", "x"}, {"a b", "y"}}},
      {"a=x=y", {{"a", "x=y"}}},
      {"user=h%C3%A9l%C3%A8ne", {{"user", "h\xC3\xA9l\xC3\xA8ne"}}},
      {"a=%26%3D&b=2", {{"a", "&="}, {"b", "2"}}},
  };
  for (const Case& c : cases) {
    post(c.body, std::to_string(std::strlen(c.body)));
    for (const auto& f : c.fields) EXPECT_EQ(field(f.first), f.second) << "body " << c.body << ", field " << f.first;
  }
}

// The parser post_begin uses hands its refusal back instead of ending the run.
TEST(FormBodyParser, ReturnsFieldsOrTheRefusalText) {
  using namespace std::string_literals;
  const char rawNul[] = "The form data holds a NUL byte, which is not allowed.";
  const char encodedNul[] = "A form field holds an encoded NUL character (%00), which is not allowed.";
  struct Case {
    std::string body;
    std::string refusal;
    adminlib::FormFields fields;
  } cases[] = {
      {"a=1&&b=%41+&a=2&flag", "", {{"a", "1"}, {"b", "A "}, {"flag", ""}}},
      {"a=1&b\0=2"s, rawNul, {}},
      {"a=1&b=x%00y", encodedNul, {}},
      {"a=1&a=%00", encodedNul, {}},  // a repeated field is still decoded, and refused
      {"%00=1", encodedNul, {}},
      {"a=%%00", encodedNul, {}},
  };
  for (const Case& c : cases) {
    adminlib::FormFields fields{{"stale", "field"}};
    EXPECT_EQ(adminlib::parseFormBody(c.body, &fields), c.refusal) << c.body;
    if (c.refusal.empty()) {
      EXPECT_EQ(fields, c.fields) << c.body;
    }
  }
}

TEST_F(AdminLibTest, BodyIsReadToTheAnnouncedLengthOnly) {
  post("a=1&b=2", "3");
  EXPECT_EQ(field("a"), "1");
  EXPECT_EQ(field("b"), "<null>");

  std::string big = "a=" + std::string(POST_BODY_LIMIT - 2, 'x');
  post(big, std::to_string(big.size()));
  EXPECT_EQ(field("a").size(), POST_BODY_LIMIT - 2);

  // A new post forgets the old fields.
  post("c=3", "3");
  EXPECT_EQ(field("a"), "<null>");
  EXPECT_EQ(field("c"), "3");
}

TEST_F(AdminLibTest, RefusedBodiesEndTheRunWithAPage) {
  struct Case {
    const char* contentLength;  // null: unset
    const char* contentType;    // null: unset
    std::string body;
    std::string message;  // HTML-escaped
  } cases[] = {
      {nullptr, nullptr, "a=1", "The request did not say how long the form data is (CONTENT_LENGTH is missing)."},
      {"", nullptr, "a=1", "The request did not say how long the form data is (CONTENT_LENGTH is missing)."},
      {"abc", nullptr, "a=1", "The request gave an invalid form data length (CONTENT_LENGTH &quot;abc&quot;)."},
      {"-3", nullptr, "a=1", "The request gave an invalid form data length (CONTENT_LENGTH &quot;-3&quot;)."},
      {"+3", nullptr, "a=1", "The request gave an invalid form data length (CONTENT_LENGTH &quot;+3&quot;)."},
      {" 3", nullptr, "a=1", "The request gave an invalid form data length (CONTENT_LENGTH &quot; 3&quot;)."},
      {"65537", nullptr, "a=1", "The form data is too long: at most 65536 bytes are accepted."},
      {"99999999999999999999999999", nullptr, "a=1", "The form data is too long: at most 65536 bytes are accepted."},
      {"10", nullptr, "a=1", "The form data is incomplete: 10 bytes were announced, 3 arrived."},
      {"7", nullptr, "a=b%00c", "A form field holds an encoded NUL character (%00), which is not allowed."},
      {"5", nullptr, std::string("a=b\0c", 5), "The form data holds a NUL byte, which is not allowed."},
      {"3", "multipart/form-data; boundary=x", "a=1",
       "The form data has the content type &quot;multipart/form-data; boundary=x&quot;; expected "
       "application/x-www-form-urlencoded."},
  };
  for (const Case& c : cases) {
    Outcome o = inChild(
        scratch_,
        [&] {
          setenv("REQUEST_METHOD", "POST", 1);
          if (c.contentLength) setenv("CONTENT_LENGTH", c.contentLength, 1);
          if (c.contentType) setenv("CONTENT_TYPE", c.contentType, 1);
          post_begin(stdin);
        },
        c.body);
    EXPECT_EQ(o.status, REPORT_ERROR_STATUS) << c.message;
    EXPECT_EQ(o.out, errorPage("Form Data", c.message));
    EXPECT_EQ(o.err, "");
  }
}

TEST_F(AdminLibTest, FormContentTypeIsAccepted) {
  setenv("CONTENT_TYPE", "Application/X-WWW-Form-Urlencoded; charset=UTF-8", 1);
  post("a=1", "3");
  EXPECT_EQ(field("a"), "1");
}

TEST_F(AdminLibTest, ReportErrorOnTheCommandLine) {
  struct Case {
    const char* title;
    const char* message;
    const char* expected;
  } cases[] = {
      {"Server Name", "Please give a hostname for your server.", "Server Name: Please give a hostname for your server.\n"},
      {nullptr, "Cannot create the directory /x: Permission denied",
       "Cannot create the directory /x: Permission denied\n"},
      {nullptr, "first line\nsecond <line>", "first line\nsecond <line>\n"},
  };
  for (const Case& c : cases) {
    Outcome o = inChild(scratch_, [&] { report_error(3, c.title, c.message); });
    EXPECT_EQ(o.status, REPORT_ERROR_STATUS);
    EXPECT_EQ(o.err, c.expected);
    EXPECT_EQ(o.out, "");
  }
}

TEST_F(AdminLibTest, ReportErrorPageEscapesAndHonoursTheHeaderState) {
  auto cgi = [](const std::function<void()>& before) {
    return [before] {
      setenv("REQUEST_METHOD", "POST", 1);
      before();
      report_error(8, "Id <\"'&>", "Bad <b>value</b> & 'more'\nnext");
    };
  };
  const std::string body =
      "<html>\n<head><title>Id &lt;&quot;&#39;&amp;&gt;</title></head>\n<body>\n<h2>Id "
      "&lt;&quot;&#39;&amp;&gt;</h2>\n<p>Bad &lt;b&gt;value&lt;/b&gt; &amp; &#39;more&#39;\nnext</p>\n</body>\n</html>\n";

  Outcome fresh = inChild(scratch_, cgi([] {}));
  EXPECT_EQ(fresh.status, REPORT_ERROR_STATUS);
  EXPECT_EQ(fresh.out, "Content-type: text/html\n\n" + body);

  Outcome afterOwnHeader = inChild(scratch_, cgi([] {
                                     std::fputs("Content-type: text/html\n\n<p>started</p>\n", stdout);
                                     note_cgi_header_sent();
                                   }));
  EXPECT_EQ(afterOwnHeader.status, REPORT_ERROR_STATUS);
  EXPECT_EQ(afterOwnHeader.out, "Content-type: text/html\n\n<p>started</p>\n" + body);

  // A template opened first wrote the header line only: the page ends the header block.
  std::string root = scratch_ / "root";
  makeDirs(root + "/admin-server/html");
  writeFile(root + "/admin-server/html/install.html", "<html>\n");
  Outcome afterTemplate = inChild(scratch_, cgi([&] {
                                    setenv("BREVIK_ROOT", root.c_str(), 1);
                                    HtmlTemplatePtr page = open_html_file("install.html");
                                    report_error(8, "Id <\"'&>", "Bad <b>value</b> & 'more'\nnext");
                                  }));
  EXPECT_EQ(afterTemplate.status, REPORT_ERROR_STATUS);
  EXPECT_EQ(afterTemplate.out, "Content-type: text/html\n\n" + body);

  // The page of a null title is headed "Error".
  Outcome untitled = inChild(scratch_, [] {
    setenv("REQUEST_METHOD", "GET", 1);
    report_error(0, nullptr, "failed");
  });
  EXPECT_EQ(untitled.out, errorPage("Error", "failed"));
  EXPECT_EQ(untitled.err, "");
}

TEST_F(AdminLibTest, ValidatePort) {
  for (const char* port : {"1", "80", "8080", "65535"}) EXPECT_EQ(ValidatePort(port), 1) << port;

  for (const char* port : {"", "0", "00", "080", "65536", "99999", "100000", "-1", "+80", " 80", "80 ", "8a", "1e3",
                           "0x50", "80\n"}) {
    Outcome o = inChild(scratch_, [&] { ValidatePort(port); });
    EXPECT_EQ(o.status, REPORT_ERROR_STATUS) << '"' << port << '"';
    EXPECT_EQ(o.err, std::string("Port Number: The port \"") + port +
                         "\" is not valid: give a whole number from 1 to 65535, digits only.\n");
  }
  Outcome none = inChild(scratch_, [] { ValidatePort(nullptr); });
  EXPECT_EQ(none.err, "Port Number: The port \"\" is not valid: give a whole number from 1 to 65535, digits only.\n");

  Outcome page = inChild(scratch_, [] {
    setenv("REQUEST_METHOD", "POST", 1);
    ValidatePort("<80>");
  });
  EXPECT_EQ(page.status, REPORT_ERROR_STATUS);
  EXPECT_EQ(page.out, errorPage("Port Number",
                                "The port &quot;&lt;80&gt;&quot; is not valid: give a whole number from 1 to 65535, "
                                "digits only."));
}

TEST_F(AdminLibTest, OutputInput) {
  Outcome o = inChild(scratch_, [] {
    output_input("text", "servname", "web.example.com", "size=40");
    output_input("text", "servid", nullptr, "size=40");
    output_input("radio", "dns", "off", "checked");
    output_input("radio", "dns", "on", "");
    output_input("text", "x\"y", "a\"b<c>&'d", nullptr);
  });
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out,
            "<input type=\"text\" name=\"servname\" value=\"web.example.com\" size=40>\n"
            "<input type=\"text\" name=\"servid\" size=40>\n"
            "<input type=\"radio\" name=\"dns\" value=\"off\" checked>\n"
            "<input type=\"radio\" name=\"dns\" value=\"on\">\n"
            "<input type=\"text\" name=\"x&quot;y\" value=\"a&quot;b&lt;c&gt;&amp;&#39;d\">\n");
}

TEST_F(AdminLibTest, DirectiveIs) {
  struct Case {
    const char* line;
    const char* name;
    int expected;
  } cases[] = {
      {"<!-- SERVER_NAME -->\n", "SERVER_NAME", 1},
      {"<!-- SERVER_NAME -->", "SERVER_NAME", 1},
      {"  \t<!--SERVER_NAME-->  \r\n", "SERVER_NAME", 1},
      {"<!--   SERVER_NAME\t-->\n", "SERVER_NAME", 1},
      {"<!-- SERVER_NAME --> x\n", "SERVER_NAME", 0},
      {"x <!-- SERVER_NAME -->\n", "SERVER_NAME", 0},
      {"<!-- SERVER_NAME_X -->\n", "SERVER_NAME", 0},
      {"<!-- SERVER -->\n", "SERVER_NAME", 0},
      {"<!-- server_name -->\n", "SERVER_NAME", 0},
      {"<!-- SERVER_NAME\n", "SERVER_NAME", 0},
      {"<!-- DNS_ON --><!-- DNS_ON -->\n", "DNS_ON", 0},
      {"<!-- -->\n", "", 0},
      {"\n", "SERVER_NAME", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(directive_is(c.line, c.name), c.expected) << c.line << " / " << c.name;
}

TEST_F(AdminLibTest, ParseLineFullDocsMarker) {
  char full[] = "1";
  char express[] = "0";
  char* fullConfig[] = {full, nullptr};
  char* expressConfig[] = {express, nullptr};
  struct Case {
    const char* line;
    char** config;
    int kept;
    const char* after;
  } cases[] = {
      {"<!-- FULLDOCS -->Some help.\n", fullConfig, 1, "Some help.\n"},
      {"<!-- FULLDOCS -->Some help.\n", expressConfig, 0, nullptr},
      {"<!-- FULLDOCS --><!-- SERVER_NAME -->\n", fullConfig, 1, "<!-- SERVER_NAME -->\n"},
      {" <!-- FULLDOCS -->indented\n", expressConfig, 1, " <!-- FULLDOCS -->indented\n"},
      {"<p>plain</p>\n", expressConfig, 1, "<p>plain</p>\n"},
      {"<!-- SERVER_NAME -->\n", expressConfig, 1, "<!-- SERVER_NAME -->\n"},
      {"<!-- FULLDOCS -->\n", nullptr, 1, "\n"},
  };
  for (const Case& c : cases) {
    char line[HTML_LINE_SIZE];
    std::snprintf(line, sizeof line, "%s", c.line);
    EXPECT_EQ(parse_line(line, c.config), c.kept) << c.line;
    if (c.after) {
      EXPECT_STREQ(line, c.after) << c.line;
    }
  }
}

// The template, read as the install form reads it, with a stand-in output for directives.
void showTemplate(const char* name, char** config) {
  HtmlTemplatePtr page = open_html_file(name);
  char line[HTML_LINE_SIZE];
  while (next_html_line(page.get(), line)) {
    if (!parse_line(line, config)) continue;
    if (directive_is(line, "SERVER_NAME"))
      std::fputs("[server name]\n", stdout);
    else
      std::fputs(line, stdout);
  }
}

TEST_F(AdminLibTest, TemplatesInBothModes) {
  std::string root = scratch_ / "root";
  makeDirs(root + "/admin-server/html");
  writeFile(root + "/admin-server/html/form.html",
            "<html>\n"
            "<!-- FULLDOCS --><p>Long help.</p>\n"
            "  <!-- SERVER_NAME -->\n"
            "<!-- FULLDOCS --><!-- SERVER_NAME -->\n"
            "<!-- SERVER_NAME --> trailing\n"
            "</html>");
  char full[] = "1";
  char express[] = "0";
  char* fullConfig[] = {full, nullptr};
  char* expressConfig[] = {express, nullptr};

  Outcome fullPage = inChild(scratch_, [&] {
    setenv("BREVIK_ROOT", root.c_str(), 1);
    showTemplate("form.html", fullConfig);
  });
  EXPECT_EQ(fullPage.status, 0);
  EXPECT_EQ(fullPage.out,
            "Content-type: text/html\n<html>\n<p>Long help.</p>\n[server name]\n[server name]\n"
            "<!-- SERVER_NAME --> trailing\n</html>");

  Outcome expressPage = inChild(scratch_, [&] {
    setenv("BREVIK_ROOT", root.c_str(), 1);
    showTemplate("form.html", expressConfig);
  });
  EXPECT_EQ(expressPage.out,
            "Content-type: text/html\n<html>\n[server name]\n<!-- SERVER_NAME --> trailing\n</html>");

  // After the front end's own header the template adds none.
  Outcome afterHeader = inChild(scratch_, [&] {
    setenv("BREVIK_ROOT", root.c_str(), 1);
    std::fputs("Content-type: text/html\n\n", stdout);
    note_cgi_header_sent();
    showTemplate("form.html", expressConfig);
  });
  EXPECT_EQ(afterHeader.out,
            "Content-type: text/html\n\n<html>\n[server name]\n<!-- SERVER_NAME --> trailing\n</html>");
}

TEST_F(AdminLibTest, LongTemplateLinesComeInPieces) {
  std::string root = scratch_ / "root";
  makeDirs(root + "/admin-server/html");
  writeFile(root + "/admin-server/html/long.html", std::string(1500, 'x') + "\nend\n");
  Outcome o = inChild(scratch_, [&] {
    setenv("BREVIK_ROOT", root.c_str(), 1);
    HtmlTemplatePtr page = open_html_file("long.html");
    char line[HTML_LINE_SIZE];
    while (next_html_line(page.get(), line)) std::printf("%zu;", std::strlen(line));
  });
  EXPECT_EQ(o.out, "Content-type: text/html\n1023;478;4;");
}

TEST_F(AdminLibTest, TemplateThatCannotBeOpened) {
  std::string root = scratch_ / "root";
  struct Case {
    const char* brevikRoot;
    const char* name;
    std::string message;
  } cases[] = {
      {root.c_str(), "install.html",
       "Cannot open the page template " + root + "/admin-server/html/install.html: No such file or directory"},
      {nullptr, "install.html", "BREVIK_ROOT is not set: the page templates cannot be found."},
      {"", "install.html", "BREVIK_ROOT is not set: the page templates cannot be found."},
      {root.c_str(), "../config/init.conf", "The page template name is not a plain file name."},
  };
  for (const Case& c : cases) {
    Outcome o = inChild(scratch_, [&] {
      setenv("REQUEST_METHOD", "GET", 1);
      if (c.brevikRoot) setenv("BREVIK_ROOT", c.brevikRoot, 1);
      open_html_file(c.name);
    });
    EXPECT_EQ(o.status, REPORT_ERROR_STATUS) << c.message;
    EXPECT_EQ(o.out, errorPage("Page Template", c.message));
  }
}

TEST_F(AdminLibTest, GetMagVar) {
  std::string root = scratch_ / "root";
  makeDirs(root + "/admin-server/config");
  std::string conf = root + "/admin-server/config/init.conf";
  auto value = [](const char* name) {
    char* v = get_mag_var(name);
    return std::string(v ? v : "<null>");  // run-long copy: not ours to free
  };

  EXPECT_EQ(value("ServerName"), "<null>");  // BREVIK_ROOT unset
  setenv("BREVIK_ROOT", root.c_str(), 1);
  EXPECT_EQ(value("ServerName"), "<null>");  // no init.conf

  writeFile(conf,
            "#ServerName commented.example.com\n"
            "ServerNameX wrong.example.com\n"
            " ServerName indented.example.com\n"
            "ServerName   admin.example.com  \r\n"
            "ServerName second.example.com\n"
            "Port\t8888\n"
            "Empty\n"
            "Blank   \n"
            "Last value-without-line-end");
  EXPECT_EQ(value("ServerName"), "admin.example.com");
  EXPECT_EQ(value("Port"), "8888");
  EXPECT_EQ(value("Empty"), "<null>");
  EXPECT_EQ(value("Blank"), "<null>");
  EXPECT_EQ(value("Last"), "value-without-line-end");
  EXPECT_EQ(value("Missing"), "<null>");

  setenv("BREVIK_ROOT", "", 1);
  EXPECT_EQ(value("ServerName"), "<null>");
}

TEST_F(AdminLibTest, AdministrationConfiguration) {
  std::string root = scratch_ / "root";
  makeDirs(root + "/admin-server/config");
  writeFile(root + "/admin-server/config/init.conf", "ServerName admin.example.com\n");
  Outcome o = inChild(scratch_, [&] {
    setenv("BREVIK_ROOT", root.c_str(), 1);
    char** config = get_mult_adm_config(-1);
    config[0][0] = '0';
    char** again = get_mult_adm_config(-1);
    std::printf("%d|%s|%s|%s", again == config, again[0], again[1], again[2] ? "more" : "end");
  });
  EXPECT_EQ(o.out, "1|0|admin.example.com|end");
}

TEST_F(AdminLibTest, SmallHelpers) {
  EXPECT_FALSE(isCgiRequest());
  setenv("REQUEST_METHOD", "", 1);
  EXPECT_FALSE(isCgiRequest());
  setenv("REQUEST_METHOD", "GET", 1);
  EXPECT_TRUE(isCgiRequest());

  EXPECT_EQ(INTsystem_strdup(nullptr), nullptr);
  const char original[] = "text";
  char* copy = INTsystem_strdup(original);
  EXPECT_NE(copy, original);
  EXPECT_STREQ(copy, "text");

  std::string out = "x";
  appendHtmlEscaped(out, "<a href=\"q\">R&D's</a>");
  appendHtmlEscaped(out, nullptr);
  EXPECT_EQ(out, "x&lt;a href=&quot;q&quot;&gt;R&amp;D&#39;s&lt;/a&gt;");

  EXPECT_FALSE(cgi_header_sent());
  note_cgi_header_sent();
  EXPECT_TRUE(cgi_header_sent());
}

}  // namespace
