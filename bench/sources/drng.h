// What the rdrand and rdseed sources share: the test for their instruction
// (CPUID's bit, cpuid_bits.h, and the kernel's flags) and the fill of a
// request from 64-bit words. The file that includes it is compiled with the
// instruction enabled (-mrdrnd, -mrdseed).
#ifndef RNG_SOURCE_DRNG_H
#define RNG_SOURCE_DRNG_H

#include "cpuid_bits.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <istream>
#include <sstream>
#include <string>

#include <immintrin.h>

// Whether the kernel lists the processor flag among the "flags" of cpuinfo
// (/proc/cpuinfo on Linux); true where it cannot be told (no such line, or
// no such file, as on Windows). The kernel hides an instruction that CPUID
// reports when the processor has a known fault in it (RDSEED on some AMD
// Zen 5 parts, RDRAND on older AMD ones after a resume), and its word is
// the one to follow.
inline bool kernel_lists(std::istream &cpuinfo, const char *flag)
{
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
    return true;
}

// Whether the instruction can be used here: CPUID reports it (`reported`,
// described as `where`) and the kernel's cpuinfo has not turned it off;
// `error` says which of the two is missing.
inline bool drng_open(std::string &error, bool reported, const char *name, const char *where,
                      const char *flag, std::istream &cpuinfo)
{
    if (!reported) {
        error = std::string("the processor does not report ") + name + " (" + where + ")";
        return false;
    }
    if (!kernel_lists(cpuinfo, flag)) {
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
