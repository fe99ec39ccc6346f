// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdlib>
#include <cstring>

#include "adminlib/adminlib.h"
#include "frontend/frontend.h"

int installMain(int argc, char** argv) {
  const char* query = std::getenv("QUERY_STRING");
  const char* method = std::getenv("REQUEST_METHOD");
  if (!method || !*method) return runCommandLine(argc, argv);

  char** config = get_mult_adm_config(-1);
  // A query string, even an empty one, asks for the express documentation mode.
  if (query && config && config[0] && config[0][0]) config[0][0] = '0';
  if (std::strcmp(method, "POST") == 0) return submitInstallForm(config);
  return showInstallForm(config);
}
