// SPDX-License-Identifier: GPL-3.0-or-later
// The submitted form: an application/x-www-form-urlencoded body read from
// standard input, CONTENT_LENGTH bytes long.
//
// Decoding, fixed so that every body has exactly one reading:
//   - fields are separated by '&'; empty pieces ("a=1&&b=2", a trailing '&')
//     are skipped;
//   - a field without '=' is a name with an empty value;
//   - in names and values '+' is a blank and "%XX" (two hexadecimal digits,
//     either case) the byte XX; a '%' not followed by two hexadecimal digits
//     ("%4", "%zz", a final "%") is kept as the character itself, and
//     decoding goes on with the character after it;
//   - "%00" (like a raw NUL byte in the body) is refused with the whole request: a C string cannot carry the
//     NUL, and cutting the value there would hand on a different value than
//     the one submitted;
//   - a field submitted more than once keeps its first value.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

#include "adminlib/adminlib.h"
#include "adminlib/adminlib_internal.h"

namespace {

const char kTitle[] = "Form Data";

adminlib::FormFields formFields;

[[noreturn]] void refuse(const std::string& message) { report_error(3, kTitle, message.c_str()); }

const char kRawNul[] = "The form data holds a NUL byte, which is not allowed.";
const char kEncodedNul[] = "A form field holds an encoded NUL character (%00), which is not allowed.";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes one name or value into `out`; false when it holds an encoded NUL.
bool decode(const std::string& text, std::string* out) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      *out += ' ';
    } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      char byte = static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      if (byte == '\0') return false;
      *out += byte;
      i += 2;
    } else {
      *out += c;
    }
  }
  return true;
}

// False when the field holds an encoded NUL.
bool addField(const std::string& piece, adminlib::FormFields* fields) {
  size_t equals = piece.find('=');
  std::string name;
  std::string value;
  if (!decode(piece.substr(0, equals), &name)) return false;
  if (equals != std::string::npos && !decode(piece.substr(equals + 1), &value)) return false;
  for (const auto& field : *fields)
    if (field.first == name) return true;
  fields->emplace_back(std::move(name), std::move(value));
  return true;
}

// CONTENT_LENGTH as a byte count: decimal digits only, at most POST_BODY_LIMIT.
size_t announcedLength() {
  const char* text = std::getenv("CONTENT_LENGTH");
  if (!text || !*text) refuse("The request did not say how long the form data is (CONTENT_LENGTH is missing).");
  size_t length = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9')
      refuse("The request gave an invalid form data length (CONTENT_LENGTH \"" + std::string(text) + "\").");
    length = length * 10 + static_cast<size_t>(*p - '0');
    if (length > POST_BODY_LIMIT)
      refuse("The form data is too long: at most " + std::to_string(POST_BODY_LIMIT) + " bytes are accepted.");
  }
  return length;
}

// A content type, when the request names one, must be the form encoding.
void checkContentType() {
  const char* type = std::getenv("CONTENT_TYPE");
  if (!type || !*type) return;
  static const char kForm[] = "application/x-www-form-urlencoded";
  size_t length = sizeof kForm - 1;
  bool matches = strncasecmp(type, kForm, length) == 0 &&
                 (type[length] == '\0' || type[length] == ';' || type[length] == ' ');
  if (!matches) refuse("The form data has the content type \"" + std::string(type) + "\"; expected " + kForm + ".");
}

}  // namespace

namespace adminlib {

void forgetForm() { formFields.clear(); }

std::string parseFormBody(const std::string& body, FormFields* fields) {
  fields->clear();
  if (body.find('\0') != std::string::npos) return kRawNul;
  size_t begin = 0;
  while (begin <= body.size()) {
    size_t end = body.find('&', begin);
    if (end == std::string::npos) end = body.size();
    if (end > begin && !addField(body.substr(begin, end - begin), fields)) return kEncodedNul;
    begin = end + 1;
  }
  return "";
}

}  // namespace adminlib

int post_begin(FILE* in) {
  formFields.clear();
  checkContentType();
  size_t length = announcedLength();
  std::string body(length, '\0');
  size_t received = in && length > 0 ? std::fread(&body[0], 1, length, in) : 0;
  if (received < length)
    refuse("The form data is incomplete: " + std::to_string(length) + " bytes were announced, " +
           std::to_string(received) + " arrived.");
  std::string refusal = adminlib::parseFormBody(body, &formFields);
  if (!refusal.empty()) {
    formFields.clear();
    refuse(refusal);
  }
  return 0;
}

char* get_cgi_var(const char* name, char* /*unused1*/, char* /*unused2*/) {
  if (!name) return nullptr;
  for (auto& field : formFields)
    if (field.first == name) return &field.second[0];
  return nullptr;
}
