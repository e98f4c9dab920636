// The runs linked against the fake generator, so that failing calls can be
// chosen and every block's bytes are known.
#include "openssl_rng.h"

#include "fake_rand.h"
#include "internal_macros.h"
#include "platform.h"
#include "test_support.h"

#include <gtest/gtest.h>

#if !defined(RNG_OS_WINDOWS)
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <map>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ios>
#include <string>
#include <utility>
#include <vector>

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

// The program's entry, linked with the fake, every call of which fails.
TEST_F(Runs, EveryCallFailingIsReportedInOrderAndTheRecordIsStillWritten)
{
    const auto outcome =
        test_support::run_binary(OPENSSL_RNG_FAKE_BINARY, fake_rand::kFailEnvironment, "all");
    const std::vector<std::string> out = lines_of(outcome.out);

    EXPECT_EQ(outcome.status, 0);
    // A line per call, every call failing.
    ASSERT_EQ(out.size(), kCalls + 1U);
    for (int i = 0; i < kCalls; i++) {
        EXPECT_EQ(out[static_cast<size_t>(i)],
                  "RAND_bytes Failed--> " + std::to_string(i) + ". cycle");
    }
    EXPECT_EQ(out.back().rfind("Program executed in: ", 0), 0U) << out.back();

    const std::vector<std::string> record = lines_of(read_text("osslRb1a.txt"));
    EXPECT_EQ(record.size(), 5U);
    expect_record(record, 0, "RAND_bytes:");
}

// Both entries on a processor that does not run one of the counter's
// instructions: one line naming it, status 1, and no file made.
TEST_F(Runs, AnInstructionTheCounterNeedsMissingIsOneLineAndMakesNoFile)
{
    for (const char *binary : {OPENSSL_RNG_FAKE_BINARY, RAND_PRIV_BYTES_RUN_FAKE_BINARY}) {
        for (const char *missing : {"RDTSCP", "CPUID", "RDTSC"}) {
            const auto outcome =
                test_support::run_binary(binary, fake_rand::kMissingEnvironment, missing);
            EXPECT_EQ(outcome.status, 1) << binary << " " << missing;
            EXPECT_EQ(outcome.out, std::string("Cannot count cycles: this processor does not "
                                               "execute ") +
                                       missing + ", which the counter reads need\n");
            EXPECT_TRUE(fs::is_empty(fs::current_path())) << binary << " " << missing;
        }
    }
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
        const FileSizeLimit limit(earlier.size() + (5 * kBlockSize) + (kBlockSize / 2));
        outcome = run(rand_priv_bytes_API);
    }

    EXPECT_NE(outcome.status, 0);
    EXPECT_EQ(outcome.out, "RAND_priv_bytes Failed--> 2. cycle\n"
                           "Cannot write \"RAND_priv_bytes.bin\" at call 5: File too large\n");
    EXPECT_EQ(fake_rand::calls_made(), kCalls);
    const std::string kept = read_file("RAND_priv_bytes.bin");
    ASSERT_EQ(kept.size(), earlier.size() + (5 * kBlockSize));
    EXPECT_EQ(kept.substr(0, earlier.size()), earlier);
    expect_blocks(kept.substr(earlier.size()), 0);
    expect_record(lines_of(read_text("osslRb1a.txt")), 0, "RAND_priv_bytes:");
}

// The call whose block this is, from the number the fake writes first.
int call_of(const std::string &block)
{
    unsigned int call = 0;
    for (size_t i = 0; i < 4; i++) {
        call |= static_cast<unsigned int>(static_cast<unsigned char>(block[i])) << (8 * i);
    }
    return static_cast<int>(call);
}

TEST_F(Runs, RunsAtOnceUnderALimitKeepEveryWholeBlockAndNothingElse)
{
    constexpr int kRunsAtOnce = 3;
    constexpr size_t kBlocksThatFit = 40;
    // The runs wait on a pipe until all exist, so that they start together.
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> children;
    for (int k = 0; k < kRunsAtOnce; k++) {
        const pid_t pid = fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) {
            close(gate[1]);
            char go = 0;
            (void)read(gate[0], &go, 1);
            fake_rand::reset(k * kCalls);
            const std::string out = "out-" + std::to_string(k);
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0) {
                _exit(126);
            }
            const FileSizeLimit limit((kBlocksThatFit * kBlockSize) + (kBlockSize / 2));
            FILE *timeFile = fopen("osslRb1a.txt", "a+");
            std::vector<BYTE> block(kBlockSize);
            const int status = rand_priv_bytes_API(timeFile, block.data());
            fclose(timeFile);
            fflush(stdout);
            _exit(status);
        }
        children.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);

    // Each run wrote the blocks of its calls before the one it reports.
    std::map<int, bool> writtenWhole;
    for (int k = 0; k < kRunsAtOnce; k++) {
        int wstatus = 0;
        waitpid(children[static_cast<size_t>(k)], &wstatus, 0);
        EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 1);
        const std::string out = read_file("out-" + std::to_string(k));
        const std::string reported = "Cannot write \"RAND_priv_bytes.bin\" at call ";
        ASSERT_EQ(out.rfind(reported, 0), 0U) << out;
        const int failedAt = std::stoi(out.substr(reported.size()));
        for (int call = 0; call < failedAt; call++) {
            writtenWhole[(k * kCalls) + call] = false;
        }
    }

    const std::string kept = read_file("RAND_priv_bytes.bin");
    ASSERT_EQ(kept.size(), kBlocksThatFit * kBlockSize);
    EXPECT_EQ(writtenWhole.size(), kBlocksThatFit);
    for (size_t offset = 0; offset < kept.size(); offset += kBlockSize) {
        const std::string block = kept.substr(offset, kBlockSize);
        const int call = call_of(block);
        ASSERT_EQ(writtenWhole.count(call), 1U) << "block " << offset / kBlockSize;
        EXPECT_FALSE(writtenWhole[call]) << "call " << call << " kept twice";
        writtenWhole[call] = true;
        expect_blocks(block, call);
    }
    EXPECT_EQ(lines_of(read_text("osslRb1a.txt")).size(), 5U * kRunsAtOnce);
}
#endif

TEST_F(Runs, APieceOfABlockThatAKilledWriterLeftIsCutOffAndNoWholeBlockTouched)
{
    const std::string piece(4096, 'x');
    test_support::write_file("RAND_priv_bytes.bin", piece);
    const std::string cut = "Cut 4096 bytes of an unfinished block off \"RAND_priv_bytes.bin\"\n";
    const Outcome first = run(rand_priv_bytes_API);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, cut);
    EXPECT_EQ(fs::file_size("RAND_priv_bytes.bin"), kRunBytes);

    // Another writer dies part-way through its block after the first run.
    std::ofstream("RAND_priv_bytes.bin", std::ios::binary | std::ios::app) << piece;
    const Outcome second = run(rand_priv_bytes_API);
    EXPECT_EQ(second.out, cut);
    const std::string kept = read_file("RAND_priv_bytes.bin");
    EXPECT_EQ(kept.size(), 2 * kRunBytes);
    expect_blocks(kept, 0);
}

TEST_F(Runs, ARecordStartsOnALineOfItsOwnAndWhatWasThereStaysAsItWas)
{
    // A record torn by an older build, without its last line end.
    const std::string torn = "RAND_bytes:\nTOTAL: 123 cyc";
    test_support::write_file("osslRb1a.txt", torn);
#if !defined(RNG_OS_WINDOWS)
    {
        // A record that fails takes the line end it added back with it.
        const FileSizeLimit limit(torn.size() + 20);
        run(rand_bytes_API);
    }
    EXPECT_EQ(read_file("osslRb1a.txt"), torn);
#endif
    EXPECT_EQ(run(rand_bytes_API).status, 0);
    EXPECT_EQ(read_file("osslRb1a.txt").substr(0, torn.size()), torn);
    std::vector<std::string> lines = lines_of(read_text("osslRb1a.txt"));
    ASSERT_EQ(lines.size(), 7U);
    EXPECT_EQ(lines[1], "TOTAL: 123 cyc");
    expect_record(lines, 2, "RAND_bytes:");

    // Now that it ends in a line end, the next record follows with nothing between.
    run(rand_bytes_API);
    lines = lines_of(read_text("osslRb1a.txt"));
    ASSERT_EQ(lines.size(), 12U);
    expect_record(lines, 7, "RAND_bytes:");
}

TEST_F(Runs, CallsThatFailWithoutWritingLeaveZerosInTheDataFileNeverOldHeap)
{
    // The driver's entry, linked with the fake, every call of which fails
    // without writing, after freeing a block's worth of old bytes.
    const auto outcome = test_support::run_binary(RAND_PRIV_BYTES_RUN_FAKE_BINARY,
                                                  fake_rand::kFailEnvironment, "all-unwritten");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(lines_of(outcome.out).size(), static_cast<size_t>(kCalls));
    const std::string kept = read_file("RAND_priv_bytes.bin");
    EXPECT_EQ(kept.size(), kRunBytes);
    const size_t nonzero = kept.find_first_not_of('\0');
    EXPECT_EQ(nonzero, std::string::npos) << "block " << nonzero / kBlockSize << " holds old bytes";
}

} // namespace
