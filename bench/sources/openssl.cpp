// OpenSSL's public generator, RAND_bytes, as the program itself calls it.
#include "source.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <climits>

bool source_open(std::string & /*error*/) { return true; }

const char *source_name() { return "openssl"; }

std::string source_version() { return OpenSSL_version(OPENSSL_VERSION); }

bool source_thread_open(SourceThread *&state, std::string & /*error*/)
{
    state = nullptr;
    return true;
}

void source_thread_close(SourceThread * /*state*/) {}

// RAND_bytes counts in int; a request beyond INT_MAX takes more than one.
int source_fill(SourceThread * /*state*/, unsigned char *buf, size_t n)
{
    while (n > INT_MAX) {
        if (RAND_bytes(buf, INT_MAX) != 1) {
            return 0;
        }
        buf += INT_MAX;
        n -= INT_MAX;
    }
    return RAND_bytes(buf, static_cast<int>(n)) == 1 ? 1 : 0;
}

std::string source_counters() { return ""; }
