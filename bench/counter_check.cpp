// Which counter the benchmark reads, and how fine it is on this machine: the
// counter's rate, what the CPUID barrier costs, and the floor of every count
// (an empty fenced interval) taken with the project's reads beside the same
// pair written inline, so that any overhead the calls add shows as a ratio.
// Prints one "key value" line each, or one line and status 1 where the
// counter's instructions do not run.
#include "counter_probe.h"
#include "cpucycles.h"
#include "reference_loop.h"

#include <x86intrin.h>

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

// The project's two reads, copied instruction for instruction, inlined.
inline __attribute__((always_inline)) uint64_t inline_start()
{
    unsigned int hi;
    unsigned int lo;
    asm volatile("xorl %%eax, %%eax\n\txorl %%ecx, %%ecx\n\tcpuid\n\trdtsc\n\t"
                 "movl %%edx, %0\n\tmovl %%eax, %1\n\t"
                 : "=r"(hi), "=r"(lo)
                 :
                 : "rax", "rbx", "rcx", "rdx", "cc", "memory");
    return (static_cast<uint64_t>(hi) << 32) | lo;
}

inline __attribute__((always_inline)) uint64_t inline_end()
{
    unsigned int hi;
    unsigned int lo;
    asm volatile("rdtscp\n\tmovl %%edx, %0\n\tmovl %%eax, %1\n\t"
                 "xorl %%eax, %%eax\n\txorl %%ecx, %%ecx\n\tcpuid\n\t"
                 : "=r"(hi), "=r"(lo)
                 :
                 : "rax", "rbx", "rcx", "rdx", "cc", "memory");
    return (static_cast<uint64_t>(hi) << 32) | lo;
}

double raw_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<double>(now.tv_sec) + (static_cast<double>(now.tv_nsec) * 1e-9);
}

// Counter ticks against CLOCK_MONOTONIC_RAW, which no time adjustment skews.
double counter_hz()
{
    const double t0 = raw_seconds();
    const uint64_t c0 = __rdtsc();
    const timespec pause{0, 250000000};
    nanosleep(&pause, nullptr);
    const double t1 = raw_seconds();
    const uint64_t c1 = __rdtsc();
    return static_cast<double>(c1 - c0) / (t1 - t0);
}

uint64_t cpuid_ticks()
{
    std::vector<uint64_t> costs(1001);
    for (uint64_t &cost : costs) {
        const uint64_t before = __rdtsc();
        cpuid_barrier();
        cost = __rdtsc() - before;
    }
    return median(costs);
}

} // namespace

int main()
{
    if (!counter_runs_here()) {
        return 1;
    }
    constexpr int kRounds = 20;
    constexpr int kPerRound = 1000;
    std::vector<uint64_t> project;
    std::vector<uint64_t> inlined;
    // Taken in alternating rounds, so that drift in the machine's state
    // touches both alike.
    for (int round = 0; round < kRounds; round++) {
        for (int i = 0; i < kPerRound; i++) {
            const uint64_t start = cpucyclesS();
            project.push_back(cpucyclesE() - start);
        }
        for (int i = 0; i < kPerRound; i++) {
            const uint64_t start = inline_start();
            inlined.push_back(inline_end() - start);
        }
    }

    printf("counter x86-64 time-stamp counter, CPUID+RDTSC to RDTSCP+CPUID, leaf 0\n");
    printf("counter_hz %.0f\n", counter_hz());
    printf("cpuid_ticks %llu\n", static_cast<unsigned long long>(cpuid_ticks()));
    printf("floor_project %llu\n", static_cast<unsigned long long>(median(project)));
    printf("floor_inline %llu\n", static_cast<unsigned long long>(median(inlined)));
    return 0;
}
