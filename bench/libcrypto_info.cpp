// Which libcrypto this build links and which generator stands behind
// RAND_bytes under the configuration it is started with, for comparisons: a
// record can say neither. Prints one "key value" line each:
//
//   version, cflags   OpenSSL_version's texts
//   config            "ok", or why the library could not apply the whole
//                     configuration file (OPENSSL_CONF, which must exist, or
//                     the default one, which may be absent)
//   drbg              the EVP_RAND name of the public DRBG, or "none"
//   cipher | digest   what that DRBG runs on (CTR-DRBG a cipher, the others a digest)
//   provider          the provider that serves it
//   generate          "ok", or why a RAND_bytes call failed
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

void print_generator()
{
    EVP_RAND_CTX *drbg = RAND_get0_public(nullptr);
    if (drbg == nullptr) {
        printf("drbg none\ndrbg_error %s\n", first_error().c_str());
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
#else
// The 1.1.1 series reads no [random] section: its DRBG is fixed.
void print_generator()
{
    printf("drbg CTR-DRBG\ncipher AES-256-CTR\nprovider none (fixed in the 1.1.1 series)\n");
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

    print_generator();
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        printf("generate %s\n", first_error().c_str());
        return 1;
    }
    printf("generate ok\n");
    return 0;
}
