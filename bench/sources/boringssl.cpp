// BoringSSL's RAND_bytes, from the Android build that Debian packages. Its
// headers stand first on this file's include path, ahead of OpenSSL's, and
// its executable links no other libcrypto.
#include "source.h"

#include <openssl/base.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstddef>
#include <string>

bool source_open(std::string & /*error*/)
{
    CRYPTO_library_init();
    return true;
}

const char *source_name()
{
    return "boringssl";
}

// The library calls itself only "BoringSSL"; the API level it was built at
// is in its headers, which come from the same package.
std::string source_version()
{
    return std::string(OpenSSL_version(OPENSSL_VERSION)) + " (API " +
           std::to_string(BORINGSSL_API_VERSION) + ")";
}

bool source_thread_open(SourceThread *&state, std::string & /*error*/)
{
    state = nullptr;
    return true;
}

void source_thread_close(SourceThread * /*state*/) {}

int source_fill(SourceThread * /*state*/, unsigned char *buf, size_t n)
{
    return RAND_bytes(buf, n) == 1 ? 1 : 0;
}

std::string source_counters()
{
    return "";
}
