// SPDX-License-Identifier: GPL-3.0-or-later
// The form-body parser, twice per input (the cases it must get right one
// by one are the tables in adminlib/adminlib_test.cpp):
//   - the input as a body: refused with its fixed text exactly when it holds
//     a NUL, raw or as "%00"; otherwise every name comes once, the fields
//     encoded again read back the same, and post_begin and get_cgi_var
//     hand out the same first values;
//   - fields taken from the input, written as a browser could send them
//     (each byte as itself where it may stand so, or %XX in either case, a
//     blank also as '+', with repeated names, empty pieces and fields
//     without '='): read back as written, the first value of each name kept.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "adminlib/adminlib.h"
#include "adminlib/adminlib_internal.h"
#include "fuzz/fuzz_support.h"

namespace {

const char kRawNul[] = "The form data holds a NUL byte, which is not allowed.";
const char kEncodedNul[] = "A form field holds an encoded NUL character (%00), which is not allowed.";

std::string percent(unsigned char c, bool lower) {
  const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
  return {'%', digits[c >> 4], digits[c & 15]};
}

// Every byte %XX-encoded: the strictest form a browser could send.
std::string encoded(const adminlib::FormFields& fields) {
  std::string body;
  for (const auto& field : fields) {
    if (!body.empty()) body += '&';
    for (unsigned char c : field.first) body += percent(c, false);
    body += '=';
    for (unsigned char c : field.second) body += percent(c, false);
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

void checkAsBody(const std::string& body) {
  adminlib::FormFields fields;
  const std::string refusal = adminlib::parseFormBody(body, &fields);
  if (body.find('\0') != std::string::npos) {
    FUZZ_CHECK(refusal == kRawNul, body);
    return;
  }
  if (body.find("%00") != std::string::npos) {
    FUZZ_CHECK(refusal == kEncodedNul, body);
    return;
  }
  FUZZ_CHECK(refusal.empty(), body + "\nrefused: " + refusal);
  for (size_t i = 0; i < fields.size(); ++i)
    for (size_t j = 0; j < i; ++j) FUZZ_CHECK(fields[i].first != fields[j].first, body + "\ntwice: " + fields[i].first);
  adminlib::FormFields again;
  FUZZ_CHECK(adminlib::parseFormBody(encoded(fields), &again).empty() && again == fields, body);
  checkThroughPostBegin(body, fields);
}

// `text` written byte by byte as the provider chooses; `special` are the
// bytes that may not stand for themselves there.
std::string written(const std::string& text, const std::string& special, FuzzedDataProvider& choices) {
  std::string out;
  for (unsigned char c : text) {
    const int how = choices.ConsumeIntegralInRange(0, 3);
    if (how == 0 && special.find(static_cast<char>(c)) == std::string::npos) out += static_cast<char>(c);
    else if (how == 1 && c == ' ') out += '+';
    else out += percent(c, how == 2);
  }
  return out;
}

void checkWrittenFields(FuzzedDataProvider& provider) {
  adminlib::FormFields expected;
  std::string body;
  for (int n = 0; n < 12 && provider.remaining_bytes() > 0; ++n) {
    if (provider.ConsumeBool()) body += '&';  // an empty piece, or none where it leads
    std::string name = provider.ConsumeRandomLengthString(12), value = provider.ConsumeRandomLengthString(24);
    name.erase(std::remove(name.begin(), name.end(), '\0'), name.end());
    value.erase(std::remove(value.begin(), value.end(), '\0'), value.end());
    if (!expected.empty() && provider.ConsumeBool())
      name = expected[provider.ConsumeIntegralInRange<size_t>(0, expected.size() - 1)].first;
    if (!body.empty() && body.back() != '&') body += '&';
    body += written(name, "&=%+", provider);
    // Without '=', a field has an empty value; an empty name then needs it.
    if (!value.empty() || name.empty() || provider.ConsumeBool()) body += '=' + written(value, "&%+", provider);
    if (std::none_of(expected.begin(), expected.end(), [&](const auto& field) { return field.first == name; }))
      expected.emplace_back(name, value);
  }
  adminlib::FormFields fields;
  const std::string refusal = adminlib::parseFormBody(body, &fields);
  FUZZ_CHECK(refusal.empty() && fields == expected, body + "\nrefused: " + refusal);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkAsBody(std::string(reinterpret_cast<const char*>(data), size));
  FuzzedDataProvider provider(data, size);
  checkWrittenFields(provider);
  return 0;
}
