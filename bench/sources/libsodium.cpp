// libsodium's randombytes_buf, which on Linux reads getrandom(2) directly.
#include "source.h"

#include <sodium.h>

#include <cstddef>
#include <string>

bool source_open(std::string &error)
{
    // 1 means another part of the process initialised it already.
    if (sodium_init() < 0) {
        error = "sodium_init failed";
        return false;
    }
    return true;
}

const char *source_name()
{
    return "libsodium";
}

std::string source_version()
{
    return sodium_version_string();
}

bool source_thread_open(SourceThread *&state, std::string & /*error*/)
{
    state = nullptr;
    return true;
}

void source_thread_close(SourceThread * /*state*/) {}

int source_fill(SourceThread * /*state*/, unsigned char *buf, size_t n)
{
    randombytes_buf(buf, n);
    return 1;
}

std::string source_counters()
{
    return "";
}
