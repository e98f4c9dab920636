// The runs linked against the fake generator, so that failing calls can be
// chosen and every block's bytes are known.
#include "openssl_rng.h"

#include "fake_rand.h"
#include "internal_macros.h"
#include "test_support.h"

#include <gtest/gtest.h>

#if !defined(RNG_OS_WINDOWS)
#include <sys/resource.h>

#include <csignal>
#endif

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

int openssl_rng_main(); // the program's entry, renamed in this build

namespace {

namespace fs = test_support::fs;
using test_support::expect_record;
using test_support::lines_of;
using test_support::read_file;
using test_support::read_text;

constexpr int kCalls = 1024;
constexpr size_t kBlockSize = 16384;
constexpr size_t kRunBytes = kCalls * kBlockSize;

using RunFunction = int (*)(FILE *, BYTE *);

struct Outcome {
    int status;
    std::string out;
};

class Runs : public test_support::InTempDir {
protected:
    void SetUp() override
    {
        InTempDir::SetUp();
        fake_rand::reset();
    }

    // One run into "osslRb1a.txt", as the entry would make it.
    static Outcome run(RunFunction runFunction)
    {
        FILE *timeFile = fopen("osslRb1a.txt", "a+");
        EXPECT_NE(timeFile, nullptr);
        std::vector<BYTE> block(kBlockSize);
        testing::internal::CaptureStdout();
        const int status = runFunction(timeFile, block.data());
        Outcome outcome{status, testing::internal::GetCapturedStdout()};
        fclose(timeFile);
        return outcome;
    }
};

// The blocks of calls first, first + 1, ... in order, as the fake wrote them.
void expect_blocks(const std::string &bytes, int first)
{
    ASSERT_EQ(bytes.size() % kBlockSize, 0U);
    for (size_t offset = 0; offset < bytes.size(); offset++) {
        const int call = first + static_cast<int>(offset / kBlockSize);
        const auto byte = static_cast<unsigned char>(bytes[offset]);
        if (byte != fake_rand::pattern_byte(call, offset % kBlockSize)) {
            ADD_FAILURE() << "byte " << offset << " is not call " << call << "'s";
            return;
        }
    }
}

TEST_F(Runs, EveryCallFailingIsReportedInOrderAndTheRecordIsStillWritten)
{
    fake_rand::fail_calls({fake_rand::kFailAll});
    testing::internal::CaptureStdout();
    const int status = openssl_rng_main();
    const std::vector<std::string> out = lines_of(testing::internal::GetCapturedStdout());

    EXPECT_EQ(status, 0);
    EXPECT_EQ(fake_rand::calls_made(), kCalls);
    ASSERT_EQ(out.size(), kCalls + 1U);
    for (int i = 0; i < kCalls; i++) {
        EXPECT_EQ(out[static_cast<size_t>(i)], "RAND_bytes Failed--> " + std::to_string(i) + ". cycle");
    }
    EXPECT_EQ(out.back().rfind("Program executed in: ", 0), 0U) << out.back();

    const std::vector<std::string> record = lines_of(read_text("osslRb1a.txt"));
    EXPECT_EQ(record.size(), 5U);
    expect_record(record, 0, "RAND_bytes:");
}

TEST_F(Runs, OneFailingCallPrintsExactlyItsLine)
{
    fake_rand::fail_calls({17});
    const Outcome outcome = run(rand_bytes_API);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "RAND_bytes Failed--> 17. cycle\n");
    expect_record(lines_of(read_text("osslRb1a.txt")), 0, "RAND_bytes:");
    EXPECT_EQ(read_file("RAND_bytes.bin"), "");
}

TEST_F(Runs, ADataFileThatCannotBeOpenedStopsTheRunBeforeAnyCall)
{
    const std::vector<std::pair<RunFunction, const char *>> runs{
        {rand_bytes_API, "RAND_bytes.bin"}, {rand_priv_bytes_API, "RAND_priv_bytes.bin"}};
    for (const auto &[runFunction, dataFile] : runs) {
        fs::create_directory(dataFile);
        const Outcome outcome = run(runFunction);
        EXPECT_NE(outcome.status, 0);
        EXPECT_EQ(outcome.out.rfind("Cannot open \"" + std::string(dataFile) + "\": ", 0), 0U)
            << outcome.out;
        EXPECT_EQ(lines_of(outcome.out).size(), 1U);
    }
    EXPECT_EQ(fake_rand::calls_made(), 0);
    EXPECT_EQ(read_text("osslRb1a.txt"), "");
}

TEST_F(Runs, ThePrivateRunKeepsEveryBlockByteForByteInCallOrder)
{
    fake_rand::fail_calls({0, 511, 1023});
    const Outcome first = run(rand_priv_bytes_API);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, "RAND_priv_bytes Failed--> 0. cycle\n"
                         "RAND_priv_bytes Failed--> 511. cycle\n"
                         "RAND_priv_bytes Failed--> 1023. cycle\n");
    EXPECT_EQ(fs::file_size("RAND_priv_bytes.bin"), kRunBytes);

    const Outcome second = run(rand_priv_bytes_API);
    EXPECT_EQ(second.status, 0);
    const std::string kept = read_file("RAND_priv_bytes.bin");
    EXPECT_EQ(kept.size(), 2 * kRunBytes);
    expect_blocks(kept, 0);

    const std::vector<std::string> records = lines_of(read_text("osslRb1a.txt"));
    EXPECT_EQ(records.size(), 10U);
    expect_record(records, 0, "RAND_priv_bytes:");
    expect_record(records, 5, "RAND_priv_bytes:");
}

#if !defined(RNG_OS_WINDOWS)
// Caps the size of every file the process writes, as a nearly full disk or a
// quota would, for as long as it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved_;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit saved_{};
    void (*previousHandler_)(int);
};

TEST_F(Runs, AWriteThatHitsALimitIsReportedOnceAndLeavesWholeBlocks)
{
    const std::string earlier(3 * kBlockSize, '\n');
    test_support::write_file("RAND_priv_bytes.bin", earlier);
    fake_rand::fail_calls({2});

    Outcome outcome{};
    {
        // Room for the earlier blocks, five more, and half of a sixth.
        const FileSizeLimit limit(earlier.size() + 5 * kBlockSize + kBlockSize / 2);
        outcome = run(rand_priv_bytes_API);
    }

    EXPECT_NE(outcome.status, 0);
    EXPECT_EQ(outcome.out, "RAND_priv_bytes Failed--> 2. cycle\n"
                           "Cannot write \"RAND_priv_bytes.bin\" at call 5: File too large\n");
    EXPECT_EQ(fake_rand::calls_made(), kCalls);
    const std::string kept = read_file("RAND_priv_bytes.bin");
    ASSERT_EQ(kept.size(), earlier.size() + 5 * kBlockSize);
    EXPECT_EQ(kept.substr(0, earlier.size()), earlier);
    expect_blocks(kept.substr(earlier.size()), 0);
    expect_record(lines_of(read_text("osslRb1a.txt")), 0, "RAND_priv_bytes:");
}
#endif

} // namespace
