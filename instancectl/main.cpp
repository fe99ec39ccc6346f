// SPDX-License-Identifier: GPL-3.0-or-later
#include "instancectl/instancectl.h"

int main(int argc, char** argv) { return instancectlMain(argc, argv); }
