// Which libcrypto this build links and which generator stands behind
// RAND_bytes under the configuration it is started with, for comparisons: a
// record can say neither. Prints one "key value" line each:
//
//   version, cflags   OpenSSL_version's texts
//   config            "ok", or why the library could not apply the whole
//                     configuration file (OPENSSL_CONF, which must exist, or
//                     the default one, which may be absent)
//   path              where RAND_bytes went: "public-drbg" (the library
//                     context's public DRBG), "provider" (from 3.5 on, a
//                     random provider took the call), or "unknown"
//   drbg              the EVP_RAND name of the public DRBG, or "none"
//   cipher | digest   what that DRBG runs on (CTR-DRBG a cipher, the others a digest)
//   provider          the provider that serves it
//   random_provider   on the "provider" path, the provider that took the call
//   generate          "ok", or why a RAND_bytes call failed
//
// The DRBG lines are printed only when RAND_bytes goes through that DRBG
// (or when it fails): from 3.5 on, a loaded provider named by the [random]
// section's random_provider (by default "fips") takes RAND_bytes and the
// public DRBG, though it exists, is never asked. The library offers no way
// to read that choice, so it is watched: the public DRBG is made to reseed
// on its next request, and a RAND_bytes call that leaves its reseed count
// where it was went elsewhere.
//
// The program loads its configuration leniently and ignores what it cannot
// apply, so a typo measures some other generator without a word; here it is
// loaded strictly, before anything else can load it, and every failure comes
// with the library's own reason. Exits 1 when the configuration could not be
// applied or the generator cannot generate.
#include <openssl/conf.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/opensslv.h>
#include <openssl/rand.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if OPENSSL_VERSION_NUMBER >= 0x30000000L
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#endif

namespace {

// The earliest error on the queue, which names the cause (later ones only say
// which layer gave up), as "reason (details)"; the queue is emptied.
std::string first_error()
{
    const char *data = nullptr;
    int flags = 0;
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    const unsigned long code = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags);
#else
    const unsigned long code = ERR_get_error_line_data(nullptr, nullptr, &data, &flags);
#endif
    std::string text = "no reason given";
    if (code != 0) {
        const char *reason = ERR_reason_error_string(code);
#if defined(ERR_SYSTEM_ERROR)
        // A failed system call carries its errno, which has no text here.
        if (ERR_SYSTEM_ERROR(code)) {
            reason = strerror(ERR_GET_REASON(code)); // NOLINT(concurrency-mt-unsafe): one thread
        }
#endif
        text = reason != nullptr ? reason : "error " + std::to_string(code);
    }
    // The details belong to the queue and go with it: copied first.
    if (code != 0 && data != nullptr && (flags & ERR_TXT_STRING) != 0 && *data != '\0') {
        text += std::string(" (") + data + ")";
    }
    ERR_clear_error();
    return text;
}

#if OPENSSL_VERSION_NUMBER >= 0x30000000L
// A text parameter of the DRBG, or "" when it has none by that name.
std::string drbg_text(EVP_RAND_CTX *drbg, const char *name)
{
    std::array<char, 128> value{};
    std::array<OSSL_PARAM, 2> params{
        OSSL_PARAM_construct_utf8_string(name, value.data(), value.size()), OSSL_PARAM_END};
    if (EVP_RAND_CTX_get_params(drbg, params.data()) != 1) {
        ERR_clear_error();
        return "";
    }
    return value.data();
}

void print_drbg(EVP_RAND_CTX *drbg, const std::string &why_none)
{
    if (drbg == nullptr) {
        printf("drbg none\ndrbg_error %s\n", why_none.c_str());
        return;
    }
    const EVP_RAND *rand = EVP_RAND_CTX_get0_rand(drbg);
    printf("drbg %s\n", EVP_RAND_get0_name(rand));
    for (const char *name : {OSSL_DRBG_PARAM_CIPHER, OSSL_DRBG_PARAM_DIGEST}) {
        const std::string value = drbg_text(drbg, name);
        if (!value.empty()) {
            printf("%s %s\n", name, value.c_str());
        }
    }
    printf("provider %s\n", OSSL_PROVIDER_get0_name(EVP_RAND_get0_provider(rand)));
}

// How many times the DRBG has reseeded, or false when it does not say.
bool reseed_count(EVP_RAND_CTX *drbg, unsigned int &count)
{
    std::array<OSSL_PARAM, 2> params{
        OSSL_PARAM_construct_uint(OSSL_DRBG_PARAM_RESEED_COUNTER, &count), OSSL_PARAM_END};
    if (EVP_RAND_CTX_get_params(drbg, params.data()) != 1 ||
        OSSL_PARAM_modified(params.data()) == 0) {
        ERR_clear_error();
        return false;
    }
    return true;
}

// Whether a RAND_bytes call went through the public DRBG: 1 yes, 0 no, -1
// cannot tell. The DRBG is set to reseed on every request, which moves its
// reseed count on any request it serves, and on none that it does not.
int through_public_drbg(EVP_RAND_CTX *drbg)
{
    unsigned int before = 0;
    unsigned int after = 0;
    unsigned int every = 1;
    std::array<OSSL_PARAM, 2> params{
        OSSL_PARAM_construct_uint(OSSL_DRBG_PARAM_RESEED_REQUESTS, &every), OSSL_PARAM_END};
    if (!reseed_count(drbg, before) || EVP_RAND_CTX_set_params(drbg, params.data()) != 1) {
        ERR_clear_error();
        return -1;
    }
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1 ||
        !reseed_count(drbg, after)) {
        ERR_clear_error();
        return -1;
    }
    return after != before ? 1 : 0;
}

#if defined(OSSL_FUNC_PROVIDER_RANDOM_BYTES)
// Collects the loaded providers that can take RAND_bytes over: those whose
// dispatch table offers random bytes (3.5 on).
int add_random_provider(OSSL_PROVIDER *prov, void *names)
{
    for (const OSSL_DISPATCH *fn = OSSL_PROVIDER_get0_dispatch(prov);
         fn != nullptr && fn->function_id != 0; ++fn) {
        if (fn->function_id == OSSL_FUNC_PROVIDER_RANDOM_BYTES) {
            auto &text = *static_cast<std::string *>(names);
            text += (text.empty() ? "" : " or ") + std::string(OSSL_PROVIDER_get0_name(prov));
            break;
        }
    }
    return 1;
}
#endif

// The providers one of which took a RAND_bytes call that the public DRBG
// did not serve; "" when none can.
std::string random_providers()
{
    std::string names;
#if defined(OSSL_FUNC_PROVIDER_RANDOM_BYTES)
    OSSL_PROVIDER_do_all(nullptr, add_random_provider, &names);
#endif
    return names;
}

// Prints the path and the generator on it; false when RAND_bytes fails.
bool print_generator()
{
    // Made before the first call, as that call would make it; on the
    // provider path it may fail (a [random] DRBG that cannot be fetched)
    // while RAND_bytes, which never asks it, works.
    EVP_RAND_CTX *drbg = RAND_get0_public(nullptr);
    const std::string why_none = drbg == nullptr ? first_error() : "";
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        const std::string why = first_error();
        print_drbg(drbg, why_none);
        printf("generate %s\n", why.c_str());
        return false;
    }
    const int through = drbg == nullptr ? 0 : through_public_drbg(drbg);
    const std::string providers = through == 0 ? random_providers() : "";
    if (through == 1) {
        printf("path public-drbg\n");
        print_drbg(drbg, why_none);
    } else if (!providers.empty()) {
        printf("path provider\nrandom_provider %s\n", providers.c_str());
    } else {
        printf("path unknown\n");
        print_drbg(drbg, why_none);
    }
    return true;
}
#else
// The 1.1.1 series reads no [random] section: its DRBG is fixed, and
// RAND_bytes goes through it.
bool print_generator()
{
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        printf("generate %s\n", first_error().c_str());
        return false;
    }
    printf("path public-drbg\ndrbg CTR-DRBG\ncipher AES-256-CTR\n"
           "provider none (fixed in the 1.1.1 series)\n");
    return true;
}
#endif

} // namespace

int main()
{
    printf("version %s\n", OpenSSL_version(OPENSSL_VERSION));
    printf("cflags %s\n", OpenSSL_version(OPENSSL_CFLAGS));

    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    // An unknown module or key and a value the module refuses are all
    // errors. So is a file that OPENSSL_CONF names but that cannot be read
    // (the library would quietly do without it); only the default file may
    // be absent.
    const char *named = getenv("OPENSSL_CONF"); // NOLINT(concurrency-mt-unsafe): one thread
    const unsigned long flags = named != nullptr ? 0 : CONF_MFLAGS_IGNORE_MISSING_FILE;
    if (CONF_modules_load_file(nullptr, nullptr, flags) <= 0) {
        printf("config %s\n", first_error().c_str());
        return 1;
    }
    printf("config ok\n");

    if (!print_generator()) {
        return 1;
    }
    printf("generate ok\n");
    return 0;
}
