// Measures the time-stamp-counter cycles that OpenSSL's generators spend
// filling a 16384-byte block, over 1024 calls, and appends the total, median
// and average of the counts and the loop's seconds to "osslRb1a.txt". The
// entry runs the RAND_bytes benchmark.
#include "openssl_rng.h"

#include "cpucycles.h"
#include "platform.h"
#include "run_constants.h"
#include "stats_report.h"

// Built with OPENSSL_RNG_RECORDS_ONLY, only the appending of records is
// compiled: for the lab's drivers of other generators, which link no
// OpenSSL (BoringSSL's libcrypto has the same names).
#if !defined(OPENSSL_RNG_RECORDS_ONLY)
#include <openssl/rand.h>
#endif

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

#if !defined(OPENSSL_RNG_RECORDS_ONLY)
// What sets one run apart from the other; the measuring is the same.
struct RunSettings {
    const char *dataFile;
    const char *failureFormat;
    const char *label;
    bool keepBlocks;
};

constexpr RunSettings kRandBytesRun{"RAND_bytes.bin", "RAND_bytes Failed--> %d. cycle\n",
                                    "RAND_bytes:", false};
constexpr RunSettings kRandPrivBytesRun{"RAND_priv_bytes.bin",
                                        "RAND_priv_bytes Failed--> %d. cycle\n",
                                        "RAND_priv_bytes:", true};
#endif

void report_error(const char *action, const char *file)
{
    printf("Cannot %s \"%s\": %s\n", action, file, strerror(errno)); // NOLINT(concurrency-mt-unsafe)
}

// errno of the write that kept this process's record out of the results
// file, for the report when the file is closed.
int recordErrno = 0;

// Appends what write() puts on fp whole or not at all. Under an exclusive
// lock the file's length is taken and handed to start(length), which sets
// the file up for what follows and may lower length by cutting it; then the
// write is made and flushed, and if any of it failed, the file is cut back to
// length: no torn piece is left for the next append to follow, and whatever
// another process appended before the lock was ours stays. Returns whether it
// was all written; if not, errno says why.
template <typename Start, typename Write>
bool append_whole(FILE *fp, const char *name, Start start, Write write)
{
    // Without a lock (a file system that has none) the append still goes
    // ahead; only runs at the same moment could then collide.
    const bool locked = lock_stream(fp);
    int64_t before = stream_length(fp);
    bool written = before < 0 || start(before);
    if (written) {
        write();
        written = fflush(fp) == 0 && ferror(fp) == 0;
    }
    const int reason = errno;
    if (!written && before >= 0 && stream_length(fp) != before && !truncate_stream(fp, before)) {
        report_error("cut back", name);
    }
    if (locked) {
        unlock_stream(fp);
    }
    errno = reason;
    return written;
}

// Before a record: a last line without its line end (typed by hand, or left
// by a build that tore its record) would run into the record's label, so the
// record then starts with one. If the record fails, the cut back takes it
// too. A last byte that cannot be read gets one as well: an empty line
// between records is harmless, a label glued to junk is not.
bool start_on_a_line_of_its_own(FILE *fp, int64_t length)
{
    if (length > 0 && last_byte(fp, length) != '\n') {
        fputc('\n', fp);
    }
    return true;
}

#if !defined(OPENSSL_RNG_RECORDS_ONLY)
// A data file that keeps every block. It only ever holds whole blocks: the
// first block that cannot be appended is reported and nothing more is
// appended.
struct BlockFile {
    FILE *fp;
    const char *name;
    bool failed;
    int64_t cut; // bytes of an unfinished block cut off before the last append
};

// Unbuffered, so that each block goes straight to the file while its lock
// is held.
BlockFile keep_blocks_in(FILE *fp, const char *name)
{
    setvbuf(fp, nullptr, _IONBF, 0);
    return {fp, name, false, 0};
}

// Before a block: the file has no header, so a length that is not a whole
// number of blocks can only be a piece of one that a writer left when it was
// killed part-way through its write (a write is not atomic against SIGKILL on
// every file system). Appended after it, this block and every later one
// would be misaligned, so the piece is cut off; whole blocks are never
// touched. Returns false, errno saying why, if it stays.
bool cut_unfinished_block(BlockFile &file, int64_t &length)
{
    const int64_t piece = length % kBlockSize;
    if (piece == 0) {
        return true;
    }
    if (!truncate_stream(file.fp, length - piece)) {
        return false;
    }
    length -= piece;
    file.cut = piece;
    return true;
}

void keep_block(BlockFile &file, BYTE *block, int call)
{
    if (file.failed) {
        return;
    }
    file.cut = 0;
    const bool written = append_whole(
        file.fp, file.name, [&](int64_t &length) { return cut_unfinished_block(file, length); },
        [&] { store_Data(file.fp, block); });
    const int reason = errno;
    if (file.cut != 0) {
        printf("Cut %lld byte%s of an unfinished block off \"%s\"\n",
               static_cast<long long>(file.cut), file.cut == 1 ? "" : "s", file.name);
    }
    if (written) {
        return;
    }
    file.failed = true;
    printf("Cannot write \"%s\" at call %d: %s\n", file.name, call,
           strerror(reason)); // NOLINT(concurrency-mt-unsafe)
}

// The generator is a template argument so that the measured call is a direct
// one, exactly as if it were written out in each run.
template <int (*Generate)(unsigned char *, int)>
int measure(FILE *timeFile, BYTE *pbdata, const RunSettings &run)
{
    FILE *fp = fopen(run.dataFile, "ab+");
    if (fp == nullptr) {
        report_error("open", run.dataFile);
        return 1;
    }
    BlockFile kept{};
    if (run.keepBlocks) {
        kept = keep_blocks_in(fp, run.dataFile);
    }

    LARGE_INTEGER frequency;
    LARGE_INTEGER t1;
    LARGE_INTEGER t2;
    std::array<uint64_t, kSampleCount> time{};

    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&t1);
    for (int i = 0; i < kSampleCount; i++) {
        // Only the call and its argument set-up may stand between the reads;
        // the bookkeeping waits until after the end read.
        const uint64_t tick = cpucyclesS();
        const int ret = Generate(pbdata, kBlockSize);
        time[static_cast<size_t>(i)] = cpucyclesE() - tick;
        if (ret != 1) {
            printf(run.failureFormat, i);
        }
        if (run.keepBlocks) {
            keep_block(kept, pbdata, i);
        }
    }
    QueryPerformanceCounter(&t2);
    const double elapsedTime = seconds_between(t1, t2, frequency);

    // A record that cannot be appended leaves the stream's error indicator
    // set, for its owner to report when closing it.
    append_record(timeFile, run.label, time.data(), time.size(), elapsedTime);
    fclose(fp);
    return kept.failed ? 1 : 0;
}

#endif

} // namespace

void store_Data(FILE *fp, void *pbBuffer)
{
    fwrite(pbBuffer, 1, kBlockSize, fp);
}

bool append_record(FILE *timeFile, const char *name, uint64_t *t, size_t tlen,
                   double programRun)
{
    return append_records(timeFile, &name, &t, 1, tlen, &programRun);
}

bool append_records(FILE *timeFile, const char *const *names, uint64_t *const *samples,
                    size_t count, size_t tlen, const double *seconds)
{
    if (append_whole(
            timeFile, kResultsFile,
            [&](int64_t length) { return start_on_a_line_of_its_own(timeFile, length); },
            [&] {
                for (size_t k = 0; k < count; k++) {
                    store_Time_Data(names[k], samples[k], tlen, timeFile, seconds[k]);
                }
            })) {
        return true;
    }
    recordErrno = errno;
    return false;
}

#if !defined(OPENSSL_RNG_RECORDS_ONLY)
int rand_bytes_API(FILE *timeFile, BYTE *pbdata)
{
    return measure<RAND_bytes>(timeFile, pbdata, kRandBytesRun);
}

int rand_priv_bytes_API(FILE *timeFile, BYTE *pbdata)
{
    return measure<RAND_priv_bytes>(timeFile, pbdata, kRandPrivBytesRun);
}

#endif

bool close_results(FILE *timeFile)
{
    const bool appended = ferror(timeFile) == 0;
    if (fclose(timeFile) == 0 && appended) {
        return true;
    }
    if (appended) {
        recordErrno = errno;
    }
    errno = recordErrno;
    report_error("write", kResultsFile);
    return false;
}

int finish_standard_output(int status)
{
    if (fflush(stdout) == 0 && ferror(stdout) == 0) {
        return status;
    }
    // Standard error, because standard output is what failed.
    fprintf(stderr, "Cannot write standard output: %s\n", strerror(errno)); // NOLINT(concurrency-mt-unsafe)
    return 1;
}

#if !defined(OPENSSL_RNG_RECORDS_ONLY)
int main()
{
    guard_process_files();
    // Zeroed, so that a call that fails without writing it leaves zeros
    // rather than old heap; every call that succeeds overwrites it whole.
    auto *data = static_cast<BYTE *>(calloc(1, kBlockSize));
    if (data == nullptr) {
        printf("Cannot allocate the %d-byte block: %s\n", kBlockSize,
               strerror(errno)); // NOLINT(concurrency-mt-unsafe)
        return 1;
    }
    FILE *timeFile = fopen(kResultsFile, "a+");
    if (timeFile == nullptr) {
        report_error("open", kResultsFile);
        free(data);
        return 1;
    }

    LARGE_INTEGER frequency;
    LARGE_INTEGER t1;
    LARGE_INTEGER t2;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&t1);
    const int runStatus = rand_bytes_API(timeFile, data);
    QueryPerformanceCounter(&t2);
    if (runStatus == 0) {
        const double elapsedTime = seconds_between(t1, t2, frequency);
        printf("Program executed in: %f sec\n", elapsedTime);
    }

    const bool recorded = close_results(timeFile);
    free(data);
    return finish_standard_output(runStatus == 0 && recorded ? 0 : 1);
}
#endif
