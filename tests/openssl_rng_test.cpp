// The runs linked against the fake generator, so that failing calls can be
// chosen.
#include "openssl_rng.h"

#include "fake_rand.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

int openssl_rng_main(); // the program's entry, renamed in this build

namespace {

using test_support::InTempDir;
using test_support::lines_of;
using test_support::read_file;
using test_support::read_text;

constexpr int kCalls = 1024;
constexpr size_t kBlockSize = 16384;

class Runs : public InTempDir {
protected:
    void SetUp() override
    {
        InTempDir::SetUp();
        fake_rand::reset();
    }
};

void expect_complete_record(const std::vector<std::string> &lines, size_t first,
                            const std::string &label)
{
    ASSERT_GE(lines.size(), first + 5);
    EXPECT_EQ(lines[first], label);
    EXPECT_EQ(lines[first + 1].rfind("TOTAL:      ", 0), 0U) << lines[first + 1];
    EXPECT_EQ(lines[first + 2].rfind("MEDIAN:     ", 0), 0U) << lines[first + 2];
    EXPECT_EQ(lines[first + 3].rfind("AVERAGE:    ", 0), 0U) << lines[first + 3];
    EXPECT_EQ(lines[first + 4].rfind("EXECUTED in ", 0), 0U) << lines[first + 4];
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
    expect_complete_record(record, 0, "RAND_bytes:");
}

TEST_F(Runs, OneFailingCallPrintsExactlyItsLine)
{
    fake_rand::fail_calls({17});
    FILE *timeFile = fopen("osslRb1a.txt", "a+");
    ASSERT_NE(timeFile, nullptr);
    std::vector<BYTE> block(kBlockSize);
    testing::internal::CaptureStdout();
    const int status = rand_bytes_API(timeFile, block.data());
    const std::string out = testing::internal::GetCapturedStdout();
    fclose(timeFile);

    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "RAND_bytes Failed--> 17. cycle\n");
    expect_complete_record(lines_of(read_text("osslRb1a.txt")), 0, "RAND_bytes:");
    EXPECT_EQ(read_file("RAND_bytes.bin"), "");
}

TEST_F(Runs, ADataFileThatCannotBeOpenedStopsTheRunBeforeAnyCall)
{
    test_support::fs::create_directory("RAND_bytes.bin");
    FILE *timeFile = fopen("osslRb1a.txt", "a+");
    ASSERT_NE(timeFile, nullptr);
    std::vector<BYTE> block(kBlockSize);
    testing::internal::CaptureStdout();
    const int status = rand_bytes_API(timeFile, block.data());
    const std::string out = testing::internal::GetCapturedStdout();
    fclose(timeFile);

    EXPECT_NE(status, 0);
    EXPECT_EQ(out.rfind("Cannot open \"RAND_bytes.bin\": ", 0), 0U) << out;
    EXPECT_EQ(lines_of(out).size(), 1U);
    EXPECT_EQ(fake_rand::calls_made(), 0);
    EXPECT_EQ(read_text("osslRb1a.txt"), "");
}

} // namespace
