// The lab's driver, run in a fresh folder: what its threads leave, that they
// ran at once, and that a bad option measures nothing.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
        int first = -2;
        int last = -2;
        int again = -2;
        unsigned long away = 0;
        char end = 0;
        EXPECT_EQ(std::sscanf(rest, " s, cpu %d to %d, %lu calls away from cpu %d%c", &first,
                              &last, &away, &again, &end),
                  4)
            << line;
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
                             "--cipher --generator private", "--unknown", "positional"}) {
        const auto outcome = run_lab(args);
        EXPECT_EQ(outcome.status, 2) << args;
        EXPECT_EQ(lines_of(outcome.out).size(), 1U) << args << ": " << outcome.out;
        EXPECT_EQ(outcome.out.rfind("rand_lab: ", 0), 0U) << outcome.out;
    }
    EXPECT_FALSE(fs::exists("osslRb1a.txt"));
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
    for (const Case &c : {Case{"--threads 16 --calls 8 --bytes 32", 5}}) {
        const std::string earlier = std::string(c.earlier - 1, 'x') + "\n";
        write_file("osslRb1a.txt", earlier);
        const auto outcome = run_lab(c.args, "ulimit -f 1");
        EXPECT_EQ(outcome.status, 1) << c.args;
        EXPECT_NE(outcome.out.find("File too large\n"), std::string::npos) << outcome.out;
        EXPECT_EQ(read_file("osslRb1a.txt"), earlier) << c.args;
    }
}

TEST_F(RandLab, AFailingGeneratorAppendsNothingAndFails)
{
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
