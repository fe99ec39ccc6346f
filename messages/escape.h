// SPDX-License-Identifier: GPL-3.0-or-later
// Text that another user may have written, made safe to show on a terminal.
//
// A terminal acts on control characters: escape sequences can rewrite what
// was shown, set the window title, or (on some terminals) answer back with
// bytes that the shell then reads as typed input. Whatever a server user can
// put in a file, a path or a program's output is shown only through these
// functions.
#pragma once

#include <string>
#include <string_view>

// Whether escapeForTerminal keeps line ends and tabs (a program's output
// relayed line by line) or escapes them too (one value inside a message).
enum class LineBreaks { Escape, Keep };

// `text` with every control character written as an escape: NUL, C0 (0x01 to
// 0x1F), DEL and C1 (U+0080 to U+009F, encoded in UTF-8) as "\n", "\t", "\r"
// or "\xNN" (C1 as "\u0080" to "\u009f"), and every byte that is not part of
// well-formed UTF-8 as "\xNN" (a terminal in an 8-bit mode takes 0x9B for an
// escape sequence). A backslash is written as it is. Well-formed UTF-8 other
// than the above passes unchanged.
std::string escapeForTerminal(std::string_view text, LineBreaks lineBreaks = LineBreaks::Escape);
