// The form-body parser on any bytes: refused exactly when the body holds a
// NUL, raw or encoded; otherwise equal to a plain decoding written from the
// rules, stable when its fields are encoded again, and what post_begin and
// get_cgi_var hand out.
#include <cstdlib>
#include <string>

#include "adminlib/adminlib.h"
#include "adminlib/adminlib_internal.h"
#include "fuzz/fuzz_support.h"

namespace {

const char kRawNul[] = "The form data holds a NUL byte, which is not allowed.";
const char kEncodedNul[] = "A form field holds an encoded NUL character (%00), which is not allowed.";

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// '+' is a blank, "%XX" a byte, any other '%' itself.
std::string decoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 && hexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Fields split at '&', empty pieces skipped, the name up to the first '=',
// the first value of a name kept.
adminlib::FormFields reference(const std::string& body) {
  adminlib::FormFields fields;
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    std::string piece = body.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    size_t equals = piece.find('=');
    std::string name = decoded(piece.substr(0, equals));
    std::string value = equals == std::string::npos ? "" : decoded(piece.substr(equals + 1));
    bool seen = false;
    for (const auto& field : fields) seen = seen || field.first == name;
    if (!seen) fields.emplace_back(name, value);
  }
  return fields;
}

// Every byte %XX-encoded: the strictest form a browser could send.
std::string encoded(const adminlib::FormFields& fields) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string body;
  for (const auto& field : fields) {
    if (!body.empty()) body += '&';
    for (unsigned char c : field.first) body += {'%', kHex[c >> 4], kHex[c & 15]};
    body += '=';
    for (unsigned char c : field.second) body += {'%', kHex[c >> 4], kHex[c & 15]};
  }
  return body;
}

// post_begin reads the same body through its CGI environment and must
// offer the same first value of every field.
void checkThroughPostBegin(const std::string& body, const adminlib::FormFields& fields) {
  if (body.size() > POST_BODY_LIMIT) return;  // refused for its size, ending the run
  setenv("CONTENT_LENGTH", std::to_string(body.size()).c_str(), 1);
  unsetenv("CONTENT_TYPE");
  FuzzFile in = readStream(reinterpret_cast<const uint8_t*>(body.data()), body.size());
  post_begin(in.get());
  for (const auto& field : fields) {
    const char* value = get_cgi_var(field.first.c_str(), nullptr, nullptr);
    FUZZ_CHECK(value && value == field.second, body + "\nfield: " + field.first);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  adminlib::FormFields fields;
  const std::string refusal = adminlib::parseFormBody(body, &fields);

  if (body.find('\0') != std::string::npos) {
    FUZZ_CHECK(refusal == kRawNul, body);
    return 0;
  }
  if (body.find("%00") != std::string::npos) {
    FUZZ_CHECK(refusal == kEncodedNul, body);
    return 0;
  }
  FUZZ_CHECK(refusal.empty(), body + "\nrefused: " + refusal);
  FUZZ_CHECK(fields == reference(body), body);

  adminlib::FormFields again;
  FUZZ_CHECK(adminlib::parseFormBody(encoded(fields), &again).empty() && again == fields, body);
  // Names that hold no NUL are what get_cgi_var can be asked for; all of them here.
  checkThroughPostBegin(body, fields);
  return 0;
}
