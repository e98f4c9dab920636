// What every run of the benchmark is fixed at, for the program and for the
// lab's drivers that take the same measurement: one place, so that a driver
// can never time another size or write another file than the program does.
#ifndef OPENSSL_RNG_RUN_CONSTANTS_H
#define OPENSSL_RNG_RUN_CONSTANTS_H

// Generator calls per run, and entries in a run's sample.
constexpr int kSampleCount = 1024;
// The block every call fills, in bytes.
constexpr int kBlockSize = 16384;
// The results file, relative to the working folder.
constexpr const char *kResultsFile = "osslRb1a.txt";

#endif
