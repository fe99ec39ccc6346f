// SPDX-License-Identifier: GPL-3.0-or-later
// Inputs of the benchmarks: generated catalogues, templates and documents,
// written the same way by the bench tool and the in-process benchmarks.
#pragma once

#include <string>

// The 18 tokens of server.xml with the values the benchmarks give them, as
// {name, value}; no value holds '|', '&' or '\', so each also reads as a sed
// substitution.
extern const char* const SERVER_XML_TOKENS[18][2];

// Writes a catalogue of `entries` entries and as many tags, the k-th tag
// listing the first k entries (what `entries` recordings leave behind), to
// `path`. False when the file cannot be written.
bool writeCatalogue(int entries, const std::string& path);

// Writes at least `megabytes` million bytes of whole template lines, each an
// XML element holding every token of server.xml once. False on a write error.
bool writeTemplate(long megabytes, const std::string& path);

// Writes `count` small documents doc00001.html... (about 1 KB each) into the
// existing directory `directory`, and docs.lst listing them in order. False on
// a write error.
bool writeDocuments(int count, const std::string& directory);

// Removes `path` and everything below it; false when something stays.
bool removeTree(const std::string& path);
