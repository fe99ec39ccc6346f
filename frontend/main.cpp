// SPDX-License-Identifier: GPL-3.0-or-later
#include "frontend/frontend.h"

int main(int argc, char** argv) { return installMain(argc, argv); }
