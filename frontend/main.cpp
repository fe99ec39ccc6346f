#include "frontend/frontend.h"

int main(int argc, char** argv) { return installMain(argc, argv); }
