// Libgcrypt's generator at GCRY_STRONG_RANDOM. The library must be told its
// version check and set-up are done before it is used.
#include "source.h"

#include <gcrypt.h>

#include <cstddef>
#include <string>

bool source_open(std::string &error)
{
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
        error = std::string("libgcrypt is older than the headers' ") + GCRYPT_VERSION;
        return false;
    }
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
}

const char *source_name()
{
    return "libgcrypt";
}

std::string source_version()
{
    return gcry_check_version(nullptr);
}

bool source_thread_open(SourceThread *&state, std::string & /*error*/)
{
    state = nullptr;
    return true;
}

void source_thread_close(SourceThread * /*state*/) {}

// gcry_randomize cannot fail: the library aborts the process instead.
int source_fill(SourceThread * /*state*/, unsigned char *buf, size_t n)
{
    gcry_randomize(buf, n, GCRY_STRONG_RANDOM);
    return 1;
}

std::string source_counters()
{
    return "";
}
