// The processor's DRBG through RDRAND, 64 bits a step. Compiled with
// -mrdrnd; the instruction is used only after CPUID reports it.
#include "cpuid_bits.h"
#include "drng.h"
#include "source.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

namespace {

// Intel's DRNG software implementation guide: a step can fail only when the
// DRBG is briefly drained, so ten retries that all fail mean a broken unit.
constexpr int rdrand_retries = 10;

std::atomic<uint64_t> retries{0};

bool rdrand_word(unsigned long long &word)
{
    return drng_word(
        word, [](unsigned long long *w) { return _rdrand64_step(w); }, rdrand_retries, false,
        retries);
}

} // namespace

bool source_open(std::string &error)
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    return drng_open(error, cpuid_bit(1, CpuidRegister::ecx, 30), "RDRAND",
                     "CPUID leaf 1 ECX bit 30", "rdrand", cpuinfo);
}

const char *source_name()
{
    return "rdrand";
}

std::string source_version()
{
    return "instruction";
}

bool source_thread_open(SourceThread *&state, std::string & /*error*/)
{
    state = nullptr;
    return true;
}

void source_thread_close(SourceThread * /*state*/) {}

int source_fill(SourceThread * /*state*/, unsigned char *buf, size_t n)
{
    return drng_fill(buf, n, [](unsigned long long &word) { return rdrand_word(word); });
}

std::string source_counters()
{
    return "rdrand retries " + std::to_string(retries.load(std::memory_order_relaxed));
}
