// Where the benchmarks keep their generated files.
#pragma once

#include <string>

// The directory for generated files: $BENCH_DIR when set (the files are then
// kept, for bench/compare.sh), otherwise a fresh directory under /tmp that is
// removed when the process ends.
const std::string& benchDirectory();

// Peak resident memory of the process so far, in KiB.
long peakResidentKiB();
