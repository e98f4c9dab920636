// GnuTLS's generator at its RANDOM level, the one it uses for keys; the
// library keeps one generator state per thread itself.
#include "source.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <cstddef>
#include <string>

bool source_open(std::string &error)
{
    // The library initialises itself when loaded; this only checks it did.
    if (gnutls_global_init() < 0) {
        error = "gnutls_global_init failed";
        return false;
    }
    return true;
}

const char *source_name()
{
    return "gnutls";
}

std::string source_version()
{
    return gnutls_check_version(nullptr);
}

bool source_thread_open(SourceThread *&state, std::string & /*error*/)
{
    state = nullptr;
    return true;
}

void source_thread_close(SourceThread * /*state*/) {}

int source_fill(SourceThread * /*state*/, unsigned char *buf, size_t n)
{
    return gnutls_rnd(GNUTLS_RND_RANDOM, buf, n) == 0 ? 1 : 0;
}

std::string source_counters()
{
    return "";
}
