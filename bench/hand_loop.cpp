// The smallest fenced loop around RAND_bytes that can be written by hand,
// sharing no code with the program: a reference for its figure. Prints the
// median of 1024 calls fenced as the program fences them (CPUID), then of
// 1024 calls fenced with LFENCE, which keeps the hypervisor out of the
// picture where CPUID traps to it.
#include <openssl/rand.h>

#include <x86intrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kCalls = 1024;
constexpr int kBlockSize = 16384;

inline __attribute__((always_inline)) void cpuid_barrier()
{
    unsigned int a = 0;
    unsigned int b;
    unsigned int c = 0;
    unsigned int d;
    asm volatile("cpuid" : "+a"(a), "=b"(b), "+c"(c), "=d"(d)::"memory");
}

uint64_t median(std::vector<uint64_t> values)
{
    std::sort(values.begin(), values.end());
    return values[kCalls / 2 - 1] / 2 + values[kCalls / 2] / 2 +
           (values[kCalls / 2 - 1] & values[kCalls / 2] & 1U);
}

} // namespace

int main()
{
    std::vector<unsigned char> block(kBlockSize);
    std::vector<uint64_t> counts(kCalls);
    unsigned int aux;

    for (uint64_t &count : counts) {
        cpuid_barrier();
        const uint64_t start = __rdtsc();
        RAND_bytes(block.data(), kBlockSize);
        const uint64_t end = __rdtscp(&aux);
        cpuid_barrier();
        count = end - start;
    }
    printf("cpuid_fenced_median %llu\n", static_cast<unsigned long long>(median(counts)));

    for (uint64_t &count : counts) {
        _mm_lfence();
        const uint64_t start = __rdtsc();
        _mm_lfence();
        RAND_bytes(block.data(), kBlockSize);
        const uint64_t end = __rdtscp(&aux);
        _mm_lfence();
        count = end - start;
    }
    printf("lfence_fenced_median %llu\n", static_cast<unsigned long long>(median(counts)));
    return 0;
}
