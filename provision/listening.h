// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a port is in use by a running process.
#pragma once

// True when some process listens on TCP `port`: binding it on every IPv4
// address fails as taken. Connections still closing (TIME_WAIT) do not
// count, nor does a port this process may not bind for another reason.
bool someoneListensOn(unsigned port);
