// Which counter the benchmark reads, and how fine it is on this machine: the
// counter's rate, what the CPUID barrier costs, and the floor of every count
// (an empty fenced interval) taken with the project's reads beside the same
// pair written inline, so that any overhead the calls add shows as a ratio.
// Also which processor it is, as CPUID names it (vendor, family, model,
// stepping, brand string) and the hypervisor's signature where CPUID says
// there is one: the machine's identity, read here because this program runs
// once per invocation of the lab and every CPUID may trap to a hypervisor.
// Prints one "key value" line each, or one line and status 1 where the
// counter's instructions do not run.
#include "counter_probe.h"
#include "cpucycles.h"
#include "reference_loop.h"

#include <cpuid.h>
#include <x86intrin.h>

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <string>
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

// Registers as text, as CPUID spells names: four bytes each, lowest first,
// up to the first NUL; what is not printable becomes '?', and blanks are
// trimmed at the ends and runs of them made one (brand strings are padded).
std::string register_text(const std::vector<unsigned int> &regs)
{
    std::string text;
    bool ended = false;
    for (const unsigned int reg : regs) {
        for (unsigned int shift = 0; shift < 32 && !ended; shift += 8) {
            const char c = static_cast<char>((reg >> shift) & 0xffU);
            ended = c == '\0';
            if (!ended && (c != ' ' || (!text.empty() && text.back() != ' '))) {
                text += (c >= ' ' && c <= '~') ? c : '?';
            }
        }
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

// Vendor, family, model and stepping (as the kernel computes them for
// /proc/cpuinfo), the brand string, and the hypervisor's signature (leaf
// 0x40000000) where leaf 1 sets the hypervisor bit. A fact CPUID does not
// give is not printed.
void print_identity()
{
    unsigned int a = 0;
    unsigned int b = 0;
    unsigned int c = 0;
    unsigned int d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d) == 0) {
        return;
    }
    printf("cpu_vendor %s\n", register_text({b, d, c}).c_str());
    if (a >= 1 && __get_cpuid(1, &a, &b, &c, &d) != 0) {
        const unsigned int base_family = (a >> 8) & 0xfU;
        const unsigned int family =
            base_family == 0xfU ? base_family + ((a >> 20) & 0xffU) : base_family;
        const unsigned int model = (base_family == 0x6U || base_family == 0xfU)
                                       ? (((a >> 16) & 0xfU) << 4) | ((a >> 4) & 0xfU)
                                       : (a >> 4) & 0xfU;
        printf("cpu_family %u\ncpu_model %u\ncpu_stepping %u\n", family, model, a & 0xfU);
        if (((c >> 31) & 1U) != 0) {
            __cpuid(0x40000000U, a, b, c, d);
            const std::string signature = register_text({b, c, d});
            printf("hypervisor_signature %s\n", signature.empty() ? "?" : signature.c_str());
        }
    }
    // The highest extended leaf, from __cpuid itself: __get_cpuid_max
    // returns an int in Clang 14's cpuid.h, unsigned in GCC's and Clang 19's.
    __cpuid(0x80000000U, a, b, c, d);
    if (a >= 0x80000004U) {
        std::vector<unsigned int> regs;
        for (unsigned int leaf = 0x80000002U; leaf <= 0x80000004U; leaf++) {
            __get_cpuid(leaf, &a, &b, &c, &d);
            regs.insert(regs.end(), {a, b, c, d});
        }
        const std::string brand = register_text(regs);
        if (!brand.empty()) {
            printf("cpu_brand %s\n", brand.c_str());
        }
    }
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
    print_identity();
    return 0;
}
