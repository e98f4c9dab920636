// Measures the time-stamp-counter cycles that OpenSSL's RAND_bytes spends
// filling a 16384-byte block, over 1024 calls, and appends the total, median
// and average of the counts and the loop's seconds to "osslRb1a.txt".
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

double seconds_between(LARGE_INTEGER start, LARGE_INTEGER end, LARGE_INTEGER frequency)
{
    return static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

void report_error(const char *action, const char *file)
{
    printf("Cannot %s \"%s\": %s\n", action, file, strerror(errno)); // NOLINT(concurrency-mt-unsafe)
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

int rand_bytes_API(FILE *timeFile, BYTE *pbdata)
{
    FILE *fp = fopen("RAND_bytes.bin", "ab+");
    if (fp == nullptr) {
        report_error("open", "RAND_bytes.bin");
        return 1;
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
        const int ret = RAND_bytes(pbdata, kBlockSize);
        time[static_cast<size_t>(i)] = cpucyclesE() - tick;
        if (ret != 1) {
            printf("RAND_bytes Failed--> %d. cycle\n", i);
        }
    }
    QueryPerformanceCounter(&t2);
    const double elapsedTime = seconds_between(t1, t2, frequency);

    store_Time_Data("RAND_bytes:", time.data(), time.size(), timeFile, elapsedTime);
    fclose(fp);
    return 0;
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
        printf("Program executed in: %f sec\n", seconds_between(t1, t2, frequency));
    }

    const bool recorded = close_results(timeFile);
    free(data);
    return runStatus == 0 && recorded ? 0 : 1;
}
