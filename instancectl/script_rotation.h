// SPDX-License-Identifier: GPL-3.0-or-later
// rotatelogs, done as the instance's owner (instancectl/script_run.h): the
// access and error logs move aside under a name of their own, the running
// server is told (SIGUSR1) to open new ones, and with --keep N only the
// newest N rotations of each log stay.
//
// A log goes to LOG.YYYYMMDD-HHMMSS, or, when that second has a name of
// the log's already, to LOG.YYYYMMDD-HHMMSS.N, N one more than the highest
// number taken: never onto a name that exists (a new hard link fails
// there, whatever it is), never before an earlier rotation.
//
// Exit status: 0 rotated (and the server told), 1 a log could not be moved
// or removed, or the server could not be told.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "instancectl/script_run.h"

// The logs that are rotated, in the instance's logs directory.
constexpr const char* ROTATED_LOGS[] = {"access", "errors"};
// How many names of one second are tried before a log stays where it is.
constexpr int NAMES_PER_SECOND = 100;

int rotateLogs(ControlRun& run);

// The time stamp of `when` in local time: YYYYMMDD-HHMMSS.
std::string rotationStamp(std::time_t when);

// The number the next rotation of `log` in the second `stamp` takes, given
// the `names` of the logs directory: 0 (LOG.STAMP) when that second has no
// name of the log's, else one more than the highest number taken
// (LOG.STAMP itself counting as 0), so that a rotation never sorts before
// an earlier one of its second.
int nextRotationNumber(const std::vector<std::string>& names, const std::string& log, const std::string& stamp);

// The rotations of `log` among `names` (those of plain files), newest first
// by the time and number in their names: LOG.YYYYMMDD-HHMMSS and
// LOG.YYYYMMDD-HHMMSS.N, N of at most 8 digits without a leading 0.
std::vector<std::string> rotationsNewestFirst(const std::vector<std::string>& names, const std::string& log);
