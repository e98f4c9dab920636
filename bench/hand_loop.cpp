// The smallest fenced loop around RAND_bytes(16384) that can be written by
// hand, sharing no code with the program: a reference for its figure.
//
//   hand_loop                      a burst of 1024 calls fenced as the program
//                                  fences them (CPUID), then one fenced with
//                                  LFENCE, which keeps the hypervisor out of
//                                  the picture where CPUID traps to it
//   hand_loop --fence F            one burst, F = cpuid or lfence
//   hand_loop --fence F --seconds S
//                                  calls without a pause for S seconds, as
//                                  openssl speed makes them
//
// Prints "FENCE_fenced_median N" per burst, or for the continuous loop
// "FENCE_continuous_median N", "FENCE_continuous_mean N" (the figure that
// compares with openssl speed's, which is a mean) and "calls N".
#include "reference_loop.h"
#include "run_constants.h"

#include <openssl/rand.h>

#include <x86intrin.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr auto kCalls = static_cast<size_t>(kSampleCount);

inline __attribute__((always_inline)) uint64_t cpuid_fenced(unsigned char *block)
{
    unsigned int aux;
    cpuid_barrier();
    const uint64_t start = __rdtsc();
    RAND_bytes(block, kBlockSize);
    const uint64_t end = __rdtscp(&aux);
    cpuid_barrier();
    return end - start;
}

inline __attribute__((always_inline)) uint64_t lfence_fenced(unsigned char *block)
{
    unsigned int aux;
    _mm_lfence();
    const uint64_t start = __rdtsc();
    _mm_lfence();
    RAND_bytes(block, kBlockSize);
    const uint64_t end = __rdtscp(&aux);
    _mm_lfence();
    return end - start;
}

template <uint64_t (*Fenced)(unsigned char *)>
void burst(const char *name, unsigned char *block)
{
    std::vector<uint64_t> counts(kCalls);
    for (uint64_t &count : counts) {
        count = Fenced(block);
    }
    printf("%s_fenced_median %llu\n", name, static_cast<unsigned long long>(median(counts)));
}

// The clock is looked at once per 1024 calls, outside every interval.
template <uint64_t (*Fenced)(unsigned char *)>
void continuous(const char *name, unsigned char *block, double seconds)
{
    std::vector<uint64_t> counts;
    counts.reserve(1U << 20);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    do {
        for (size_t i = 0; i < kCalls; i++) {
            counts.push_back(Fenced(block));
        }
    } while (Clock::now() < end);
    double sum = 0;
    for (const uint64_t count : counts) {
        sum += static_cast<double>(count);
    }
    printf("%s_continuous_median %llu\n%s_continuous_mean %.0f\ncalls %zu\n", name,
           static_cast<unsigned long long>(median(counts)), name,
           sum / static_cast<double>(counts.size()), counts.size());
}

int usage()
{
    fprintf(stderr, "usage: hand_loop [--fence cpuid|lfence [--seconds S]]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<unsigned char> block(kBlockSize);
    if (argc == 1) {
        burst<cpuid_fenced>("cpuid", block.data());
        burst<lfence_fenced>("lfence", block.data());
        return 0;
    }
    if ((argc != 3 && argc != 5) || strcmp(argv[1], "--fence") != 0) {
        return usage();
    }
    const bool cpuid = strcmp(argv[2], "cpuid") == 0;
    if (!cpuid && strcmp(argv[2], "lfence") != 0) {
        return usage();
    }
    if (argc == 3) {
        cpuid ? burst<cpuid_fenced>("cpuid", block.data())
              : burst<lfence_fenced>("lfence", block.data());
        return 0;
    }
    char *rest = nullptr;
    const double seconds = strcmp(argv[3], "--seconds") == 0 ? strtod(argv[4], &rest) : 0;
    if (rest == nullptr || *rest != '\0' || !(seconds > 0 && seconds <= 600)) {
        return usage();
    }
    cpuid ? continuous<cpuid_fenced>("cpuid", block.data(), seconds)
          : continuous<lfence_fenced>("lfence", block.data(), seconds);
    return 0;
}
