#include "stats_report.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

using test_support::InTempDir;
using test_support::read_text;

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kHalfRange = uint64_t{1} << 63;

struct Report {
    std::string record;
    std::string stdoutText;
};

class StoreTimeData : public InTempDir {
protected:
    // Appends one record through a text stream, as the runs do, and reads
    // back what it added.
    Report report(std::vector<uint64_t> &sample, double seconds = 0.25,
                  const char *label = "RAND_bytes:")
    {
        FILE *fp = fopen("record.txt", "a+");
        EXPECT_NE(fp, nullptr);
        testing::internal::CaptureStdout();
        store_Time_Data(label, sample.data(), sample.size(), fp, seconds);
        Report out;
        out.stdoutText = testing::internal::GetCapturedStdout();
        fclose(fp);
        const std::string file = read_text("record.txt");
        out.record = file.substr(before_);
        before_ = file.size();
        return out;
    }

private:
    size_t before_ = 0;
};

std::string record(unsigned long long total, unsigned long long median, unsigned long long average,
                   const char *seconds = "0.250000")
{
    return "RAND_bytes:\nTOTAL:      " + std::to_string(total) +
           " cycles\nMEDIAN:     " + std::to_string(median) +
           " cpucycles\nAVERAGE:    " + std::to_string(average) + " cpucycles\nEXECUTED in " +
           seconds + " s\n";
}

TEST_F(StoreTimeData, WritesTheFiveLineRecordAndLeavesTheSampleSorted)
{
    std::vector<uint64_t> sample{5, 1, 3};
    const Report out = report(sample);
    EXPECT_EQ(out.record, "RAND_bytes:\n"
                          "TOTAL:      9 cycles\n"
                          "MEDIAN:     3 cpucycles\n"
                          "AVERAGE:    3 cpucycles\n"
                          "EXECUTED in 0.250000 s\n");
    EXPECT_EQ(sample, (std::vector<uint64_t>{1, 3, 5}));
    EXPECT_EQ(out.stdoutText, "");
}

TEST_F(StoreTimeData, RecordsFollowEachOtherWithNothingBetween)
{
    std::vector<uint64_t> first{5, 1, 3};
    std::vector<uint64_t> second{4};
    report(first);
    report(second, 1.0, "RAND_priv_bytes:");
    EXPECT_EQ(read_text("record.txt"),
              record(9, 3, 3) + "RAND_priv_bytes:\nTOTAL:      4 cycles\nMEDIAN:     4 cpucycles\n"
                                "AVERAGE:    4 cpucycles\nEXECUTED in 1.000000 s\n");
}

TEST_F(StoreTimeData, EvenCountsHalveTheMiddlePairRoundingDown)
{
    std::vector<uint64_t> small{1, 2, 3, 4};
    EXPECT_EQ(report(small).record, record(10, 2, 2));
    std::vector<uint64_t> middle_pair{13, 30, 1, 10};
    EXPECT_EQ(report(middle_pair).record, record(54, 11, 13));
}

TEST_F(StoreTimeData, MiddlePairNearTheTopDoesNotWrap)
{
    // Adding the pair first would wrap 2^63 + 2^63 to 0.
    std::vector<uint64_t> halves{kHalfRange, kHalfRange};
    EXPECT_EQ(report(halves).record, record(0, kHalfRange, 0));
    std::vector<uint64_t> top{kMax, kMax - 2};
    EXPECT_EQ(report(top).record, record(kMax - 3, kMax - 1, (kMax / 2) - 1));
}

TEST_F(StoreTimeData, TotalAndAverageWrapModulo64Bits)
{
    // An interval of -10 stored as its wrapped value adds back correctly.
    std::vector<uint64_t> backwards{100, kMax - 9, 30};
    EXPECT_EQ(report(backwards).record, record(120, 100, 40));
}

TEST_F(StoreTimeData, FewerThanTwoValuesPrintTheMedianMessage)
{
    std::vector<uint64_t> single{7};
    const Report one = report(single);
    EXPECT_EQ(one.record, record(7, 7, 7));
    EXPECT_EQ(one.stdoutText, "Not enought values for median\n");

    std::vector<uint64_t> none;
    const Report empty = report(none);
    EXPECT_EQ(empty.record, record(0, 0, 0));
    EXPECT_EQ(empty.stdoutText, "Not enought values for median\n");
}

TEST_F(StoreTimeData, AFullSampleOfEqualCounts)
{
    const uint64_t c = 123456789012;
    std::vector<uint64_t> equal(1024, c);
    EXPECT_EQ(report(equal).record, record(1024 * c, c, c));
}

TEST_F(StoreTimeData, NumbersPrintWholeAndCorrectlyRounded)
{
    // 1/128 = 0.0078125 exactly: the tie goes to the even digit.
    std::vector<uint64_t> largest{kMax};
    const Report out = report(largest, 1.0 / 128);
    EXPECT_EQ(out.record, record(kMax, kMax, kMax, "0.007812"));
}

} // namespace
