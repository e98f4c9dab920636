// The processor's entropy source through RDSEED, 64 bits a step. Compiled
// with -mrdseed; the instruction is used only after CPUID reports it, which
// some processors (and hypervisors) that have RDRAND do not.
#include "cpuid_bits.h"
#include "drng.h"
#include "source.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

namespace {

// RDSEED fails whenever the conditioner has no fresh seed ready, which under
// load is often; Intel's guide retries with a pause between. The bound only
// keeps a dead unit from hanging the run.
constexpr int rdseed_retries = 10000;

std::atomic<uint64_t> retries{0};

bool rdseed_word(unsigned long long &word)
{
    return drng_word(
        word, [](unsigned long long *w) { return _rdseed64_step(w); }, rdseed_retries, true,
        retries);
}

} // namespace

bool source_open(std::string &error)
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    return drng_open(error, cpuid_bit(7, CpuidRegister::ebx, 18), "RDSEED",
                     "CPUID leaf 7 EBX bit 18", "rdseed", cpuinfo);
}

const char *source_name()
{
    return "rdseed";
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
    return drng_fill(buf, n, [](unsigned long long &word) { return rdseed_word(word); });
}

std::string source_counters()
{
    return "rdseed retries " + std::to_string(retries.load(std::memory_order_relaxed));
}
