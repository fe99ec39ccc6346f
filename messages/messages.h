// SPDX-License-Identifier: GPL-3.0-or-later
// The message catalogue: localised failure texts looked up by key in the
// "httpconf" ICU resource bundle below the server root, formatted with
// ordered string arguments ({0} to {4}).
//
// Conventions: a texts returned as char* is a fresh malloc'd block owned by
// the caller. Internally the tool passes failures around as Message, which
// owns such a block; an empty Message means success.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string_view>

#include <unicode/ures.h>
#include <unicode/utypes.h>

#define EXPORTED __attribute__((visibility("default")))

extern "C" {

// Handle of the bundle open during a creation; null when none could be opened.
EXPORTED extern UResourceBundle* rBundle;

// The key's UTF-16 text, owned by the bundle and valid until it is closed;
// null when the bundle is null or ICU reports an error.
EXPORTED const UChar* get_const_ucs2_resource_string_icu(UResourceBundle* bundle, const char* key);

// The key's text in UTF-8 (keys without arguments). Never null: on failure
// it is one of the fixed "Internal Error: ..." texts.
EXPORTED char* get_resource_string_icu(UResourceBundle* bundle, const char* key);

// The key's pattern formatted with `count` (1 to 5) host code page string
// arguments (a null argument counts as ""). Never null for count 1 to 5: a
// null bundle or a missing key gives the same fixed texts as
// get_resource_string_icu. A result longer than 4095 UTF-16 units is cut
// there (never inside a surrogate pair). count 0 (or negative) gives null;
// above 5 the fixed "Error: Too many arguments to format".
EXPORTED char* get_and_format_message(int count, UResourceBundle* bundle, const char* locale,
                                      const char* key, ...);

// NUL-terminated UTF-16 to a fresh UTF-8 block; null when ICU reports an error.
EXPORTED char* ucs2strToUTF8(const UChar* text);

}  // extern "C"

// Opens "<root>/lib/messages/<name>" for `locale`; null when ICU reports an
// error (warnings count as success) or `root` is null. Close it with
// closeMessageBundle (null is allowed there).
UResourceBundle* openMessageBundle(const char* root, const char* name, const char* locale);
void closeMessageBundle(UResourceBundle* bundle);

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
// A failure text, or empty for success.
using Message = std::unique_ptr<char, FreeDeleter>;

// The text of `key` from rBundle for the default locale: looked up as is
// when `args` is empty, formatted with the arguments otherwise. Every
// argument is shown as escapeForTerminal shows it (messages/escape.h), and
// a long one is shortened in its middle.
Message errorMessage(const char* key, std::initializer_list<const char*> args = {});

// errorMessage for arguments that may hold NUL bytes (a value read from a
// record another user wrote): escaped the same way, NUL included.
Message escapedMessage(const char* key, std::initializer_list<std::string_view> args);

// Takes ownership of a malloc'd text (for example a strdup).
inline Message adoptMessage(char* text) { return Message(text); }

// Opens rBundle for `serverRoot` and the default locale on construction and
// closes it (resetting rBundle to null) on destruction. Not nestable: a
// bundle still held in rBundle is closed first.
class ScopedMessageBundle {
 public:
  explicit ScopedMessageBundle(const char* serverRoot);
  ~ScopedMessageBundle();
  ScopedMessageBundle(const ScopedMessageBundle&) = delete;
  ScopedMessageBundle& operator=(const ScopedMessageBundle&) = delete;
};
