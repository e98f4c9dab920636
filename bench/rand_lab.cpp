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
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if !defined(RNG_OS_WINDOWS)
#include <pthread.h>
#include <sched.h>
#endif

namespace {

// The limits, printed by --limits for the runner to check its own against.
constexpr long kMaxBytes = 1048576;
constexpr long kMaxThreads = 1024;
// A median takes two counts: a thread of one call has none.
constexpr long kMinCalls = 2;
constexpr long kMaxCalls = 1048576;
// 256 MiB of counts (8 bytes each) at most, whatever the mix of threads and
// calls.
constexpr long kMaxSamples = 33554432;

enum class Subject { Public, Private, Cipher };

struct Options {
    long bytes = kBlockSize;
    long threads = 1;
    long calls = kSampleCount;
    Subject subject = Subject::Public;
    bool limits = false;
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
    const char *why;
};

constexpr Counted kCounted[] = {
    {"--bytes", 1, kMaxBytes, &Options::bytes, ""},
    {"--threads", 1, kMaxThreads, &Options::threads, ""},
    {"--calls", kMinCalls, kMaxCalls, &Options::calls, " (a median takes at least two calls)"}};

void print_limits()
{
    for (const Counted &c : kCounted) {
        printf("%s %ld %ld\n", c.name + 2, c.low, c.high);
    }
    printf("samples %ld\n", kMaxSamples);
}

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
        if (option == "--cipher" || option == "--limits") {
            if (inline_value) {
                return usage_error("%s takes no value", option.c_str());
            }
            (option == "--cipher" ? cipher : options.limits) = true;
            continue;
        }
        const Counted *count = counted(option);
        if (count == nullptr && option != "--generator") {
            return usage_error("unknown option %s (--bytes N, --threads T, --calls N, "
                               "--generator public|private, --cipher, --limits)",
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
            return usage_error("%s needs a whole number from %ld to %ld%s, not \"%s\"",
                               option.c_str(), count->low, count->high, count->why, value.c_str());
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

// The processor the calling thread runs on, or -1 where that cannot be
// told. Cheap (a vDSO read on Linux), but still kept out of every interval.
int current_cpu()
{
#if defined(RNG_OS_WINDOWS)
    return static_cast<int>(GetCurrentProcessorNumber());
#elif defined(RNG_OS_LINUX)
    return sched_getcpu();
#else
    return -1;
#endif
}

// Where a thread's calls ran: the processor before call 0 and after the last
// call, and how many calls were started or ended elsewhere than on the
// first. Counters only, so that a long run costs no memory for them.
struct Placement {
    int first = -1;
    int last = -1;
    size_t away = 0;

    void note(size_t call, int before, int after)
    {
        if (call == 0) {
            first = before;
        }
        away += before != first || after != first ? 1 : 0;
        last = after;
    }
};

// One thread's buffers, sample and loop interval. Everything is allocated
// before the threads start; the loops allocate nothing.
struct Worker {
    struct CipherFree {
        void operator()(EVP_CIPHER_CTX *cipher) const { EVP_CIPHER_CTX_free(cipher); }
    };

    std::vector<uint64_t> time;
    std::vector<char> failed;
    std::vector<unsigned char> block;
    std::vector<unsigned char> plain;
    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> cipher;
    LARGE_INTEGER t1{};
    LARGE_INTEGER t2{};
    Placement placement;
};

// Only the call and its argument set-up stand between the reads; the
// processor is read just outside them. The call
// is a template argument, so that the measured call is a direct one, as in
// the program's runs.
template <typename Call>
void measure(Worker &w, Call call)
{
    QueryPerformanceCounter(&w.t1);
    for (size_t i = 0; i < w.time.size(); i++) {
        const int cpuBefore = current_cpu();
        const uint64_t tick = cpucyclesS();
        const int ret = call(w.block.data());
        w.time[i] = cpucyclesE() - tick;
        const int cpuAfter = current_cpu();
        w.placement.note(i, cpuBefore, cpuAfter);
        w.failed[i] = static_cast<char>(ret != 1);
    }
    QueryPerformanceCounter(&w.t2);
}

void measure_subject(Worker &w, Subject subject, int bytes)
{
    switch (subject) {
    case Subject::Public:
        measure(w, [bytes](unsigned char *out) { return RAND_bytes(out, bytes); });
        break;
    case Subject::Private:
        measure(w, [bytes](unsigned char *out) { return RAND_priv_bytes(out, bytes); });
        break;
    case Subject::Cipher: {
        // Set once, outside every interval; CTR always writes bytes.
        int written = 0;
        measure(w, [&w, &written, bytes](unsigned char *out) {
            return EVP_EncryptUpdate(w.cipher.get(), out, &written, w.plain.data(), bytes);
        });
        break;
    }
    }
}

// A fresh key and counter for each thread, as each DRBG has its own.
// Returns what went wrong, or nullptr.
const char *set_up_cipher(Worker &w)
{
    unsigned char key[32];
    unsigned char iv[16];
    w.cipher.reset(EVP_CIPHER_CTX_new());
    if (w.cipher == nullptr) {
        return "Cannot set up AES-256-CTR on this libcrypto";
    }
    // The generator under test makes the key: when it fails, that is what
    // to say, not that the cipher is missing.
    if (RAND_bytes(key, sizeof key) != 1 || RAND_bytes(iv, sizeof iv) != 1) {
        return "The RAND_bytes call for the AES-256-CTR key failed";
    }
    if (EVP_EncryptInit_ex(w.cipher.get(), EVP_aes_256_ctr(), nullptr, key, iv) != 1) {
        return "Cannot set up AES-256-CTR on this libcrypto";
    }
    return nullptr;
}

// Holds every thread until all are ready, then lets them go at once, or
// tells them to go home when not all of them could be started.
class StartLine {
public:
    explicit StartLine(size_t expected) : expected_(expected) {}

    // Returns whether to measure.
    bool arrive_and_wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_++;
        ready_.notify_all();
        go_.wait(lock, [this] { return started_; });
        return !cancelled_;
    }

    // Returns once every thread waits; the caller then reads the clock and
    // calls start.
    void wait_for_all()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return arrived_ == expected_; });
    }

    void start() { release(false); }
    void cancel() { release(true); }

private:
    void release(bool cancelled)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            started_ = true;
            cancelled_ = cancelled;
        }
        go_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable go_;
    size_t expected_;
    size_t arrived_ = 0;
    bool started_ = false;
    bool cancelled_ = false;
};

// The parallel section's wall-clock readings.
struct Section {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER start{};
    LARGE_INTEGER end{};
};

// Runs each worker's loop on a thread of its own, all let go at once.
// Returns false, having said why, when a thread cannot be started: the ones
// already started then measure nothing.
bool run_threads(std::vector<Worker> &workers, Subject subject, int bytes, Section &section)
{
    StartLine startLine(workers.size());
    std::vector<std::thread> running;
    running.reserve(workers.size());
    for (Worker &w : workers) {
        std::string reason;
        try {
            running.emplace_back([&startLine, &w, bytes, subject] {
                if (startLine.arrive_and_wait()) {
                    measure_subject(w, subject, bytes);
                }
            });
            continue;
        } catch (const std::system_error &e) {
            reason = e.code().message();
        } catch (const std::bad_alloc &) {
            reason = "out of memory";
        }
        printf("Cannot start thread %zu of %zu: %s\n", running.size() + 1, workers.size(),
               reason.c_str());
        startLine.cancel();
        for (std::thread &thread : running) {
            thread.join();
        }
        return false;
    }
    QueryPerformanceFrequency(&section.frequency);
    startLine.wait_for_all();
    QueryPerformanceCounter(&section.start);
    startLine.start();
    for (std::thread &thread : running) {
        thread.join();
    }
    QueryPerformanceCounter(&section.end);
    return true;
}

// Each thread's failed calls, loop interval counted from the start of the
// parallel section, and processors, and the calls and bytes per second of all of them
// together. Returns the number of failed calls.
size_t report(const std::vector<Worker> &workers, const std::string &label, Subject subject,
              long bytes, const Section &section)
{
    size_t failedCalls = 0;
    for (size_t k = 0; k < workers.size(); k++) {
        const Worker &w = workers[k];
        for (size_t i = 0; i < w.failed.size(); i++) {
            if (w.failed[i] != 0) {
                failedCalls++;
                printf("%s Failed--> %zu. cycle", name_of(subject), i);
                printf(workers.size() > 1 ? " (thread %zu)\n" : "\n", k + 1);
            }
        }
        printf("thread %zu: loop %.6f-%.6f s, cpu %d to %d, %zu calls away from cpu %d\n", k + 1,
               seconds_between(section.start, w.t1, section.frequency),
               seconds_between(section.start, w.t2, section.frequency), w.placement.first,
               w.placement.last, w.placement.away, w.placement.first);
    }
    const double wall = seconds_between(section.start, section.end, section.frequency);
    const double allCalls =
        static_cast<double>(workers.size()) * static_cast<double>(workers[0].time.size());
    printf("%s %.0f calls in %.6f s: %.0f calls/s, %.0f bytes/s\n", label.c_str(), allCalls, wall,
           allCalls / wall, allCalls * static_cast<double>(bytes) / wall);
    return failedCalls;
}

#if !defined(RNG_OS_WINDOWS)
// While it lives, a signal that would end the process waits: the appends
// are then finished or undone, never left half-way, and the signal ends the
// process right after. (On Windows a console's Ctrl+C ends the process from
// another thread, which no mask holds.)
class HeldSignals {
public:
    HeldSignals()
    {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
            sigaddset(&held, signal);
        }
        pthread_sigmask(SIG_BLOCK, &held, &previous_);
    }
    ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    HeldSignals(const HeldSignals &) = delete;
    HeldSignals &operator=(const HeldSignals &) = delete;
    HeldSignals(HeldSignals &&) = delete;
    HeldSignals &operator=(HeldSignals &&) = delete;

private:
    sigset_t previous_{};
};
#else
struct HeldSignals {};
#endif

// What goes into the one append of the run's records, allocated with the
// buffers.
struct Records {
    std::vector<const char *> names;
    std::vector<uint64_t *> samples;
    std::vector<double> seconds;
};

// Every thread's record in one append, or none of them.
bool append_all(FILE *timeFile, const std::string &label, std::vector<Worker> &workers,
                const Section &section, Records &records)
{
    for (Worker &w : workers) {
        records.names.push_back(label.c_str());
        records.samples.push_back(w.time.data());
        records.seconds.push_back(seconds_between(w.t1, w.t2, section.frequency));
    }
    const HeldSignals held;
    return append_records(timeFile, records.names.data(), records.samples.data(),
                          records.names.size(), workers[0].time.size(), records.seconds.data());
}

int run_lab(const Options &options)
{
    const auto threads = static_cast<size_t>(options.threads);
    const auto calls = static_cast<size_t>(options.calls);
    const auto bytes = static_cast<int>(options.bytes);
    const std::string label = std::string(name_of(options.subject)) + " " +
                              std::to_string(options.bytes) + " B " +
                              std::to_string(options.threads) +
                              (options.threads == 1 ? " thread:" : " threads:");

    // Every buffer first: when memory runs out, nothing has been written.
    std::vector<Worker> workers(threads);
    Records records;
    records.names.reserve(threads);
    records.samples.reserve(threads);
    records.seconds.reserve(threads);
    for (Worker &w : workers) {
        w.time.assign(calls, 0);
        w.failed.assign(calls, 0);
        // Room for what a block cipher may hold back, though CTR holds none.
        w.block.assign(static_cast<size_t>(bytes) + 32, 0);
        if (options.subject == Subject::Cipher) {
            w.plain.assign(static_cast<size_t>(bytes), 0);
        }
    }
    if (options.subject == Subject::Cipher) {
        for (Worker &w : workers) {
            if (const char *problem = set_up_cipher(w)) {
                printf("%s\n", problem);
                return 1;
            }
        }
    }

    FILE *timeFile = fopen(kResultsFile, "a+");
    if (timeFile == nullptr) {
        printf("Cannot open \"%s\": %s\n", kResultsFile, strerror(errno)); // NOLINT(concurrency-mt-unsafe)
        return 1;
    }
    Section section;
    if (!run_threads(workers, options.subject, bytes, section)) {
        fclose(timeFile);
        return 1;
    }
    const size_t failedCalls = report(workers, label, options.subject, options.bytes, section);
    // A record that counts failed calls would stand in the series as a
    // measurement of the generator; the program appends one, the lab does not.
    if (failedCalls != 0) {
        printf("No record was appended because %zu call%s failed\n", failedCalls,
               failedCalls == 1 ? "" : "s");
        fclose(timeFile);
        return 1;
    }
    // Appended after the parallel section, so that no thread's writing falls
    // into another's loop.
    append_all(timeFile, label, workers, section, records);
    return close_results(timeFile) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    guard_process_files();
    Options options;
    if (!parse_options(argc, argv, options)) {
        return 2;
    }
    if (options.limits) {
        print_limits();
        return finish_standard_output(0);
    }
    try {
        return finish_standard_output(run_lab(options));
    } catch (const std::bad_alloc &) {
        // Every buffer is allocated before any file is opened or any thread
        // started, so there is nothing to undo.
        printf("Cannot allocate the buffers for %ld thread%s x %ld calls of %ld bytes\n",
               options.threads, options.threads == 1 ? "" : "s", options.calls, options.bytes);
        return finish_standard_output(1);
    }
}
