// The two runs: the time-stamp-counter cycles that OpenSSL's generators
// spend filling a 16384-byte block, over 1024 calls, appended as the total,
// median and average of the counts and the loop's seconds to "osslRb1a.txt".
// The entry (openssl_rng_main.cpp) runs the RAND_bytes one.
#include "openssl_rng.h"

#include "cpucycles.h"
#include "platform.h"
#include "results_file.h"
#include "run_constants.h"

#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// What sets one run apart from the other; the measuring is the same.
struct RunSettings {
    const char *dataFile;
    const char *failureFormat;
    const char *label;
    bool keepBlocks;
};

constexpr RunSettings kRandBytesRun{"RAND_bytes.bin", "RAND_bytes Failed--> %d. cycle\n",
                                    "RAND_bytes:", false};
constexpr RunSettings kRandPrivBytesRun{
    "RAND_priv_bytes.bin", "RAND_priv_bytes Failed--> %d. cycle\n", "RAND_priv_bytes:", true};

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
    FILE *fp = open_output(run.dataFile, true);
    if (fp == nullptr) {
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
