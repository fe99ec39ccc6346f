#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails unless the executable's dynamic symbol table defines the nine
# exported names and nothing else of the program's own. Besides them the
# table holds only what the linker must put there: symbols it always defines,
# copy-relocated library data (versioned, as stdout@GLIBC_2.2.5) and standard
# library template instances that a shared library also uses.
set -euo pipefail
binary=${1:-build/install}
expected="_ZN13TokenReplacer23DEFAULT_TOKEN_DELIMITERE
chmodConfigItem
enableJava
get_and_format_message
get_const_ucs2_resource_string_icu
get_resource_string_icu
installuuset
rBundle
ucs2strToUTF8"
defined=$(nm -D --defined-only "$binary" | awk '{print $3}' | sort)
ours=$(printf '%s\n' "$defined" | grep -v '@' |
  grep -v -E '^(_IO_stdin_used|__bss_start|_edata|_end|__data_start|data_start|_fini|_init)$' |
  while read -r name; do
    case "$(printf '%s' "$name" | c++filt)" in
      std::*|"typeinfo for std::"*|"vtable for std::"*) ;;
      *) printf '%s\n' "$name" ;;
    esac
  done)
if [ "$ours" != "$expected" ]; then
  echo "exported symbols differ from the expected list:" >&2
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$ours") >&2 || true
  exit 1
fi
echo "exports: the 9 names, nothing else of the program's own"
