// Botan's AutoSeeded_RNG, a generator in the process's own memory
// (HMAC_DRBG over SHA-384 in Debian's build), one per thread: Botan locks
// each object on every call, and one shared object would measure that lock
// as much as the generator. It is seeded from the system's generator when
// made, before the thread's loop, reseeds itself every
// BOTAN_RNG_DEFAULT_RESEED_INTERVAL requests inside the call that reaches
// it, and after a fork, which it notices by the process id changing.
#include "botan_source.h"
#include "source.h"

#include <botan/auto_rng.h>

#include <cstddef>
#include <exception>
#include <string>

struct SourceThread {
    Botan::AutoSeeded_RNG rng;
};

bool source_open(std::string & /*error*/)
{
    return true;
}

const char *source_name()
{
    return "botan-user";
}

std::string source_version()
{
    return botan_version();
}

bool source_thread_open(SourceThread *&state, std::string &error)
{
    try {
        state = new SourceThread{};
    } catch (const std::exception &e) {
        state = nullptr;
        error = std::string("Botan's AutoSeeded_RNG cannot be seeded: ") + e.what();
        return false;
    }
    return true;
}

void source_thread_close(SourceThread *state)
{
    delete state;
}

// Requests above the DRBG's most per call (64 KiB) are split by Botan itself.
int source_fill(SourceThread *state, unsigned char *buf, size_t n)
{
    return botan_fill([&] { state->rng.randomize(buf, n); });
}

std::string source_counters()
{
    return "";
}
