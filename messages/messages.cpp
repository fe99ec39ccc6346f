// SPDX-License-Identifier: GPL-3.0-or-later
// The message catalogue over ICU resource bundles.
//
// Every text handed out here is a fresh malloc'd block (callers free() it),
// except the UTF-16 pattern of get_const_ucs2_resource_string_icu, which
// belongs to the bundle.
#include "messages/messages.h"

#include "messages/escape.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unicode/uloc.h>
#include <unicode/umsg.h>
#include <unicode/ustring.h>

UResourceBundle* rBundle = nullptr;

namespace {

const char kNullBundleText[] = "Internal Error: Null Resource Bundle";
const char kNoInfoFormat[] = "Internal Error: Could not get info from resource bundle for key:%s";
const char kTooManyArgumentsText[] = "Error: Too many arguments to format";

constexpr int kMaxArguments = 5;
constexpr size_t kNoInfoSize = 256;
// Capacity of a formatted message in UTF-16 units, terminating NUL included.
constexpr int32_t kFormatCapacity = 4096;

using UCharPtr = std::unique_ptr<UChar, FreeDeleter>;

char* copyText(const char* text) {
  char* copy = strdup(text);
  if (!copy) std::abort();  // nothing sensible can be reported without memory
  return copy;
}

// The "Could not get info" text for `key`, cut to fit its 256-byte block.
char* noInfoText(const char* key) {
  char* text = static_cast<char*>(std::malloc(kNoInfoSize));
  if (!text) std::abort();
  std::snprintf(text, kNoInfoSize, kNoInfoFormat, key ? key : "");
  return text;
}

// Widens a host code page text to UTF-16. One byte never yields more than
// one UTF-16 unit (a multi-byte character needs at least as many bytes as
// units, an illegal byte becomes one substitution character), so strlen + 1
// units are enough; u_uastrncpy keeps that bound even so.
UCharPtr widenArgument(const char* text) {
  if (!text) text = "";
  size_t length = std::strlen(text);
  UCharPtr wide(static_cast<UChar*>(std::calloc(length + 1, sizeof(UChar))));
  if (!wide) std::abort();
  u_uastrncpy(wide.get(), text, static_cast<int32_t>(length));
  wide.get()[length] = 0;
  return wide;
}

// Cuts a UTF-16 text to at most `limit` units without splitting a surrogate pair.
void truncateUnits(UChar* text, int32_t limit) {
  if (u_strlen(text) <= limit) return;
  if (limit > 0 && U16_IS_LEAD(text[limit - 1])) --limit;
  text[limit] = 0;
}

// Formats `pattern` with five string arguments. A result longer than
// kFormatCapacity - 1 units is formatted once more into a block of the
// needed size and then cut to kFormatCapacity - 1 units (never inside a
// surrogate pair), so the text is bounded and no buffer is overrun. Should
// ICU refuse the pattern itself, the unformatted pattern is returned: a
// failure must never come back as an empty text, which would read as success.
UCharPtr formatPattern(const char* locale, const UChar* pattern, UChar* const args[kMaxArguments]) {
  UCharPtr result(static_cast<UChar*>(std::calloc(kFormatCapacity, sizeof(UChar))));
  if (!result) std::abort();
  UErrorCode status = U_ZERO_ERROR;
  int32_t needed = u_formatMessage(locale, pattern, u_strlen(pattern), result.get(), kFormatCapacity,
                                   &status, args[0], args[1], args[2], args[3], args[4]);
  if (status == U_BUFFER_OVERFLOW_ERROR || status == U_STRING_NOT_TERMINATED_WARNING) {
    result.reset(static_cast<UChar*>(std::calloc(static_cast<size_t>(needed) + 1, sizeof(UChar))));
    if (!result) std::abort();
    status = U_ZERO_ERROR;
    u_formatMessage(locale, pattern, u_strlen(pattern), result.get(), needed + 1, &status, args[0],
                    args[1], args[2], args[3], args[4]);
    truncateUnits(result.get(), kFormatCapacity - 1);
  }
  if (U_FAILURE(status)) {
    int32_t length = u_strlen(pattern);
    result.reset(static_cast<UChar*>(std::calloc(static_cast<size_t>(length) + 1, sizeof(UChar))));
    if (!result) std::abort();
    u_strcpy(result.get(), pattern);
    truncateUnits(result.get(), kFormatCapacity - 1);
  }
  return result;
}

}  // namespace

extern "C" {

const UChar* get_const_ucs2_resource_string_icu(UResourceBundle* bundle, const char* key) {
  if (!bundle || !key) return nullptr;
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  const UChar* text = ures_getStringByKey(bundle, key, &length, &status);
  return U_FAILURE(status) ? nullptr : text;
}

char* ucs2strToUTF8(const UChar* text) {
  if (!text) return nullptr;
  int32_t length = u_strlen(text);
  int32_t capacity = 4 * length + 1;
  char* utf8 = static_cast<char*>(std::malloc(static_cast<size_t>(capacity)));
  if (!utf8) std::abort();
  UErrorCode status = U_ZERO_ERROR;
  int32_t written = 0;
  u_strToUTF8(utf8, capacity, &written, text, length, &status);
  if (U_FAILURE(status)) {
    std::free(utf8);
    return nullptr;
  }
  utf8[written] = '\0';
  return utf8;
}

char* get_resource_string_icu(UResourceBundle* bundle, const char* key) {
  if (!bundle) return copyText(kNullBundleText);
  char* text = ucs2strToUTF8(get_const_ucs2_resource_string_icu(bundle, key));
  return text ? text : noInfoText(key);
}

char* get_and_format_message(int count, UResourceBundle* bundle, const char* locale, const char* key, ...) {
  if (count > kMaxArguments) return copyText(kTooManyArgumentsText);
  if (count <= 0) return nullptr;

  // Placeholders beyond `count` get an empty text rather than reading
  // arguments that were never passed.
  UCharPtr wide[kMaxArguments];
  UChar* args[kMaxArguments];
  va_list list;
  va_start(list, key);
  for (int i = 0; i < kMaxArguments; ++i) {
    wide[i] = widenArgument(i < count ? va_arg(list, const char*) : "");
    args[i] = wide[i].get();
  }
  va_end(list);

  if (!bundle) return copyText(kNullBundleText);
  const UChar* pattern = get_const_ucs2_resource_string_icu(bundle, key);
  if (!pattern) return noInfoText(key);

  UCharPtr formatted = formatPattern(locale, pattern, args);
  char* text = ucs2strToUTF8(formatted.get());
  return text ? text : noInfoText(key);
}

}  // extern "C"

UResourceBundle* openMessageBundle(const char* root, const char* name, const char* locale) {
  if (!root || !name) return nullptr;
  std::string path = std::string(root) + "/lib/messages/" + name;
  UErrorCode status = U_ZERO_ERROR;
  UResourceBundle* bundle = ures_open(path.c_str(), locale, &status);
  if (U_FAILURE(status)) {
    if (bundle) ures_close(bundle);
    return nullptr;
  }
  return bundle;
}

void closeMessageBundle(UResourceBundle* bundle) {
  if (bundle) ures_close(bundle);
}

namespace {

// Room left for the arguments of a message in the formatting buffer, so that
// the sentence around them always survives.
constexpr size_t ARGUMENT_ROOM = 3600;

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// `text` cut to about `limit` bytes: its beginning and its end (where a path
// names its file) joined by "...", never inside a UTF-8 sequence. The
// ellipsis is plain ASCII because arguments pass through the host code page.
std::string shortened(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t head = limit / 2;
  size_t tail = text.size() - limit / 2;
  while (head > 0 && isContinuationByte(text[head])) --head;
  while (tail < text.size() && isContinuationByte(text[tail])) ++tail;
  return text.substr(0, head) + "..." + text.substr(tail);
}

// Arguments are paths and values that other users may have written (a name
// in docs.lst, a directory below a document root, a value of a record): a
// message is shown on a terminal or a page, so none of them reaches it raw.
Message formattedMessage(const char* key, const std::string_view* args, size_t count) {
  if (count == 0) return Message(get_resource_string_icu(rBundle, key));
  std::string kept[kMaxArguments];
  const char* a[kMaxArguments] = {"", "", "", "", ""};
  for (size_t n = 0; n < count && n < kMaxArguments; ++n) {
    kept[n] = shortened(escapeForTerminal(args[n]), ARGUMENT_ROOM / count);
    a[n] = kept[n].c_str();
  }
  // More than five arguments: get_and_format_message reads none of them.
  return Message(get_and_format_message(static_cast<int>(count), rBundle, uloc_getDefault(), key, a[0], a[1],
                                        a[2], a[3], a[4]));
}

}  // namespace

Message errorMessage(const char* key, std::initializer_list<const char*> args) {
  std::vector<std::string_view> views;
  for (const char* arg : args) views.emplace_back(arg ? arg : "");
  return formattedMessage(key, views.data(), views.size());
}

Message escapedMessage(const char* key, std::initializer_list<std::string_view> args) {
  return formattedMessage(key, args.begin(), args.size());
}

ScopedMessageBundle::ScopedMessageBundle(const char* serverRoot) {
  closeMessageBundle(rBundle);  // not nestable: one catalogue per creation
  rBundle = openMessageBundle(serverRoot, "httpconf", uloc_getDefault());
}

ScopedMessageBundle::~ScopedMessageBundle() {
  closeMessageBundle(rBundle);
  rBundle = nullptr;
}
