// The smallest fenced loop around RAND_bytes that can be written by hand,
// sharing no code with the program: a reference for its figure.
//
//   hand_loop                      a burst of 1024 calls fenced as the program
//                                  fences them (CPUID), then one fenced with
//                                  LFENCE, which keeps the hypervisor out of
//                                  the picture where CPUID traps to it
//   hand_loop --fence F            one burst, F = cpuid or lfence
//   hand_loop --fence F --seconds S
//                                  calls without a pause for S seconds, as
//                                  openssl speed makes them
//   --bytes N                      with any of them: calls of N bytes (1 to
//                                  1048576) rather than the program's 16384
//
// Prints "FENCE_fenced_median N" per burst, or for the continuous loop
// "FENCE_continuous_median N", "FENCE_continuous_mean N" (the figure that
// compares with openssl speed's, which is a mean) and "calls N". A processor
// that cannot run the reads' instructions gets one line and status 1.
#include "counter_probe.h"
#include "lfence_counter.h"
#include "reference_loop.h"
#include "run_constants.h"

#include <openssl/rand.h>

#include <x86intrin.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr auto kCalls = static_cast<size_t>(kSampleCount);
constexpr long kMaxBytes = 1048576;

inline __attribute__((always_inline)) uint64_t cpuid_fenced(unsigned char *block, int bytes)
{
    unsigned int aux;
    cpuid_barrier();
    const uint64_t start = __rdtsc();
    RAND_bytes(block, bytes);
    const uint64_t end = __rdtscp(&aux);
    cpuid_barrier();
    return end - start;
}

// The lab's LFENCE-fenced reads, the same sequence rand_lab --fence lfence
// takes.
inline __attribute__((always_inline)) uint64_t lfence_fenced(unsigned char *block, int bytes)
{
    const uint64_t start = lfence_start();
    RAND_bytes(block, bytes);
    return lfence_end() - start;
}

using Fenced = uint64_t (*)(unsigned char *, int);

template <Fenced Fence>
void burst(const char *name, std::vector<unsigned char> &block)
{
    const int bytes = static_cast<int>(block.size());
    std::vector<uint64_t> counts(kCalls);
    for (uint64_t &count : counts) {
        count = Fence(block.data(), bytes);
    }
    printf("%s_fenced_median %llu\n", name, static_cast<unsigned long long>(median(counts)));
}

// The clock is looked at once per 1024 calls, outside every interval.
template <Fenced Fence>
void continuous(const char *name, std::vector<unsigned char> &block, double seconds)
{
    const int bytes = static_cast<int>(block.size());
    std::vector<uint64_t> counts;
    counts.reserve(1U << 20);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    do {
        for (size_t i = 0; i < kCalls; i++) {
            counts.push_back(Fence(block.data(), bytes));
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
    fprintf(stderr, "usage: hand_loop [--fence cpuid|lfence [--seconds S]] [--bytes N]\n");
    return 2;
}

// What the options asked for; false for anything else.
struct Asked {
    std::string fence;  // empty: both bursts
    double seconds = 0; // 0: a burst
    long bytes = kBlockSize;
};

// A number that is the whole of text.
bool read_number(const char *text, double &value)
{
    char *rest = nullptr;
    value = strtod(text, &rest);
    return rest != text && *rest == '\0';
}

bool parse(int argc, char **argv, Asked &asked)
{
    bool fence = false;
    bool seconds = false;
    bool bytes = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        double number = 0;
        const bool read = read_number(value.c_str(), number);
        if (option == "--fence" && !fence && (value == "cpuid" || value == "lfence")) {
            asked.fence = value;
            fence = true;
        } else if (option == "--seconds" && !seconds && read && number > 0 && number <= 600) {
            asked.seconds = number;
            seconds = true;
        } else if (option == "--bytes" && !bytes && read && number >= 1 && number <= kMaxBytes &&
                   number == static_cast<double>(static_cast<long>(number))) {
            asked.bytes = static_cast<long>(number);
            bytes = true;
        } else {
            return false;
        }
    }
    // Options come in pairs; the continuous loop is of one fence.
    return argc % 2 == 1 && (!seconds || fence);
}

} // namespace

int main(int argc, char **argv)
{
    Asked asked;
    if (!parse(argc, argv, asked)) {
        return usage();
    }
    const bool cpuid = asked.fence == "cpuid";
    if (!counter_runs_here(!cpuid)) {
        return 1;
    }
    std::vector<unsigned char> block(static_cast<size_t>(asked.bytes));
    if (asked.fence.empty()) {
        burst<cpuid_fenced>("cpuid", block);
        burst<lfence_fenced>("lfence", block);
    } else if (asked.seconds == 0) {
        cpuid ? burst<cpuid_fenced>("cpuid", block) : burst<lfence_fenced>("lfence", block);
    } else {
        cpuid ? continuous<cpuid_fenced>("cpuid", block, asked.seconds)
              : continuous<lfence_fenced>("lfence", block, asked.seconds);
    }
    return 0;
}
