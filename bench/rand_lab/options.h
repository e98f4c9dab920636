// rand_lab's options and limits. One table (options.cpp) holds every option
// with what it takes and a line saying what it does; parsing, --help, the
// line that lists them after an unknown option and --limits are all made
// from it.
#ifndef RAND_LAB_OPTIONS_H
#define RAND_LAB_OPTIONS_H

#include "run_constants.h"

#include <cstdint>
#include <string>

// The limits, printed by --limits for the runner to check its own against.
constexpr long kMaxBytes = 1048576;
constexpr long kMaxThreads = 1024;
// A median takes two counts: a thread of one call has none.
constexpr long kMinCalls = 2;
constexpr long kMaxCalls = 1048576;
// 256 MiB of counts (8 bytes each) at most, whatever the mix of threads and
// calls.
constexpr long kMaxSamples = 33554432;
// What --keep may hold in memory: every byte of every call.
constexpr long kMaxKept = 268435456;
// Calls between two counter reads with --batch: a batch of 16 KiB calls of
// the slowest source takes about a second at this many.
constexpr long kMaxBatch = 10000;

// The call measured: the generator behind RAND_bytes (or the source's
// source_fill), RAND_priv_bytes, or the cipher.
enum class Subject : uint8_t { Public, Private, Cipher };

// The counter reads around a call or a batch: the program's (CPUID), or
// LFENCE's, which never trap to a hypervisor (bench/lfence_counter.h).
enum class Fence : uint8_t { Cpuid, Lfence };

struct Options {
    long bytes = kBlockSize;
    long threads = 1;
    long calls = kSampleCount;
    Subject subject = Subject::Public;
    Fence fence = Fence::Cpuid;
    // Calls between two counter reads, each count their mean; 1: each call
    // timed alone, as the program times it.
    long batch = 1;
    bool generatorGiven = false;
    bool cipher = false;
    bool fork = false;
    bool limits = false;
    bool version = false;
    bool help = false;
    std::string source;      // the executable's own source unless given
    std::string samplesFile; // empty: none
    std::string keepFile;    // empty: none
};

// Reads argv into options. Returns false, having said why in one line on
// standard error, for anything it cannot take.
bool parse_options(int argc, char **argv, Options &options);

// --help and --limits, on standard output.
void print_help();
void print_limits();

#endif
