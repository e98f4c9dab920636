// Measures the time-stamp-counter cycles that OpenSSL's generators spend
// filling a 16384-byte block, over 1024 calls, and appends the total, median
// and average of the counts and the loop's seconds to "osslRb1a.txt". The
// entry runs the RAND_bytes benchmark.
#include "openssl_rng.h"

#include "cpucycles.h"
#include "platform.h"
#include "stats_report.h"

#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kSampleCount = 1024;
constexpr int kBlockSize = 16384;
constexpr const char *kResultsFile = "osslRb1a.txt";

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

double seconds_between(LARGE_INTEGER start, LARGE_INTEGER end, LARGE_INTEGER frequency)
{
    return static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

void report_error(const char *action, const char *file)
{
    printf("Cannot %s \"%s\": %s\n", action, file, strerror(errno)); // NOLINT(concurrency-mt-unsafe)
}

// A data file that keeps every block. It only ever holds whole blocks: the
// first write that fails is reported, whatever part of its block reached the
// file is cut off again, and nothing more is appended.
struct BlockFile {
    FILE *fp;
    const char *name;
    int64_t wholeLength;
    bool failed;
};

// Unbuffered, so that each block is on its way to the file, or has failed,
// before its call is over.
BlockFile keep_blocks_in(FILE *fp, const char *name)
{
    setvbuf(fp, nullptr, _IONBF, 0);
    return {fp, name, stream_length(fp), false};
}

void keep_block(BlockFile &file, BYTE *block, int call)
{
    if (file.failed) {
        return;
    }
    store_Data(file.fp, block);
    if (ferror(file.fp) == 0) {
        file.wholeLength += kBlockSize;
        return;
    }
    file.failed = true;
    printf("Cannot write \"%s\" at call %d: %s\n", file.name, call,
           strerror(errno)); // NOLINT(concurrency-mt-unsafe)
    if (file.wholeLength >= 0 && stream_length(file.fp) != file.wholeLength &&
        !truncate_stream(file.fp, file.wholeLength)) {
        report_error("cut back to whole blocks", file.name);
    }
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

    store_Time_Data(run.label, time.data(), time.size(), timeFile, elapsedTime);
    fclose(fp);
    return kept.failed ? 1 : 0;
}

// The record is still in the stream's buffer when the run returns, so a full
// disk usually shows itself only here, at the close.
bool close_results(FILE *timeFile)
{
    const bool writeFailed = ferror(timeFile) != 0;
    if (fclose(timeFile) == 0 && !writeFailed) {
        return true;
    }
    report_error("write", kResultsFile);
    return false;
}

} // namespace

void store_Data(FILE *fp, void *pbBuffer)
{
    fwrite(pbBuffer, 1, kBlockSize, fp);
}

int rand_bytes_API(FILE *timeFile, BYTE *pbdata)
{
    return measure<RAND_bytes>(timeFile, pbdata, kRandBytesRun);
}

int rand_priv_bytes_API(FILE *timeFile, BYTE *pbdata)
{
    return measure<RAND_priv_bytes>(timeFile, pbdata, kRandPrivBytesRun);
}

int main()
{
    auto *data = static_cast<BYTE *>(malloc(kBlockSize));
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
    return runStatus == 0 && recorded ? 0 : 1;
}
