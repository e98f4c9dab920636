// Mbed TLS's CTR_DRBG, one context per thread, each seeded from its own
// entropy collector before the thread's loop. The DRBG reseeds itself from
// that collector every MBEDTLS_CTR_DRBG_RESEED_INTERVAL requests, inside the
// measured call that reaches it.
#include "source.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/version.h>

#include <algorithm>
#include <cstddef>
#include <string>

struct SourceThread {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
};

bool source_open(std::string & /*error*/)
{
    return true;
}

const char *source_name()
{
    return "mbedtls";
}

std::string source_version()
{
    // The function writes at most 9 bytes, terminator included.
    char version[16] = {};
    mbedtls_version_get_string(version);
    return version;
}

bool source_thread_open(SourceThread *&state, std::string &error)
{
    state = new SourceThread{};
    mbedtls_entropy_init(&state->entropy);
    mbedtls_ctr_drbg_init(&state->drbg);
    if (mbedtls_ctr_drbg_seed(&state->drbg, mbedtls_entropy_func, &state->entropy, nullptr, 0) !=
        0) {
        source_thread_close(state);
        state = nullptr;
        error = "mbedtls_ctr_drbg_seed failed";
        return false;
    }
    return true;
}

void source_thread_close(SourceThread *state)
{
    if (state == nullptr) {
        return;
    }
    mbedtls_ctr_drbg_free(&state->drbg);
    mbedtls_entropy_free(&state->entropy);
    delete state;
}

// A request may ask for at most MBEDTLS_CTR_DRBG_MAX_REQUEST bytes (1024),
// so larger ones are filled that many at a time here.
int source_fill(SourceThread *state, unsigned char *buf, size_t n)
{
    constexpr size_t most = MBEDTLS_CTR_DRBG_MAX_REQUEST;
    while (n > 0) {
        const size_t chunk = std::min(n, most);
        if (mbedtls_ctr_drbg_random(&state->drbg, buf, chunk) != 0) {
            return 0;
        }
        buf += chunk;
        n -= chunk;
    }
    return 1;
}

std::string source_counters()
{
    return "";
}
