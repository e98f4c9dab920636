// What the rdrand and rdseed sources share: the CPUID test for their
// instruction and the fill of a request from 64-bit words. The file that
// includes it is compiled with the instruction enabled (-mrdrnd, -mrdseed).
#ifndef RNG_SOURCE_DRNG_H
#define RNG_SOURCE_DRNG_H

#include "internal_macros.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#if defined(RNG_OS_LINUX)
#include <fstream>
#include <sstream>
#endif

#if defined(RNG_COMPILER_MSVC)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#include <immintrin.h>

enum class CpuidRegister { ebx, ecx };

// Whether CPUID leaf `leaf` (subleaf 0) sets `bit` of the register; false
// when the processor's highest standard leaf is below it.
inline bool cpuid_bit(unsigned int leaf, CpuidRegister reg, unsigned int bit)
{
    unsigned int regs[4] = {};
#if defined(RNG_COMPILER_MSVC)
    int info[4];
    __cpuid(info, 0);
    if (static_cast<unsigned int>(info[0]) < leaf) {
        return false;
    }
    __cpuidex(info, static_cast<int>(leaf), 0);
    for (int i = 0; i < 4; ++i) {
        regs[i] = static_cast<unsigned int>(info[i]);
    }
#else
    if (__get_cpuid_count(leaf, 0, &regs[0], &regs[1], &regs[2], &regs[3]) == 0) {
        return false;
    }
#endif
    const unsigned int value = reg == CpuidRegister::ebx ? regs[1] : regs[2];
    return ((value >> bit) & 1U) != 0;
}

// Whether the kernel lists the processor flag (on Linux, in /proc/cpuinfo);
// true where it cannot be told. The kernel hides an instruction that CPUID
// reports when the processor has a known fault in it (RDSEED on some AMD
// Zen 5 parts, RDRAND on older AMD ones after a resume), and its word is
// the one to follow.
inline bool kernel_lists(const char *flag)
{
#if defined(RNG_OS_LINUX)
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) == 0) {
            std::istringstream words(line.substr(line.find(':') + 1));
            std::string word;
            while (words >> word) {
                if (word == flag) {
                    return true;
                }
            }
            return false;
        }
    }
#else
    (void)flag;
#endif
    return true;
}

// Whether the instruction can be used here: CPUID reports it (`reported`,
// described as `where`) and the kernel has not turned it off; `error` says
// which of the two is missing.
inline bool drng_open(std::string &error, bool reported, const char *name, const char *where,
                      const char *flag)
{
    if (!reported) {
        error = std::string("the processor does not report ") + name + " (" + where + ")";
        return false;
    }
    if (!kernel_lists(flag)) {
        error = std::string("the processor reports ") + name + ", but the kernel has turned it " +
                "off (no " + flag + " among the flags of /proc/cpuinfo), as it does where the " +
                "instruction is faulty";
        return false;
    }
    return true;
}

// One 64-bit word from `step` (an instruction's intrinsic), tried up to
// 1 + bound times, with a pause between tries where `pause`; the failed
// tries are added to `retries`. False when every try failed.
template <typename Step>
inline bool drng_word(unsigned long long &word, Step step, int bound, bool pause,
                      std::atomic<uint64_t> &retries)
{
    for (int tries = 0; tries <= bound; ++tries) {
        if (step(&word) != 0) {
            if (tries != 0) {
                retries.fetch_add(static_cast<uint64_t>(tries), std::memory_order_relaxed);
            }
            return true;
        }
        if (pause) {
            _mm_pause();
        }
    }
    retries.fetch_add(static_cast<uint64_t>(bound), std::memory_order_relaxed);
    return false;
}

// Fills n bytes of buf from words that `step` delivers, the last word only
// as far as the request reaches. step(word) returns false when it gives up.
template <typename Step>
inline int drng_fill(unsigned char *buf, size_t n, Step step)
{
    unsigned long long word = 0;
    size_t done = 0;
    for (; n - done >= sizeof word; done += sizeof word) {
        if (!step(word)) {
            return 0;
        }
        // buf need not be aligned for a word.
        std::memcpy(buf + done, &word, sizeof word);
    }
    if (done < n) {
        if (!step(word)) {
            return 0;
        }
        std::memcpy(buf + done, &word, n - done);
    }
    return 1;
}

#endif
