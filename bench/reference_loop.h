// What the hand-written reference loops share, and nothing of the program's
// code: the CPUID barrier they fence with, and the median they report, which
// rounds an even count's middle pair down exactly as the program's record
// does, so that a reference and the program can differ only in what they
// measure.
#ifndef OPENSSL_RNG_REFERENCE_LOOP_H
#define OPENSSL_RNG_REFERENCE_LOOP_H

#include <algorithm>
#include <cstdint>
#include <vector>

// CPUID leaf 0, its outputs discarded; the memory clobber keeps the compiler
// from moving loads and stores across it.
inline __attribute__((always_inline)) void cpuid_barrier()
{
    unsigned int a = 0;
    unsigned int b;
    unsigned int c = 0;
    unsigned int d;
    asm volatile("cpuid" : "+a"(a), "=b"(b), "+c"(c), "=d"(d)::"memory");
}

// The middle value, or the middle pair's sum halved and rounded down (formed
// without the sum, which could pass 2^64).
inline uint64_t median(std::vector<uint64_t> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    if (n % 2 == 1) {
        return values[n / 2];
    }
    const uint64_t lower = values[n / 2 - 1];
    const uint64_t upper = values[n / 2];
    return lower / 2 + upper / 2 + (lower & upper & 1U);
}

#endif
