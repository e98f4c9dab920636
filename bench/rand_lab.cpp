// The lab's driver: the program's measurement for the regimes the program
// leaves out. Each of T threads makes N calls of one size, each call timed
// with the program's fenced counter reads exactly as the program times its
// own, and each thread's sample becomes one record appended to
// "osslRb1a.txt" the way the program appends its record. With --cipher the
// same interval is put around one AES-256-CTR encryption of that size (the
// default CTR-DRBG's cipher) on the same library: a floor that no CTR-DRBG
// call of that size can go under.
//
//   rand_lab [--bytes N] [--threads T] [--calls N] [--generator public|private] [--cipher]
//
// The threads start together behind a barrier so that they contend. On
// standard output: each thread's loop interval, counted from the start of
// the parallel section, and the calls and bytes per second of all threads
// together over the wall time of that section. A bad option gets one line on
// standard error and status 2, and nothing is measured.
#include "cpucycles.h"
#include "openssl_rng.h"
#include "platform.h"
#include "run_constants.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr long kMaxBytes = 1048576;
constexpr long kMaxThreads = 256;
constexpr long kMaxCalls = 1048576;
// 128 MiB of counts at most, whatever the mix of threads and calls.
constexpr long kMaxSamples = 16777216;

enum class Subject { Public, Private, Cipher };

struct Options {
    long bytes = kBlockSize;
    long threads = 1;
    long calls = kSampleCount;
    Subject subject = Subject::Public;
};

const char *name_of(Subject subject)
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

// A whole decimal number from low to high, written without sign or spaces.
bool parse_count(const char *text, long low, long high, long &value)
{
    if (*text < '0' || *text > '9') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const long parsed = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

// One line on standard error, as printf formats it.
template <typename... Args>
bool usage_error(const char *format, Args... args)
{
    fputs("rand_lab: ", stderr);
    fprintf(stderr, format, args...); // NOLINT(cert-err33-c): nowhere else to say it
    fputc('\n', stderr);
    return false;
}

struct Counted {
    const char *name;
    long low;
    long high;
    long Options::*field;
};

constexpr Counted kCounted[] = {{"--bytes", 1, kMaxBytes, &Options::bytes},
                                {"--threads", 1, kMaxThreads, &Options::threads},
                                {"--calls", 1, kMaxCalls, &Options::calls}};

const Counted *counted(const std::string &option)
{
    for (const Counted &c : kCounted) {
        if (option == c.name) {
            return &c;
        }
    }
    return nullptr;
}

bool parse_options(int argc, char **argv, Options &options)
{
    bool generatorGiven = false;
    bool cipher = false;
    for (int i = 1; i < argc; i++) {
        // Both "--bytes 32" and "--bytes=32".
        std::string option = argv[i];
        std::string value;
        const size_t equals = option.find('=');
        const bool inline_value = option.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inline_value) {
            value = option.substr(equals + 1);
            option.erase(equals);
        }
        if (option == "--cipher") {
            if (inline_value) {
                return usage_error("%s", "--cipher takes no value");
            }
            cipher = true;
            continue;
        }
        const Counted *count = counted(option);
        if (count == nullptr && option != "--generator") {
            return usage_error("unknown option %s (--bytes N, --threads T, --calls N, "
                               "--generator public|private, --cipher)",
                               option.c_str());
        }
        if (!inline_value) {
            if (i + 1 >= argc) {
                return usage_error("%s needs a value", option.c_str());
            }
            value = argv[++i];
        }
        if (count == nullptr) {
            if (value != "public" && value != "private") {
                return usage_error("--generator is public or private, not \"%s\"", value.c_str());
            }
            options.subject = value == "public" ? Subject::Public : Subject::Private;
            generatorGiven = true;
        } else if (!parse_count(value.c_str(), count->low, count->high, options.*count->field)) {
            return usage_error("%s needs a whole number from %ld to %ld, not \"%s\"", option.c_str(),
                               count->low, count->high, value.c_str());
        }
    }
    if (cipher && generatorGiven) {
        return usage_error("%s", "--cipher measures the cipher, not a generator: give one of the two");
    }
    if (cipher) {
        options.subject = Subject::Cipher;
    }
    if (options.threads * options.calls > kMaxSamples) {
        return usage_error("--threads times --calls is at most %ld", kMaxSamples);
    }
    return true;
}

// One thread's buffers, sample and loop interval. Everything is allocated
// before the threads start; the loops allocate nothing.
struct Worker {
    std::vector<uint64_t> time;
    std::vector<char> failed;
    std::vector<unsigned char> block;
    std::vector<unsigned char> plain;
    EVP_CIPHER_CTX *cipher = nullptr;
    LARGE_INTEGER t1{};
    LARGE_INTEGER t2{};
};

// The generator is a template argument so that the measured call is a direct
// one, as in the program's runs; only the call and its argument set-up stand
// between the reads.
template <int (*Generate)(unsigned char *, int)>
void measure_generator(Worker &w, int bytes)
{
    QueryPerformanceCounter(&w.t1);
    for (size_t i = 0; i < w.time.size(); i++) {
        const uint64_t tick = cpucyclesS();
        const int ret = Generate(w.block.data(), bytes);
        w.time[i] = cpucyclesE() - tick;
        w.failed[i] = static_cast<char>(ret != 1);
    }
    QueryPerformanceCounter(&w.t2);
}

void measure_cipher(Worker &w, int bytes)
{
    QueryPerformanceCounter(&w.t1);
    for (size_t i = 0; i < w.time.size(); i++) {
        int written = 0;
        const uint64_t tick = cpucyclesS();
        const int ret = EVP_EncryptUpdate(w.cipher, w.block.data(), &written, w.plain.data(), bytes);
        w.time[i] = cpucyclesE() - tick;
        w.failed[i] = static_cast<char>(ret != 1);
    }
    QueryPerformanceCounter(&w.t2);
}

// A fresh key and counter for each thread, as each DRBG has its own.
bool set_up_cipher(Worker &w)
{
    unsigned char key[32];
    unsigned char iv[16];
    w.cipher = EVP_CIPHER_CTX_new();
    return w.cipher != nullptr && RAND_bytes(key, sizeof key) == 1 &&
           RAND_bytes(iv, sizeof iv) == 1 &&
           EVP_EncryptInit_ex(w.cipher, EVP_aes_256_ctr(), nullptr, key, iv) == 1;
}

// Holds every thread until all are ready, then lets them go at once.
class StartLine {
public:
    explicit StartLine(size_t expected) : expected_(expected) {}

    void arrive_and_wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_++;
        ready_.notify_all();
        go_.wait(lock, [this] { return started_; });
    }

    // Returns once every thread waits; the caller then reads the clock and
    // calls start.
    void wait_for_all()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return arrived_ == expected_; });
    }

    void start()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            started_ = true;
        }
        go_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable go_;
    size_t expected_;
    size_t arrived_ = 0;
    bool started_ = false;
};

int run_lab(const Options &options)
{
    const auto threads = static_cast<size_t>(options.threads);
    const auto calls = static_cast<size_t>(options.calls);
    const auto bytes = static_cast<int>(options.bytes);
    const std::string label = std::string(name_of(options.subject)) + " " +
                              std::to_string(options.bytes) + " B " +
                              std::to_string(options.threads) +
                              (options.threads == 1 ? " thread:" : " threads:");

    FILE *timeFile = fopen(kResultsFile, "a+");
    if (timeFile == nullptr) {
        printf("Cannot open \"%s\": %s\n", kResultsFile, strerror(errno)); // NOLINT(concurrency-mt-unsafe)
        return 1;
    }

    std::vector<Worker> workers(threads);
    for (Worker &w : workers) {
        w.time.assign(calls, 0);
        w.failed.assign(calls, 0);
        // Room for what a block cipher may hold back, though CTR holds none.
        w.block.assign(static_cast<size_t>(bytes) + 32, 0);
        if (options.subject == Subject::Cipher) {
            w.plain.assign(static_cast<size_t>(bytes), 0);
            if (!set_up_cipher(w)) {
                printf("Cannot set up AES-256-CTR on this libcrypto\n");
                fclose(timeFile);
                return 1;
            }
        }
    }

    StartLine startLine(threads);
    std::vector<std::thread> running;
    running.reserve(threads);
    for (Worker &w : workers) {
        running.emplace_back([&startLine, &w, bytes, subject = options.subject] {
            startLine.arrive_and_wait();
            switch (subject) {
            case Subject::Public:
                measure_generator<RAND_bytes>(w, bytes);
                break;
            case Subject::Private:
                measure_generator<RAND_priv_bytes>(w, bytes);
                break;
            case Subject::Cipher:
                measure_cipher(w, bytes);
                break;
            }
        });
    }
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    startLine.wait_for_all();
    QueryPerformanceCounter(&start);
    startLine.start();
    for (std::thread &thread : running) {
        thread.join();
    }
    QueryPerformanceCounter(&end);

    int status = 0;
    for (size_t k = 0; k < threads; k++) {
        const Worker &w = workers[k];
        for (size_t i = 0; i < calls; i++) {
            if (w.failed[i] != 0) {
                status = 1;
                printf("%s Failed--> %zu. cycle", name_of(options.subject), i);
                printf(threads > 1 ? " (thread %zu)\n" : "\n", k + 1);
            }
        }
        printf("thread %zu: loop %.6f-%.6f s\n", k + 1, seconds_between(start, w.t1, frequency),
               seconds_between(start, w.t2, frequency));
    }
    const double wall = seconds_between(start, end, frequency);
    const double allCalls = static_cast<double>(threads) * static_cast<double>(calls);
    printf("%s %.0f calls in %.6f s: %.0f calls/s, %.0f bytes/s\n", label.c_str(), allCalls, wall,
           allCalls / wall, allCalls * static_cast<double>(bytes) / wall);

    // Appended after the parallel section, so that no thread's writing falls
    // into another's loop.
    for (Worker &w : workers) {
        if (!append_record(timeFile, label.c_str(), w.time.data(), w.time.size(),
                           seconds_between(w.t1, w.t2, frequency))) {
            break;
        }
    }
    for (Worker &w : workers) {
        EVP_CIPHER_CTX_free(w.cipher);
    }
    return close_results(timeFile) ? status : 1;
}

} // namespace

int main(int argc, char **argv)
{
    guard_process_files();
    Options options;
    if (!parse_options(argc, argv, options)) {
        return 2;
    }
    return finish_standard_output(run_lab(options));
}
