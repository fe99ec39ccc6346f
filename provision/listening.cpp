// SPDX-License-Identifier: GPL-3.0-or-later
#include "provision/listening.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

#include "fsutil/descriptor.h"

bool someoneListensOn(unsigned port) {
  Descriptor probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe.valid()) return false;
  int yes = 1;
  setsockopt(probe.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
}
