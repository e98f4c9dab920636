// rand_lab's own subject: OpenSSL's RAND_bytes and RAND_priv_bytes, and with
// --cipher one AES-256-CTR encryption of the same size (the default
// CTR-DRBG's cipher) on the same library, a floor that no CTR-DRBG call of
// that size can go under. Another source is handed to its own executable.
#include "subject.h"

#include "launch.h"
#include "measure.h"
#include "options.h"
#include "report.h"
#include "results_file.h"
#include "threads.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct SubjectState {
    struct CipherFree {
        void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
    };
    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> cipher;
    std::vector<unsigned char> plain;
};

void SubjectStateFree::operator()(SubjectState *state) const
{
    delete state; // NOLINT(cppcoreguidelines-owning-memory): the unique_ptr's deleter
}

namespace {

// A fresh key and counter for each thread, as each DRBG has its own.
// Returns what went wrong, or "".
std::string set_up_cipher(SubjectState &state)
{
    unsigned char key[32];
    unsigned char iv[16];
    state.cipher.reset(EVP_CIPHER_CTX_new());
    if (state.cipher == nullptr) {
        return "Cannot set up AES-256-CTR on this libcrypto";
    }
    // The generator under test makes the key: when it fails, that is what
    // to say, not that the cipher is missing.
    if (RAND_bytes(key, sizeof key) != 1 || RAND_bytes(iv, sizeof iv) != 1) {
        return "The RAND_bytes call for the AES-256-CTR key failed";
    }
    if (EVP_EncryptInit_ex(state.cipher.get(), EVP_aes_256_ctr(), nullptr, key, iv) != 1) {
        return "Cannot set up AES-256-CTR on this libcrypto";
    }
    return "";
}

} // namespace

const char *subject_source()
{
    return "openssl";
}

const char *subject_name(Subject subject)
{
    switch (subject) {
    case Subject::Public:
        return "RAND_bytes";
    case Subject::Private:
        return "RAND_priv_bytes";
    case Subject::Cipher:
        return "AES-256-CTR";
    }
    return "";
}

int subject_start(const Options &options, int argc, char **argv)
{
    if (options.source != subject_source()) {
        return launch_source(options.source.c_str(), argc, argv);
    }
    if (options.version) {
        report_source(subject_source(), OpenSSL_version(OPENSSL_VERSION));
        return finish_standard_output(0);
    }
    return -1;
}

std::string subject_prepare(Worker &w, const Options &options)
{
    if (options.subject != Subject::Cipher) {
        return "";
    }
    w.state.reset(new SubjectState);
    w.state->plain.assign(static_cast<size_t>(options.bytes), 0);
    return set_up_cipher(*w.state);
}

namespace {

void measure_subject(Worker &w, const Options &options)
{
    const int bytes = static_cast<int>(options.bytes);
    switch (options.subject) {
    case Subject::Public:
        measure(w, options, [bytes](unsigned char *out) { return RAND_bytes(out, bytes); });
        break;
    case Subject::Private:
        measure(w, options, [bytes](unsigned char *out) { return RAND_priv_bytes(out, bytes); });
        break;
    case Subject::Cipher: {
        // Set once, outside every interval; CTR always writes bytes.
        int written = 0;
        EVP_CIPHER_CTX *context = w.state->cipher.get();
        const unsigned char *plain = w.state->plain.data();
        measure(w, options, [context, plain, &written, bytes](unsigned char *out) {
            return EVP_EncryptUpdate(context, out, &written, plain, bytes);
        });
        break;
    }
    }
}

} // namespace

void subject_thread(Worker &w, const Options &options, StartLine &startLine)
{
    if (startLine.arrive_and_wait()) {
        measure_subject(w, options);
    }
}

// The library's state is its own, process-wide and per thread: the child's
// threads make the same calls on what the fork copied.
void subject_child_thread(Worker &child, const Worker & /*parent*/, const Options &options,
                          StartLine *startLine)
{
    if (startLine == nullptr || startLine->arrive_and_wait()) {
        measure_subject(child, options);
    }
}

void subject_report() {}
