// Botan's System_RNG, one object for the whole process: each request is
// read from the operating system's generator (Debian's Botan 2 on Linux
// reads /dev/urandom), with no state of its own in the process.
#include "botan_source.h"
#include "source.h"

#include <botan/rng.h>
#include <botan/system_rng.h>

#include <cstddef>
#include <exception>
#include <string>

namespace {

Botan::RandomNumberGenerator *rng = nullptr;

} // namespace

// The first use opens the device; a failure to open it is thrown here.
bool source_open(std::string &error)
{
    try {
        rng = &Botan::system_rng();
    } catch (const std::exception &e) {
        error = std::string("Botan's system generator cannot be opened: ") + e.what();
        return false;
    }
    return true;
}

const char *source_name()
{
    return "botan";
}

std::string source_version()
{
    return botan_version();
}

bool source_thread_open(SourceThread *&state, std::string & /*error*/)
{
    state = nullptr;
    return true;
}

void source_thread_close(SourceThread * /*state*/) {}

int source_fill(SourceThread * /*state*/, unsigned char *buf, size_t n)
{
    return botan_fill([&] { rng->randomize(buf, n); });
}

std::string source_counters()
{
    return "";
}
