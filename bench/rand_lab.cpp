// The lab's driver: the program's measurement for the regimes the program
// leaves out. Each of T threads makes N calls of one size, each call timed
// with the program's fenced counter reads exactly as the program times its
// own, and each thread's sample becomes one record appended to
// "osslRb1a.txt" the way the program appends its record. With --cipher the
// same interval is put around one AES-256-CTR encryption of that size (the
// default CTR-DRBG's cipher) on the same library: a floor that no CTR-DRBG
// call of that size can go under.
//
//   rand_lab [--source NAME] [--bytes N] [--threads T] [--calls N]
//            [--generator public|private] [--cipher]
//
// --source measures another generator the same way (the kernel's, the
// processor's, another library's; see kSources). Two libraries that define
// RAND_bytes cannot share a process, so each other source has an executable
// of its own beside this one, rand_lab-NAME: this file built with
// RAND_LAB_SOURCE over that source's file in bench/sources. rand_lab execs
// it with the same arguments; it is never run by hand.
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

#if defined(RAND_LAB_SOURCE)
#include "source.h"
#else
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#endif

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
#include <sys/wait.h>
#include <unistd.h>
#else
#include <process.h>
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
// What --keep may hold in memory: every byte of every call.
constexpr long kMaxKept = 268435456;

// Set in a failed call's count: no interval comes near 2^63 ticks (a
// century at 3 GHz), and a run with a failed call appends no count.
constexpr uint64_t kFailed = uint64_t{1} << 63;

enum class Subject { Public, Private, Cipher };

// Every generator --source may name, and what building it takes (a Debian
// package, or else what the build must be): a source that is not built here
// is refused with that, never skipped in silence.
struct KnownSource {
    const char *name;
    const char *package;
    const char *needs;
};

constexpr KnownSource kSources[] = {
    {"openssl", "libssl-dev", nullptr},
    {"getrandom", nullptr, "a C library with getrandom(2), glibc 2.25 or later"},
    {"rdrand", nullptr, "an x86-64 build"},
    {"rdseed", nullptr, "an x86-64 build"},
    {"boringssl", "android-libboringssl-dev", nullptr},
    {"libsodium", "libsodium-dev", nullptr},
    {"gnutls", "libgnutls28-dev", nullptr},
    {"libgcrypt", "libgcrypt20-dev", nullptr},
    {"wolfssl", "libwolfssl-dev", nullptr},
    {"mbedtls", "libmbedtls-dev", nullptr},
    {"vdso", nullptr, "a Linux x86-64 build"},
    {"arc4random", nullptr, "a C library with arc4random_buf, glibc 2.36 or later"},
    {"botan", "libbotan-2-dev", nullptr},
    {"botan-user", "libbotan-2-dev", nullptr},
    {"bcrypt", nullptr, "a Windows build, which tools/windows-check makes"}};

const KnownSource *known_source(const std::string &name)
{
    for (const KnownSource &known : kSources) {
        if (name == known.name) {
            return &known;
        }
    }
    return nullptr;
}

// The source this executable measures itself.
const char *own_source()
{
#if defined(RAND_LAB_SOURCE)
    return source_name();
#else
    return "openssl";
#endif
}

struct Options {
    long bytes = kBlockSize;
    long threads = 1;
    long calls = kSampleCount;
    Subject subject = Subject::Public;
    bool limits = false;
    bool fork = false;
    bool version = false;
    std::string source = own_source();
    std::string samplesFile; // empty: none
    std::string keepFile;    // empty: none
};

const char *name_of(Subject subject)
{
    switch (subject) {
    case Subject::Public:
#if defined(RAND_LAB_SOURCE)
        return source_name();
#else
        return "RAND_bytes";
#endif
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

// The checks between options, once all are read.
bool check_options(const Options &options, bool generatorGiven)
{
    const bool cipher = options.subject == Subject::Cipher;
    // The private generator, the cipher and the fork check are OpenSSL's.
    if (options.source != "openssl" && (cipher || generatorGiven || options.fork)) {
        return usage_error("%s is for --source openssl, not %s",
                           cipher ? "--cipher" : generatorGiven ? "--generator" : "--fork",
                           options.source.c_str());
    }
    if (cipher && generatorGiven) {
        return usage_error("%s", "--cipher measures the cipher, not a generator: give one of the two");
    }
    if (cipher && options.fork) {
        return usage_error("%s", "--fork compares a generator's bytes: not with --cipher");
    }
    if (cipher && !options.keepFile.empty()) {
        return usage_error("%s", "--keep keeps a generator's bytes: not with --cipher");
    }
    if (options.fork && !options.keepFile.empty()) {
        return usage_error("%s", "--keep keeps one process's bytes: not with --fork");
    }
#if defined(RNG_OS_WINDOWS)
    if (options.fork) {
        return usage_error("%s", "--fork needs fork(), which Windows lacks");
    }
#endif
    // The parent holds the child's counts too.
    const long processes = options.fork ? 2 : 1;
    if (processes * options.threads * options.calls > kMaxSamples) {
        return usage_error("--threads times --calls (twice that with --fork) is at most %ld",
                           kMaxSamples);
    }
    if (!options.keepFile.empty() && options.threads * options.calls * options.bytes > kMaxKept) {
        return usage_error("--keep holds every byte in memory: --threads times --calls times "
                           "--bytes is at most %ld",
                           kMaxKept);
    }
    if (!options.samplesFile.empty() && options.samplesFile == options.keepFile) {
        return usage_error("%s", "--samples and --keep name the same file");
    }
    return true;
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
        if (option == "--cipher" || option == "--limits" || option == "--fork" ||
            option == "--version") {
            if (inline_value) {
                return usage_error("%s takes no value", option.c_str());
            }
            (option == "--cipher"    ? cipher
             : option == "--fork"    ? options.fork
             : option == "--version" ? options.version
                                     : options.limits) = true;
            continue;
        }
        const Counted *count = counted(option);
        if (count == nullptr && option != "--generator" && option != "--samples" &&
            option != "--keep" && option != "--source") {
            return usage_error("unknown option %s (--source NAME, --bytes N, --threads T, "
                               "--calls N, --generator public|private, --cipher, --samples FILE, "
                               "--fork, --keep FILE, --limits, --version)",
                               option.c_str());
        }
        if (!inline_value) {
            if (i + 1 >= argc) {
                return usage_error("%s needs a value", option.c_str());
            }
            value = argv[++i];
        }
        if (option == "--source") {
            if (known_source(value) == nullptr) {
                std::string names;
                for (const KnownSource &known : kSources) {
                    names += std::string(names.empty() ? "" : ", ") + known.name;
                }
                return usage_error("unknown source \"%s\" (%s)", value.c_str(), names.c_str());
            }
            options.source = value;
        } else if (option == "--samples" || option == "--keep") {
            if (value.empty()) {
                return usage_error("%s needs a file name", option.c_str());
            }
            (option == "--samples" ? options.samplesFile : options.keepFile) = value;
        } else if (count == nullptr) {
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
    if (cipher) {
        options.subject = Subject::Cipher;
    }
    return check_options(options, generatorGiven);
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
#if defined(RAND_LAB_SOURCE)
    SourceThread *state = nullptr;
#else
    struct CipherFree {
        void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
    };
#endif
    // Why the thread's generator state could not be made; empty if it was.
    std::string openError;

    // Each call's count; a failed call's has kFailed set. One 8-byte word a
    // call and nothing else, so that 262,144 calls x 8 threads hold 16 MiB.
    std::vector<uint64_t> time;
    // Every call's bytes with --keep, stride bytes apart; otherwise one
    // block that every call fills.
    std::vector<unsigned char> block;
    size_t stride = 0;
#if !defined(RAND_LAB_SOURCE)
    std::vector<unsigned char> plain;
    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> cipher;
#endif
    // In a fork child only: call 0's bytes, for the parent to compare.
    std::vector<unsigned char> first;
    LARGE_INTEGER t1{};
    LARGE_INTEGER t2{};
    Placement placement;
};

// Only the call and its argument set-up stand between the reads; the
// processor is read just outside them. The call is a template argument, so
// that the measured call is a direct one, as in the program's runs.
template <typename Call>
void measure(Worker &w, Call call)
{
    QueryPerformanceCounter(&w.t1);
    for (size_t i = 0; i < w.time.size(); i++) {
        unsigned char *out = w.block.data() + i * w.stride;
        const int cpuBefore = current_cpu();
        const uint64_t tick = cpucyclesS();
        const int ret = call(out);
        const uint64_t ticks = cpucyclesE() - tick;
        w.time[i] = ret == 1 ? ticks : ticks | kFailed;
        const int cpuAfter = current_cpu();
        w.placement.note(i, cpuBefore, cpuAfter);
        if (i == 0 && !w.first.empty()) {
            std::memcpy(w.first.data(), out, w.first.size());
        }
    }
    QueryPerformanceCounter(&w.t2);
}

#if defined(RAND_LAB_SOURCE)
void measure_subject(Worker &w, Subject /*subject*/, int bytes)
{
    const auto size = static_cast<size_t>(bytes);
    measure(w, [&w, size](unsigned char *out) { return source_fill(w.state, out, size); });
}

// The thread's own generator state, made and released in the thread, outside
// its loop.
void open_thread(Worker &w)
{
    if (!source_thread_open(w.state, w.openError) && w.openError.empty()) {
        w.openError = "cannot set up the generator";
    }
}

void close_thread(Worker &w)
{
    source_thread_close(w.state);
    w.state = nullptr;
}
#else
void open_thread(Worker & /*w*/) {}
void close_thread(Worker & /*w*/) {}

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
#endif

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
                open_thread(w);
                if (startLine.arrive_and_wait()) {
                    measure_subject(w, subject, bytes);
                }
                close_thread(w);
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
    for (size_t k = 0; k < workers.size(); k++) {
        if (!workers[k].openError.empty()) {
            printf("%s: thread %zu of %zu: %s\n", own_source(), k + 1, workers.size(),
                   workers[k].openError.c_str());
            startLine.cancel();
            for (std::thread &thread : running) {
                thread.join();
            }
            return false;
        }
    }
    QueryPerformanceCounter(&section.start);
    startLine.start();
    for (std::thread &thread : running) {
        thread.join();
    }
    QueryPerformanceCounter(&section.end);
    return true;
}

// Each thread's failed calls, loop interval counted from the start of the
// parallel section, and processors, and the calls and bytes per second of
// all of them together; a fork child's lines say so. Returns the number of
// failed calls.
size_t report(const std::vector<Worker> &workers, const std::string &label, const char *process,
              Subject subject, long bytes, const Section &section)
{
    size_t failedCalls = 0;
    for (size_t k = 0; k < workers.size(); k++) {
        const Worker &w = workers[k];
        for (size_t i = 0; i < w.time.size(); i++) {
            if ((w.time[i] & kFailed) != 0) {
                failedCalls++;
                printf("%s Failed--> %zu. cycle", name_of(subject), i);
                if (workers.size() > 1 || *process != '\0') {
                    printf(" (%sthread %zu)", process, k + 1);
                }
                printf("\n");
            }
        }
        printf("%sthread %zu: loop %.6f-%.6f s, cpu %d to %d, %zu calls away from cpu %d\n",
               process, k + 1, seconds_between(section.start, w.t1, section.frequency),
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

// A file appended to together with the results file: under a lock of its
// own, held until the records are appended too, and cut back to what it
// held before when they are not, or when its own append fails. Unbuffered,
// so that nothing of a failed write stays behind in a buffer.
struct Beside {
    FILE *fp = nullptr;
    const char *name = nullptr;
    bool locked = false;
    int64_t before = -1;
};

bool open_beside(Beside &file, const std::string &name, const char *mode)
{
    file.name = name.c_str();
    file.fp = fopen(file.name, mode);
    if (file.fp == nullptr) {
        printf("Cannot open \"%s\": %s\n", file.name, strerror(errno)); // NOLINT(concurrency-mt-unsafe)
        return false;
    }
    setvbuf(file.fp, nullptr, _IONBF, 0);
    return true;
}

void undo(Beside &file)
{
    if (file.fp != nullptr && file.before >= 0 && stream_length(file.fp) != file.before &&
        !truncate_stream(file.fp, file.before)) {
        printf("Cannot cut back \"%s\": %s\n", file.name, strerror(errno)); // NOLINT(concurrency-mt-unsafe)
    }
}

void release(Beside &file)
{
    if (file.locked) {
        unlock_stream(file.fp);
        file.locked = false;
    }
}

void close_beside(Beside &file)
{
    if (file.fp != nullptr) {
        fclose(file.fp);
        file.fp = nullptr;
    }
}

// Locks the file, takes its length and appends what write(length) puts on
// it. Returns whether all of it was written; if not, says why and cuts it
// back.
template <typename Write>
bool append_beside(Beside &file, Write write)
{
    // Without a lock (a file system that has none) the append still goes
    // ahead, as the program's own does.
    file.locked = lock_stream(file.fp);
    file.before = stream_length(file.fp);
    if (write(file.before) && fflush(file.fp) == 0 && ferror(file.fp) == 0) {
        return true;
    }
    printf("Cannot write \"%s\": %s\n", file.name, strerror(errno)); // NOLINT(concurrency-mt-unsafe)
    undo(file);
    return false;
}

constexpr const char *kSamplesHeader = "thread,call,ticks\n";
// Lines are formatted into a buffer of this size and written as it fills.
constexpr size_t kLineBuffer = 65536;
// Longer than any "thread,call,ticks" line.
constexpr size_t kLongestLine = 64;

// "thread,call,ticks" for every call, threads numbered on from firstThread
// and calls from 0, in call order: written before the record sorts them.
bool write_samples(FILE *fp, const std::vector<Worker> &workers, size_t firstThread,
                   std::vector<char> &buffer)
{
    size_t used = 0;
    const auto number = [&](uint64_t value, char after) {
        const std::to_chars_result put =
            std::to_chars(buffer.data() + used, buffer.data() + buffer.size(), value);
        used = static_cast<size_t>(put.ptr - buffer.data());
        buffer[used++] = after;
    };
    for (size_t k = 0; k < workers.size(); k++) {
        const std::vector<uint64_t> &time = workers[k].time;
        for (size_t i = 0; i < time.size(); i++) {
            if (buffer.size() - used < kLongestLine) {
                if (fwrite(buffer.data(), 1, used, fp) != used) {
                    return false;
                }
                used = 0;
            }
            number(firstThread + k, ',');
            number(i, ',');
            number(time[i], '\n');
        }
    }
    return fwrite(buffer.data(), 1, used, fp) == used;
}

// One run: what it measures, its workers (and a fork child's, as the parent
// received them), its files and the buffers its appends need, all of them
// allocated before anything is measured or written.
struct Run {
    explicit Run(const Options &given) : options(given), bytes(static_cast<int>(given.bytes)) {}

    const Options &options;
    int bytes;
    std::string label;
    std::string childLabel;
    std::vector<Worker> workers;
    std::vector<Worker> child;
    Section section;
    Section childSection;
    std::vector<const char *> names;
    std::vector<uint64_t *> samples;
    std::vector<double> seconds;
    std::vector<char> lines;
    std::vector<unsigned char> next;     // the parent's request after the fork
    std::vector<unsigned char> received; // a child thread's call 0, as received
    FILE *timeFile = nullptr;
    Beside samplesFile;
    Beside keepFile;
};

// Samples first, then the kept bytes, then the records, each under its file's lock: all of them
// or, when any cannot be appended, none.
bool append_all(Run &run)
{
    for (std::vector<Worker> *workers : {&run.workers, &run.child}) {
        for (Worker &w : *workers) {
            run.names.push_back(workers == &run.workers ? run.label.c_str() : run.childLabel.c_str());
            run.samples.push_back(w.time.data());
            run.seconds.push_back(seconds_between(w.t1, w.t2, run.section.frequency));
        }
    }
    const size_t records = run.samples.size();
    const HeldSignals held;
    bool appended = true;
    if (run.samplesFile.fp != nullptr) {
        if (records * run.workers[0].time.size() > 1048576) {
            fprintf(stderr, "rand_lab: appending %zu counts to \"%s\"\n",
                    records * run.workers[0].time.size(), run.samplesFile.name);
        }
        appended = append_beside(run.samplesFile, [&run](int64_t length) {
            return (length != 0 || fputs(kSamplesHeader, run.samplesFile.fp) >= 0) &&
                   write_samples(run.samplesFile.fp, run.workers, 1, run.lines) &&
                   write_samples(run.samplesFile.fp, run.child, run.workers.size() + 1, run.lines);
        });
    }
    if (appended && run.keepFile.fp != nullptr) {
        // Thread by thread, each thread's calls in order.
        appended = append_beside(run.keepFile, [&run](int64_t) {
            return std::all_of(run.workers.begin(), run.workers.end(), [&run](const Worker &w) {
                return fwrite(w.block.data(), 1, w.block.size(), run.keepFile.fp) == w.block.size();
            });
        });
        if (!appended) {
            undo(run.samplesFile);
        }
    }
    if (appended) {
        appended = append_records(run.timeFile, run.names.data(), run.samples.data(), records,
                                  run.workers[0].time.size(), run.seconds.data());
        if (!appended) {
            undo(run.samplesFile);
            undo(run.keepFile);
        }
    }
    release(run.keepFile);
    release(run.samplesFile);
    return appended;
}

// The middle count of a sample, rounded as the record rounds it; sorts it.
uint64_t median_of(std::vector<uint64_t> &time)
{
    std::sort(time.begin(), time.end());
    const size_t n = time.size();
    const uint64_t lower = time[(n - 1) / 2];
    const uint64_t upper = time[n / 2];
    return lower / 2 + upper / 2 + (lower & upper & 1U);
}

#if !defined(RNG_OS_WINDOWS) && !defined(RAND_LAB_SOURCE)
// All of size bytes through io (read or write on fd), which may move fewer
// at a time or be interrupted by a signal.
template <typename Byte, typename Io> bool move_all(int fd, Byte *at, size_t size, Io io)
{
    while (size > 0) {
        const ssize_t n = io(fd, at, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool write_all(int fd, const void *data, size_t size)
{
    return move_all(fd, static_cast<const char *>(data), size, ::write);
}

bool read_all(int fd, void *data, size_t size)
{
    return move_all(fd, static_cast<char *>(data), size, ::read);
}

// A sample's or a buffer's contents over the pipe.
template <typename T>
bool send(int fd, const std::vector<T> &values)
{
    return write_all(fd, values.data(), values.size() * sizeof(T));
}

template <typename T>
bool receive(int fd, std::vector<T> &values)
{
    return read_all(fd, values.data(), values.size() * sizeof(T));
}

// The child: the same threads make the same calls, each copying its call 0's
// bytes; then everything goes to the parent over fd, and the child ends
// without writing any file. Its standard output is the parent's, flushed
// before the fork.
[[noreturn]] void be_the_child(Run &run, int fd)
{
    bool sent = false;
    try {
        for (Worker &w : run.workers) {
            w.first.assign(static_cast<size_t>(run.bytes), 0);
            // Written once now, so that no copy-on-write fault of the
            // parent's pages falls into an interval.
            std::fill(w.time.begin(), w.time.end(), 0);
            std::fill(w.block.begin(), w.block.end(), 0);
        }
        Section section;
        sent = run_threads(run.workers, run.options.subject, run.bytes, section) &&
               write_all(fd, &section, sizeof section);
        for (size_t k = 0; sent && k < run.workers.size(); k++) {
            const Worker &w = run.workers[k];
            sent = write_all(fd, &w.t1, sizeof w.t1) && write_all(fd, &w.t2, sizeof w.t2) &&
                   write_all(fd, &w.placement, sizeof w.placement) && send(fd, w.time) &&
                   send(fd, w.first);
        }
    } catch (const std::bad_alloc &) {
        printf("Cannot allocate the fork child's copies of its first bytes\n");
    }
    fflush(stdout);
    _exit(sent ? 0 : 1);
}

// After the parent's threads: forks, makes the parent's next request while
// the child makes its calls, and takes the child's samples, comparing its
// threads' first bytes with the parent's next. Returns false, having said
// why, when the child did not finish; repeats says whether any first bytes
// were the parent's.
bool fork_child(Run &run, bool &repeats)
{
    int fds[2];
    fflush(stdout);
    if (pipe(fds) != 0) {
        printf("fork: cannot make a pipe: %s\n", strerror(errno)); // NOLINT(concurrency-mt-unsafe)
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        printf("fork: cannot fork: %s\n", strerror(errno)); // NOLINT(concurrency-mt-unsafe)
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        be_the_child(run, fds[1]);
    }
    close(fds[1]);
    const int bytes = run.bytes;
    const int ret = run.options.subject == Subject::Private ? RAND_priv_bytes(run.next.data(), bytes)
                                                            : RAND_bytes(run.next.data(), bytes);
    bool received = read_all(fds[0], &run.childSection, sizeof run.childSection);
    repeats = false;
    for (Worker &w : run.child) {
        received = received && read_all(fds[0], &w.t1, sizeof w.t1) &&
                   read_all(fds[0], &w.t2, sizeof w.t2) &&
                   read_all(fds[0], &w.placement, sizeof w.placement) && receive(fds[0], w.time) &&
                   receive(fds[0], run.received);
        repeats = repeats || (received && run.received == run.next);
    }
    close(fds[0]);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (!received || !WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0) {
        printf("fork: the child did not finish its calls\n");
        return false;
    }
    if (ret != 1) {
        printf("fork: the parent's next %s failed\n", name_of(run.options.subject));
        return false;
    }
    return true;
}
#else
bool fork_child(Run & /*run*/, bool & /*repeats*/)
{
    return false;
}
#endif

// Every buffer of the run, before any file is opened or any call made;
// throws std::bad_alloc when memory runs out.
void allocate(Run &run)
{
    const Options &options = run.options;
    const auto threads = static_cast<size_t>(options.threads);
    const auto calls = static_cast<size_t>(options.calls);
    const auto bytes = static_cast<size_t>(options.bytes);
    run.workers.resize(threads);
    for (Worker &w : run.workers) {
        w.time.assign(calls, 0);
        if (options.keepFile.empty()) {
            // Room for what a block cipher may hold back, though CTR holds
            // none.
            w.block.assign(bytes + 32, 0);
        } else {
            w.block.assign(calls * bytes, 0);
            w.stride = bytes;
        }
#if !defined(RAND_LAB_SOURCE)
        if (options.subject == Subject::Cipher) {
            w.plain.assign(bytes, 0);
        }
#endif
    }
    if (options.fork) {
        run.child.resize(threads);
        for (Worker &w : run.child) {
            w.time.assign(calls, 0);
        }
        run.next.assign(bytes, 0);
        run.received.assign(bytes, 0);
    }
    const size_t records = threads * (options.fork ? 2 : 1);
    run.names.reserve(records);
    run.samples.reserve(records);
    run.seconds.reserve(records);
    if (!options.samplesFile.empty()) {
        run.lines.assign(kLineBuffer, 0);
    }
}

// Two names for one file would have this process wait for its own lock.
bool files_apart(const Run &run)
{
    std::error_code ignored;
    for (const Beside *file : {&run.samplesFile, &run.keepFile}) {
        if (file->fp != nullptr && std::filesystem::equivalent(file->name, kResultsFile, ignored)) {
            return usage_error("%s names the results file \"%s\"",
                               file == &run.keepFile ? "--keep" : "--samples", kResultsFile);
        }
    }
    if (run.samplesFile.fp != nullptr && run.keepFile.fp != nullptr &&
        std::filesystem::equivalent(run.samplesFile.name, run.keepFile.name, ignored)) {
        return usage_error("%s", "--samples and --keep name the same file");
    }
    return true;
}

int measure_and_append(Run &run)
{
    const Options &options = run.options;
    if (!run_threads(run.workers, options.subject, run.bytes, run.section)) {
        return 1;
    }
    size_t failedCalls =
        report(run.workers, run.label, "", options.subject, options.bytes, run.section);
#if defined(RAND_LAB_SOURCE)
    // What the library calls itself, for the run's provenance, and what the
    // source counted, such as the processor's retries.
    printf("source %s: %s\n", source_name(), source_version().c_str());
    const std::string counters = source_counters();
    if (!counters.empty()) {
        printf("%s\n", counters.c_str());
    }
#endif
    bool repeats = false;
    // Read before the records sort the samples.
    uint64_t childFirst = 0;
    if (options.fork) {
        if (!fork_child(run, repeats)) {
            return 1;
        }
        childFirst = run.child[0].time[0];
        failedCalls += report(run.child, run.childLabel, "fork child ", options.subject,
                              options.bytes, run.childSection);
        if (repeats) {
            printf("fork: the child's first %s equals the parent's next: the generator repeats "
                   "across fork\n",
                   name_of(options.subject));
        } else {
            printf("fork: the child's first bytes differ from the parent's next\n");
        }
    }
    // A record that counts failed calls would stand in the series as a
    // measurement of the generator; the program appends one, the lab does
    // not.
    int status = 0;
    if (failedCalls != 0) {
        printf("No record was appended because %zu call%s failed\n", failedCalls,
               failedCalls == 1 ? "" : "s");
        status = 1;
    } else if (!repeats) {
        // Appended after the parallel section, so that no thread's writing
        // falls into another's loop. A record that cannot be appended is
        // reported when the results file is closed.
        status = append_all(run) ? 0 : 1;
    } else {
        status = 1;
    }
    if (options.fork) {
        // The child's first call against what the parent's calls took.
        printf("fork: child's call 0 %llu ticks, parent's median %llu ticks\n",
               static_cast<unsigned long long>(childFirst),
               static_cast<unsigned long long>(median_of(run.workers[0].time)));
    }
    return status;
}

int run_lab(const Options &options)
{
    Run run(options);
    const std::string stem = std::string(name_of(options.subject)) + " " +
                             std::to_string(options.bytes) + " B " +
                             std::to_string(options.threads) +
                             (options.threads == 1 ? " thread" : " threads");
    run.label = stem + ":";
    run.childLabel = stem + " fork child:";
    allocate(run);
#if !defined(RAND_LAB_SOURCE)
    if (options.subject == Subject::Cipher) {
        for (Worker &w : run.workers) {
            if (const char *problem = set_up_cipher(w)) {
                printf("%s\n", problem);
                return 1;
            }
        }
    }
#endif

    run.timeFile = fopen(kResultsFile, "a+");
    if (run.timeFile == nullptr) {
        printf("Cannot open \"%s\": %s\n", kResultsFile, strerror(errno)); // NOLINT(concurrency-mt-unsafe)
        return 1;
    }
    int status = 1;
    if ((!options.samplesFile.empty() && !open_beside(run.samplesFile, options.samplesFile, "a+")) ||
        (!options.keepFile.empty() && !open_beside(run.keepFile, options.keepFile, "ab+"))) {
        status = 1;
    } else if (!files_apart(run)) {
        status = 2;
    } else {
        status = measure_and_append(run);
    }
    close_beside(run.keepFile);
    close_beside(run.samplesFile);
    return close_results(run.timeFile) ? status : 1;
}

#if !defined(RAND_LAB_SOURCE)
// The executable beside this one that measures source `name`.
std::string beside_me(const char *argv0, const std::string &name)
{
    std::string self;
#if defined(RNG_OS_WINDOWS)
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length > 0 && length < sizeof path) {
        self.assign(path, length);
    }
#elif defined(RNG_OS_LINUX)
    std::error_code ignored;
    self = std::filesystem::read_symlink("/proc/self/exe", ignored).string();
#endif
    std::filesystem::path found(self.empty() ? argv0 : self);
    found.replace_filename("rand_lab-" + name + found.extension().string());
    return found.string();
}

#if defined(RNG_OS_WINDOWS)
// One argument as the C runtime's parser reads it back: quoted when it has
// blanks or quotes, backslashes doubled only before a quote.
std::string quoted(const std::string &argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
        return argument;
    }
    std::string out = "\"";
    size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}
#endif

// Runs the source's own executable with the same arguments, which checks
// them again; returns its status, or 2 when it is not built here.
int run_source(const std::string &name, int argc, char **argv)
{
    const std::string path = beside_me(argv[0], name);
    fflush(stdout);
#if defined(RNG_OS_WINDOWS)
    std::vector<std::string> arguments(argv, argv + argc);
    std::vector<std::string> held;
    std::vector<const char *> pointers;
    held.reserve(arguments.size());
    for (const std::string &argument : arguments) {
        held.push_back(quoted(argument));
        pointers.push_back(held.back().c_str());
    }
    pointers.push_back(nullptr);
    const intptr_t status = _spawnv(_P_WAIT, path.c_str(), pointers.data());
    if (status >= 0) {
        return static_cast<int>(status);
    }
#else
    (void)argc;
    execv(path.c_str(), argv);
#endif
    const KnownSource *known = known_source(name);
    if (errno == ENOENT && known->package != nullptr) {
        usage_error("source %s is not built here: install %s (tools/install-deps does) and build "
                    "again",
                    name.c_str(), known->package);
    } else if (errno == ENOENT) {
        usage_error("source %s is not built here: it needs %s", name.c_str(), known->needs);
    } else {
        usage_error("cannot run \"%s\": %s", path.c_str(), strerror(errno)); // NOLINT(concurrency-mt-unsafe)
    }
    return 2;
}
#endif

// Before anything is measured: hands another source to its executable, or
// sets this one's up. Returns -1 to go on, else the status to end with.
int start_source(const Options &options, int argc, char **argv)
{
#if defined(RAND_LAB_SOURCE)
    (void)argc;
    (void)argv;
    if (options.source != source_name()) {
        usage_error("this is the driver of source %s; run rand_lab --source %s",
                    source_name(), options.source.c_str());
        return 2;
    }
    std::string error;
    if (!source_open(error)) {
        usage_error("%s: %s", source_name(), error.c_str());
        return 2;
    }
    if (options.version) {
        printf("%s %s\n", source_name(), source_version().c_str());
        return finish_standard_output(0);
    }
#else
    if (options.source != "openssl") {
        return run_source(options.source, argc, argv);
    }
    if (options.version) {
        printf("openssl %s\n", OpenSSL_version(OPENSSL_VERSION));
        return finish_standard_output(0);
    }
#endif
    return -1;
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
    const int started = start_source(options, argc, argv);
    if (started >= 0) {
        return started;
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
