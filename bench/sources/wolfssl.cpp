// wolfCrypt's Hash_DRBG, one WC_RNG per thread.
#include "source.h"

// The build's configuration must precede every other wolfSSL header.
#include <wolfssl/options.h>

#include <wolfssl/ssl.h>
#include <wolfssl/wolfcrypt/random.h>
#include <wolfssl/wolfcrypt/types.h>
#include <wolfssl/wolfcrypt/wc_port.h>

#include <algorithm>
#include <cstddef>
#include <string>

struct SourceThread {
    WC_RNG rng;
};

bool source_open(std::string &error)
{
    if (wolfCrypt_Init() != 0) {
        error = "wolfCrypt_Init failed";
        return false;
    }
    return true;
}

const char *source_name()
{
    return "wolfssl";
}

std::string source_version()
{
    return wolfSSL_lib_version();
}

bool source_thread_open(SourceThread *&state, std::string &error)
{
    state = new SourceThread{};
    if (wc_InitRng(&state->rng) != 0) {
        delete state;
        state = nullptr;
        error = "wc_InitRng failed";
        return false;
    }
    return true;
}

void source_thread_close(SourceThread *state)
{
    if (state == nullptr) {
        return;
    }
    wc_FreeRng(&state->rng);
    delete state;
}

// wc_RNG_GenerateBlock refuses requests above RNG_MAX_BLOCK_LEN (64 KiB in
// Debian's build), so larger ones are filled a block at a time here.
int source_fill(SourceThread *state, unsigned char *buf, size_t n)
{
    constexpr size_t most = RNG_MAX_BLOCK_LEN;
    while (n > 0) {
        const size_t chunk = std::min(n, most);
        if (wc_RNG_GenerateBlock(&state->rng, buf, static_cast<word32>(chunk)) != 0) {
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
