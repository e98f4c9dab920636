// The lab's driver, run in a fresh folder: what its threads leave, that they
// ran at once, and that a bad option measures nothing.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

namespace fs = test_support::fs;
using test_support::expect_record;
using test_support::lines_of;
using test_support::read_file;
using test_support::run_command;

test_support::CommandOutcome run_lab(const std::string &args)
{
    return run_command(std::string("'") + RAND_LAB_BINARY + "' " + args + " 2>&1");
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
        const double to = std::strtod(rest + 1, nullptr);
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
                             "--threads 257", "--calls 0", "--bytes", "--generator shared",
                             "--cipher --generator private", "--unknown", "positional"}) {
        const auto outcome = run_lab(args);
        EXPECT_EQ(outcome.status, 2) << args;
        EXPECT_EQ(lines_of(outcome.out).size(), 1U) << args << ": " << outcome.out;
        EXPECT_EQ(outcome.out.rfind("rand_lab: ", 0), 0U) << outcome.out;
    }
    EXPECT_FALSE(fs::exists("osslRb1a.txt"));
}

} // namespace
