// What the hand-written reference loops share, and none of the program's
// measuring code: the CPUID barrier they fence with, and the median they
// report, the record's own (src/median.h), so that a reference and the
// program can differ only in what they measure.
#ifndef OPENSSL_RNG_REFERENCE_LOOP_H
#define OPENSSL_RNG_REFERENCE_LOOP_H

#include "median.h"

#include <algorithm>
#include <cstdint>
#include <vector>

// CPUID leaf 0, its outputs discarded; the memory clobber keeps the compiler
// from moving loads and stores across it.
inline __attribute__((always_inline)) void cpuid_barrier()
{
    unsigned int a;
    unsigned int b;
    unsigned int c;
    unsigned int d;
    asm volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(0U), "c"(0U) : "memory");
}

// The record's median of values, which it sorts.
inline uint64_t median(std::vector<uint64_t> values)
{
    std::sort(values.begin(), values.end());
    return sorted_median(values.data(), values.size());
}

#endif
