// rand_lab's views of a call (measure.h): the fence and the batch, what their
// options refuse, how their records are labelled and counted, and a batch
// that another task got in the way of.
#include "test_support.h"

#include "median.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = test_support::fs;
using test_support::lines_of;
using test_support::lines_of_kind;
using test_support::OutputLine;
using test_support::read_file;
using test_support::read_output;
using test_support::run_command;

struct LabOutcome {
    int status;
    std::string out;
    std::vector<OutputLine> lines;

    std::vector<OutputLine> of(const std::string &kind) const { return lines_of_kind(lines, kind); }
};

// rand_lab ARGS, standard error joined to output, inside the shell's AROUND
// where it names "$lab".
LabOutcome run_lab(const std::string &args, const std::string &around = "$lab")
{
    const std::string lab = "'" + std::string(RAND_LAB_BINARY) + "' " + args;
    std::string command = around;
    command.replace(command.find("$lab"), 4, lab);
    const auto outcome = run_command("(" + command + ") 2>&1");
    return {outcome.status, outcome.out, read_output(outcome.out)};
}

using RandLabViews = test_support::InTempDir;

// "thread,call,ticks" lines' counts, after the header.
std::vector<uint64_t> counts_of(const std::vector<std::string> &lines)
{
    std::vector<uint64_t> counts;
    for (size_t i = 1; i < lines.size(); i++) {
        counts.push_back(std::strtoull(lines[i].c_str() + lines[i].rfind(',') + 1, nullptr, 10));
    }
    return counts;
}

struct View {
    const char *args;
    const char *label;
    const char *fence;
    long batch;
};

TEST_F(RandLabViews, EachViewLabelsItsRecordsAndSaysWhatItTimed)
{
    for (const View &view :
         {View{"", "RAND_bytes 32 B 2 threads:", "cpuid", 1},
          // --help's default: each call timed alone, as without it.
          View{"--batch 1", "RAND_bytes 32 B 2 threads:", "cpuid", 1},
          View{"--fence lfence", "RAND_bytes 32 B 2 threads lfence:", "lfence", 1},
          View{"--batch 7", "RAND_bytes 32 B 2 threads batch 7:", "cpuid", 7},
          View{"--fence=lfence --batch=7", "RAND_bytes 32 B 2 threads lfence batch 7:", "lfence",
               7}}) {
        fs::remove("osslRb1a.txt");
        fs::remove("s.csv");
        const auto outcome =
            run_lab(std::string("--bytes 32 --threads 2 --calls 64 --samples s.csv ") + view.args);
        ASSERT_EQ(outcome.status, 0) << outcome.out;
        const OutputLine &run = outcome.lines.front();
        EXPECT_EQ(run["label"], view.label);
        EXPECT_EQ(run["fence"], view.fence);
        EXPECT_EQ(run["batch"], std::to_string(view.batch));
        EXPECT_EQ(run["calls"], "64");

        // A record per thread, of 64 counts: per batch with --batch, each
        // the batch's mean, and the record's median theirs.
        const std::vector<std::string> records = lines_of(read_file("osslRb1a.txt"));
        ASSERT_EQ(records.size(), 10U) << view.args;
        const std::vector<std::string> samples = lines_of(read_file("s.csv"));
        ASSERT_EQ(samples.size(), 1U + (2 * 64)) << view.args;
        for (size_t thread = 0; thread < 2; thread++) {
            EXPECT_EQ(records[thread * 5], view.label);
            std::vector<uint64_t> counts = counts_of(samples);
            counts = std::vector<uint64_t>(counts.begin() + static_cast<long>(thread) * 64,
                                           counts.begin() + static_cast<long>(thread + 1) * 64);
            std::sort(counts.begin(), counts.end());
            EXPECT_EQ("MEDIAN:     " + std::to_string(sorted_median(counts.data(), 64)) +
                          " cpucycles",
                      records[(thread * 5) + 2]);
        }

        // Every call made counts in the rate, batches timed again among them;
        // a batched run says per thread which of its batches were disturbed.
        const std::vector<OutputLine> batches = outcome.of("batches");
        const std::vector<OutputLine> rates = outcome.of("rate");
        ASSERT_EQ(rates.size(), 1U) << outcome.out;
        const unsigned long calls = std::stoul(rates[0]["calls"]);
        ASSERT_EQ(batches.size(), view.batch > 1 ? 2U : 0U) << outcome.out;
        unsigned long disturbed = 0;
        for (const OutputLine &line : batches) {
            EXPECT_EQ(line["process"], "parent");
            disturbed += std::stoul(line["disturbed"]);
            EXPECT_EQ(std::stoul(line["disturbed"]),
                      std::stoul(line["remeasured"]) + std::stoul(line["marked"]))
                << line.text;
        }
        const auto batch = static_cast<unsigned long>(view.batch);
        const unsigned long counts = 128; // two threads of 64
        EXPECT_EQ(calls % batch, 0U) << rates[0].text;
        EXPECT_GE(calls, counts * batch) << rates[0].text;
        // At most three more timings of each disturbed batch.
        EXPECT_LE(calls, (counts + 3 * disturbed) * batch) << outcome.out;
    }
}

// The first processor this test may run on.
int first_allowed_cpu()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return 0;
    }
    for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
        if (CPU_ISSET(cpu, &allowed)) {
            return cpu;
        }
    }
    return 0;
}

// A process that never yields, pinned to rand_lab's own processor: the
// scheduler must switch rand_lab out for it every few milliseconds, so a
// batch of some milliseconds cannot run undisturbed, and every such batch
// must be timed again or marked, and counted.
TEST_F(RandLabViews, ABatchThatAnotherTaskInterruptedIsTimedAgainOrMarked)
{
    const std::string cpu = std::to_string(first_allowed_cpu());
    // The rival spins before the run starts and is ended after it.
    const std::string around = "taskset -c " + cpu +
                               " sh -c 'while :; do :; done' >/dev/null 2>&1 & rival=$!; "
                               "sleep 0.2; taskset -c " +
                               cpu + " $lab; status=$?; kill $rival; exit $status";
    // 16 KiB calls take some microseconds each: a batch of 2000, milliseconds.
    const auto outcome = run_lab("--bytes 16384 --batch 2000 --calls 6 --fence lfence", around);
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    const std::vector<OutputLine> batches = outcome.of("batches");
    ASSERT_EQ(batches.size(), 1U) << outcome.out;
    const unsigned long disturbed = std::stoul(batches[0]["disturbed"]);
    const unsigned long remeasured = std::stoul(batches[0]["remeasured"]);
    const unsigned long marked = std::stoul(batches[0]["marked"]);
    EXPECT_GE(disturbed, 1U) << outcome.out;
    EXPECT_EQ(disturbed, remeasured + marked) << outcome.out;
    EXPECT_LE(disturbed, 6U) << outcome.out;
    // Every timing of a disturbed batch counts in the rate.
    const unsigned long calls = std::stoul(outcome.of("rate")[0]["calls"]);
    EXPECT_GE(calls, (6 + disturbed) * 2000U) << outcome.out;
    // The thread stayed where it was put.
    const OutputLine thread = outcome.of("thread")[0];
    EXPECT_EQ(thread["cpu_first"], cpu) << thread.text;
    EXPECT_EQ(thread["away"], "0") << thread.text;
    const std::vector<std::string> records = lines_of(read_file("osslRb1a.txt"));
    ASSERT_EQ(records.size(), 5U);
    EXPECT_EQ(records[0], "RAND_bytes 16384 B 1 thread lfence batch 2000:");
}

} // namespace
