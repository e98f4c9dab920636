// The lab's driver, run in a fresh folder: what its threads leave, that they
// ran at once, and that a bad option measures nothing.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = test_support::fs;
using test_support::expect_record;
using test_support::lines_of;
using test_support::read_file;
using test_support::run_command;
using test_support::write_file;

test_support::CommandOutcome run_lab(const std::string &args, const std::string &before = "true",
                                     const char *binary = RAND_LAB_BINARY)
{
    return run_command("(" + before + "; '" + binary + "' " + args + ") 2>&1");
}

using RandLab = test_support::InTempDir;

TEST_F(RandLab, EachThreadAppendsAWholeRecordAndTheThreadsRunAtOnce)
{
    const auto outcome = run_lab("--bytes 32 --threads 3");
    ASSERT_EQ(outcome.status, 0) << outcome.out;

    const std::vector<std::string> records = lines_of(read_file("osslRb1a.txt"));
    ASSERT_EQ(records.size(), 15U);
    for (size_t first = 0; first < 15; first += 5) {
        expect_record(records, first, "RAND_bytes 32 B 3 threads:");
    }

    // "thread K: loop FROM-TO s", counted from the start of the parallel
    // section: every loop starts before any ends.
    double lastStart = 0;
    double firstEnd = 1e9;
    int loops = 0;
    for (const std::string &line : lines_of(outcome.out)) {
        const size_t loop = line.find(": loop ");
        if (line.rfind("thread ", 0) != 0 || loop == std::string::npos) {
            continue;
        }
        char *rest = nullptr;
        const double from = std::strtod(line.c_str() + loop + 7, &rest);
        const double to = std::strtod(rest + 1, &rest);
        // Then ", cpu S to E, M calls away from cpu S".
        static const std::regex placement(
            R"(^ s, cpu (\d+) to (\d+), (\d+) calls away from cpu (\d+)$)");
        std::cmatch m;
        ASSERT_TRUE(std::regex_match(rest, m, placement)) << line;
        const int first = std::stoi(m[1]);
        const int last = std::stoi(m[2]);
        const unsigned long away = std::stoul(m[3]);
        const int again = std::stoi(m[4]);
        EXPECT_GE(first, 0) << line;
        EXPECT_GE(last, 0) << line;
        EXPECT_EQ(again, first) << line;
        EXPECT_LE(away, 1024U) << line;
        loops++;
        lastStart = std::max(lastStart, from);
        firstEnd = std::min(firstEnd, to);
    }
    EXPECT_EQ(loops, 3) << outcome.out;
    EXPECT_LT(lastStart, firstEnd) << outcome.out;
    EXPECT_NE(outcome.out.find("RAND_bytes 32 B 3 threads: 3072 calls in "), std::string::npos);
}

TEST_F(RandLab, TheCipherAndThePrivateGeneratorSayWhatTheyMeasured)
{
    ASSERT_EQ(run_lab("--cipher --bytes=16384").status, 0);
    ASSERT_EQ(run_lab("--generator private --bytes 1 --calls 1024").status, 0);
    const std::vector<std::string> records = lines_of(read_file("osslRb1a.txt"));
    expect_record(records, 0, "AES-256-CTR 16384 B 1 thread:");
    expect_record(records, 5, "RAND_priv_bytes 1 B 1 thread:");
}

TEST_F(RandLab, ABadOptionGetsOneLineAndStatus2AndAppendsNothing)
{
    for (const char *args : {"--bytes 0", "--threads 0", "--bytes abc", "--bytes 1048577",
                             "--threads 1025", "--calls 0", "--calls 1", "--bytes", "--generator shared",
                             "--cipher --generator private", "--keep k.bin --cipher", "--fork --cipher",
                             "--keep k.bin --calls 65536 --threads 2 --bytes 4096", "--unknown",
                             "positional", "--source", "--source nope", "--source getrandom --cipher",
                             "--source libsodium --fork", "--source getrandom --generator private",
                             // Never built outside Windows.
                             "--source bcrypt"}) {
        const auto outcome = run_lab(args);
        EXPECT_EQ(outcome.status, 2) << args;
        EXPECT_EQ(lines_of(outcome.out).size(), 1U) << args << ": " << outcome.out;
        EXPECT_EQ(outcome.out.rfind("rand_lab: ", 0), 0U) << outcome.out;
    }
    EXPECT_FALSE(fs::exists("osslRb1a.txt"));
    EXPECT_FALSE(fs::exists("k.bin"));
}

// Another source runs through its own executable, which must label its
// records with its name and say what it is.
TEST_F(RandLab, AnotherSourceLabelsItsRecordsWithItsNameAndNamesItsVersion)
{
    const auto outcome = run_lab("--source getrandom --bytes 9 --threads 2");
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    const std::vector<std::string> records = lines_of(read_file("osslRb1a.txt"));
    ASSERT_EQ(records.size(), 10U);
    expect_record(records, 0, "getrandom 9 B 2 threads:");
    expect_record(records, 5, "getrandom 9 B 2 threads:");
    EXPECT_NE(outcome.out.find("\nsource getrandom: Linux "), std::string::npos) << outcome.out;
}

TEST_F(RandLab, TheLimitsArePrintedForTheRunner)
{
    const auto outcome = run_lab("--limits");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out, "bytes 1 1048576\nthreads 1 1024\ncalls 2 1048576\nsamples 33554432\n");
}

// Files already there before a run that cannot append all it has: the run
// fails and leaves every one of them as it was.
TEST_F(RandLab, WhatCannotBeAppendedWholeLeavesEveryFileAsItWas)
{
    struct Case {
        const char *args;
        size_t earlier; // bytes of results already there
    };
    // Under a limit of 512 bytes a file: the records, the samples, the
    // records after the samples went in, or the kept bytes do not fit.
    for (const Case &c : {Case{"--threads 16 --calls 8 --bytes 32", 5},
                          Case{"--threads 16 --calls 8 --bytes 32 --samples s.csv", 5},
                          Case{"--threads 2 --calls 2 --bytes 32 --samples s.csv", 400},
                          Case{"--threads 2 --calls 8 --bytes 64 --samples s.csv --keep k.bin", 5}}) {
        const std::string earlier = std::string(c.earlier - 1, 'x') + "\n";
        write_file("osslRb1a.txt", earlier);
        write_file("s.csv", "thread,call,ticks\n");
        write_file("k.bin", "");
        const auto outcome = run_lab(c.args, "ulimit -f 1");
        EXPECT_EQ(outcome.status, 1) << c.args;
        EXPECT_NE(outcome.out.find("File too large\n"), std::string::npos) << outcome.out;
        EXPECT_EQ(read_file("osslRb1a.txt"), earlier) << c.args;
        EXPECT_EQ(read_file("s.csv"), "thread,call,ticks\n") << c.args;
        EXPECT_EQ(read_file("k.bin"), "") << c.args;
    }
}

TEST_F(RandLab, AFailingGeneratorAppendsNothingAndFails)
{
    if (std::string(RAND_LAB_OPENSSL_VERSION).rfind("1.", 0) == 0) {
        GTEST_SKIP() << "the 1.1.1 series reads no [random] section: its generator cannot be named";
    }
    write_file("bad.cnf", "openssl_conf = init\n[init]\nrandom = random\n[random]\nrandom = NO-SUCH\n");
    auto outcome = run_lab("--threads 2 --calls 3", "export OPENSSL_CONF=bad.cnf");
    EXPECT_EQ(outcome.status, 1);
    const std::vector<std::string> lines = lines_of(outcome.out);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &line) { return line.find("Failed--> ") != std::string::npos; }),
              6);
    EXPECT_EQ(lines.back(), "No record was appended because 6 calls failed");
    EXPECT_EQ(read_file("osslRb1a.txt"), "");

    outcome = run_lab("--cipher", "export OPENSSL_CONF=bad.cnf");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "The RAND_bytes call for the AES-256-CTR key failed\n");
}

// Under a small address space: one line and status 1, never an abort.
TEST_F(RandLab, NoMemoryOrNoThreadIsOneLineAndStatus1)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory needs more address space than the limit";
#endif
    auto outcome = run_lab("--threads 1024 --calls 32768 --bytes 1", "ulimit -v 200000");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "Cannot allocate the buffers for 1024 threads x 32768 calls of 1 bytes\n");
    outcome = run_lab("--threads 1024 --calls 2 --bytes 1", "ulimit -v 200000");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out.rfind("Cannot start thread ", 0), 0U) << outcome.out;
    EXPECT_NE(outcome.out.find(" of 1024: "), std::string::npos) << outcome.out;
    EXPECT_EQ(lines_of(outcome.out).size(), 1U) << outcome.out;
    EXPECT_FALSE(fs::exists("osslRb1a.txt") && fs::file_size("osslRb1a.txt") != 0);
}

} // namespace

namespace {

// The middle count, rounded as the record rounds it.
uint64_t median_of(std::vector<uint64_t> counts)
{
    std::sort(counts.begin(), counts.end());
    const uint64_t lower = counts[(counts.size() - 1) / 2];
    const uint64_t upper = counts[counts.size() / 2];
    return lower / 2 + upper / 2 + (lower & upper & 1U);
}

TEST_F(RandLab, TheSamplesAndTheBytesOfEveryCallComeWithTheRecords)
{
    for (int run = 0; run < 2; run++) {
        ASSERT_EQ(run_lab("--threads 2 --bytes 32 --samples s.csv --keep k.bin").status, 0);
    }
    EXPECT_EQ(fs::file_size("k.bin"), 2U * 2 * 1024 * 32);
    const std::vector<std::string> lines = lines_of(read_file("s.csv"));
    ASSERT_EQ(lines.size(), 1U + 2 * 2 * 1024);
    EXPECT_EQ(lines[0], "thread,call,ticks");
    const std::vector<std::string> records = lines_of(read_file("osslRb1a.txt"));
    ASSERT_EQ(records.size(), 2U * 2 * 5);
    for (size_t record = 0; record < 4; record++) {
        std::vector<uint64_t> counts;
        for (size_t call = 0; call < 1024; call++) {
            const std::string &line = lines[1 + record * 1024 + call];
            static const std::regex sample(R"((\d+),(\d+),(\d+))");
            std::smatch m;
            ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
            const unsigned long thread = std::stoul(m[1]);
            const unsigned long index = std::stoul(m[2]);
            const uint64_t ticks = std::stoull(m[3]);
            ASSERT_EQ(thread, record % 2 + 1) << line;
            ASSERT_EQ(index, call) << line;
            counts.push_back(ticks);
        }
        expect_record(records, record * 5, "RAND_bytes 32 B 2 threads:");
        EXPECT_EQ(std::to_string(median_of(counts)) + " cpucycles", records[record * 5 + 2].substr(12));
    }
}

TEST_F(RandLab, AForkChildsRecordsComeWithTheParentsUnlessItRepeatsTheParent)
{
    auto outcome = run_lab("--fork --bytes 32 --samples s.csv");
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    const std::vector<std::string> records = lines_of(read_file("osslRb1a.txt"));
    ASSERT_EQ(records.size(), 10U);
    expect_record(records, 0, "RAND_bytes 32 B 1 thread:");
    expect_record(records, 5, "RAND_bytes 32 B 1 thread fork child:");
    const std::vector<std::string> lines = lines_of(outcome.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "fork: the child's first bytes differ from the parent's next"),
              lines.end());
    static const std::regex cost(
        R"(fork: child's call 0 (\d+) ticks, parent's median (\d+) ticks)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines.back(), m, cost)) << lines.back();
    EXPECT_GT(std::stoull(m[1]), 0U) << lines.back();
    const unsigned long long median = std::stoull(m[2]);
    EXPECT_EQ(std::to_string(median) + " cpucycles", records[2].substr(12));
    // The child's threads are numbered on from the parent's.
    const std::vector<std::string> samples = lines_of(read_file("s.csv"));
    ASSERT_EQ(samples.size(), 1U + 2 * 1024);
    EXPECT_EQ(samples[1 + 1024], "2,0," + std::string(m[1]));

    // The fake's blocks follow its count of calls, which the child inherits.
    // A static libcrypto brings its own RAND_bytes along with the cipher, so
    // the fake is built against a shared one only.
    if (std::string(RAND_LAB_FAKE_BINARY).empty()) {
        return;
    }
    fs::remove("osslRb1a.txt");
    outcome = run_lab("--fork --bytes 32", "true", RAND_LAB_FAKE_BINARY);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.out.find("\nfork: the child's first RAND_bytes equals the parent's next: the "
                               "generator repeats across fork\n"),
              std::string::npos)
        << outcome.out;
    EXPECT_EQ(read_file("osslRb1a.txt"), "");
}

} // namespace
