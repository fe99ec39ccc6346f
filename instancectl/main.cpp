#include "instancectl/instancectl.h"

int main(int argc, char** argv) { return instancectlMain(argc, argv); }
