// The lab's driver, run in a fresh folder: what its threads leave, that they
// ran at once, what it says as data and as messages, and that a bad option
// measures nothing.
#include "fake_rand.h"
#include "test_support.h"

#include "median.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = test_support::fs;
using test_support::expect_record;
using test_support::lines_of;
using test_support::OutputLine;
using test_support::read_file;
using test_support::write_file;

using test_support::LabOutcome;

LabOutcome run_lab(const std::string &args, const std::string &before = "true",
                   const char *binary = RAND_LAB_BINARY)
{
    return test_support::run_lab_binary(binary, args, before);
}

using RandLab = test_support::InTempDir;

// A rate line's rates: rated calls over the seconds they took, as printed
// (to a microsecond), and the bytes of each.
void expect_rate(const OutputLine &rate, unsigned long long rated, long bytes)
{
    EXPECT_EQ(rate["rated"], std::to_string(rated)) << rate.text;
    const double seconds = std::stod(rate["rated_seconds"]);
    const double callsPerSecond = std::stod(rate["calls_per_s"]);
    const auto calls = static_cast<double>(rated);
    EXPECT_NEAR(callsPerSecond * seconds, calls, (callsPerSecond * 1e-6) + 1) << rate.text;
    EXPECT_NEAR(std::stod(rate["bytes_per_s"]), callsPerSecond * static_cast<double>(bytes),
                static_cast<double>(bytes))
        << rate.text;
}

TEST_F(RandLab, EachThreadAppendsAWholeRecordAndTheThreadsRunAtOnce)
{
    // Calls enough that, even where a fence costs a hundred cycles rather
    // than a trap to the hypervisor, each loop outlasts the scheduler's
    // slice, so that three threads overlap on two processors.
    constexpr unsigned long long kCalls = 16384;
    const auto outcome = run_lab("--bytes 32 --threads 3 --calls " + std::to_string(kCalls));
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    EXPECT_TRUE(outcome.messages().empty()) << outcome.out;

    const std::vector<std::string> records = lines_of(read_file("osslRb1a.txt"));
    ASSERT_EQ(records.size(), 15U);
    for (size_t first = 0; first < 15; first += 5) {
        expect_record(records, first, "RAND_bytes 32 B 3 threads:", kCalls);
    }

    // What the run appends comes first, and whether it landed last.
    ASSERT_FALSE(outcome.lines.empty());
    const OutputLine &run = outcome.lines.front();
    EXPECT_EQ(run.kind, "run") << outcome.out;
    EXPECT_EQ(run["label"], "RAND_bytes 32 B 3 threads:");
    EXPECT_EQ(run["subject"], "RAND_bytes");
    EXPECT_EQ(run["source"], "openssl");
    EXPECT_EQ(run["threads"], "3");
    EXPECT_EQ(run["calls"], std::to_string(kCalls));
    EXPECT_EQ(run.fields.count("child_label"), 0U);
    const OutputLine &records_line = outcome.lines.back();
    EXPECT_EQ(records_line.kind, "records");
    EXPECT_EQ(records_line["appended"], "yes");
    EXPECT_EQ(records_line["count"], "3");

    // Loops counted from the start of the parallel section: every loop
    // starts before any ends.
    const std::vector<OutputLine> threads = outcome.of("thread");
    ASSERT_EQ(threads.size(), 3U) << outcome.out;
    double lastStart = 0;
    double firstEnd = 1e9;
    for (size_t k = 0; k < threads.size(); k++) {
        const OutputLine &thread = threads[k];
        EXPECT_EQ(thread["process"], "parent");
        EXPECT_EQ(thread["n"], std::to_string(k + 1));
        EXPECT_GE(std::stoi(thread["cpu_first"]), 0) << thread.text;
        EXPECT_GE(std::stoi(thread["cpu_last"]), 0) << thread.text;
        EXPECT_LE(std::stoull(thread["away"]), kCalls) << thread.text;
        lastStart = std::max(lastStart, std::stod(thread["start"]));
        firstEnd = std::min(firstEnd, std::stod(thread["end"]));
    }
    EXPECT_LT(lastStart, firstEnd) << outcome.out;

    const std::vector<OutputLine> rates = outcome.of("rate");
    ASSERT_EQ(rates.size(), 1U);
    EXPECT_EQ(rates[0]["calls"], std::to_string(3 * kCalls));
    expect_rate(rates[0], 3 * (kCalls - 1), 32);
}

// A thread's first call belongs to its generator's life, not to a rate:
// however dear it is (a DRBG's instantiation), the rate is that of the calls
// after it, over the time they took, with or without --batch.
TEST_F(RandLab, TheRateLeavesOutEachThreadsFirstCall)
{
    if (std::string(RAND_LAB_FAKE_BINARY).empty()) {
        GTEST_SKIP() << "no fake generator against a static libcrypto";
    }
    constexpr double kFirstSeconds = 0.3;
    const std::string slow = std::string("export ") + fake_rand::kSlowFirstEnvironment + "=300";
    for (const char *args : {"--threads 2 --calls 16", "--threads 3 --calls 4 --batch 5"}) {
        const auto outcome = run_lab(std::string("--bytes 32 ") + args, slow, RAND_LAB_FAKE_BINARY);
        ASSERT_EQ(outcome.status, 0) << outcome.out;
        const std::vector<OutputLine> rates = outcome.of("rate");
        ASSERT_EQ(rates.size(), 1U) << outcome.out;
        const OutputLine &rate = rates[0];
        const unsigned long long threads = std::stoull(outcome.lines.front()["threads"]);
        const unsigned long long batch = std::stoull(outcome.lines.front()["batch"]);
        const unsigned long long calls = std::stoull(rate["calls"]);
        const unsigned long long counts = std::stoull(outcome.lines.front()["calls"]);
        // Each thread's first batch, timed again or not, is left out; every
        // later one is in.
        const unsigned long long rated = std::stoull(rate["rated"]);
        EXPECT_LE(rated, calls - (threads * batch)) << rate.text;
        EXPECT_GE(rated, threads * (counts - 1) * batch) << rate.text;
        // Every first call slept before any thread's rated calls began.
        EXPECT_LE(std::stod(rate["rated_seconds"]), std::stod(rate["seconds"]) - kFirstSeconds)
            << rate.text;
        expect_rate(rate, rated, 32);
    }
}

TEST_F(RandLab, TheCipherAndThePrivateGeneratorSayWhatTheyMeasured)
{
    ASSERT_EQ(run_lab("--cipher --bytes=16384").status, 0);
    const auto outcome = run_lab("--generator private --bytes 1 --calls 1024");
    ASSERT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.lines.front()["subject"], "RAND_priv_bytes");
    const std::vector<std::string> records = lines_of(read_file("osslRb1a.txt"));
    expect_record(records, 0, "AES-256-CTR 16384 B 1 thread:");
    expect_record(records, 5, "RAND_priv_bytes 1 B 1 thread:");
}

TEST_F(RandLab, ABadOptionGetsOneLineAndStatus2AndAppendsNothing)
{
    for (const char *args :
         {"--bytes 0", "--threads 0", "--bytes abc", "--bytes 1048577", "--threads 1025",
          "--calls 0", "--calls 1", "--bytes", "--generator shared", "--cipher --generator private",
          "--keep k.bin --cipher", "--fork --cipher",
          "--keep k.bin --calls 65536 --threads 2 --bytes 4096",
          // Products past 32 bits, which a 32-bit long would wrap.
          "--keep k.bin --threads 1024 --calls 1048576 --bytes 1048576",
          "--keep k.bin --threads 32 --calls 1048576 --bytes 4096",
          "--fork --threads 1024 --calls 1048576",
          // After the fork, fewer bytes than a comparison needs.
          "--fork --bytes 1 --calls 2", "--fork --bytes 3 --calls 10", "--unknown", "positional",
          "--help=yes", "--source", "--source nope", "--source getrandom --cipher",
          "--source getrandom --generator private",
          // Given twice, whatever the second says.
          "--source getrandom --source rdrand", "--bytes 32 --bytes=32", "--cipher --cipher",
          "--samples s.csv --samples t.csv",
          // Never built outside Windows.
          "--source bcrypt",
          // The views: a fence that is not one, a batch out of range.
          "--fence", "--fence rdtsc", "--fence=", "--fence CPUID", "--fence cpuid --fence lfence",
          "--batch", "--batch 0", "--batch 10001", "--batch 2x", "--batch -5",
          "--batch 2 --batch 3",
          // A batch's count is a mean: no call of it stands alone.
          "--batch 2 --fork", "--batch 2 --keep k.bin"}) {
        const auto outcome = run_lab(args);
        EXPECT_EQ(outcome.status, 2) << args;
        EXPECT_EQ(lines_of(outcome.out).size(), 1U) << args << ": " << outcome.out;
        EXPECT_EQ(outcome.out.rfind("rand_lab: ", 0), 0U) << outcome.out;
    }
    EXPECT_FALSE(fs::exists("osslRb1a.txt"));
    EXPECT_FALSE(fs::exists("k.bin"));
    EXPECT_FALSE(fs::exists("s.csv"));
}

// The line after an unknown option and --help name the same options.
TEST_F(RandLab, HelpListsEveryOptionWithALineEach)
{
    const auto outcome = run_lab("--help");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out.rfind("usage: rand_lab ", 0), 0U) << outcome.out;
    const std::string unknown = run_lab("--unknown").out;
    const std::string listed = unknown.substr(unknown.find('(') + 1);
    std::vector<std::string> options;
    for (size_t at = 0; at < listed.size();) {
        const size_t end = listed.find_first_of(",)", at);
        options.push_back(listed.substr(at, end - at));
        at = end + 2;
    }
    EXPECT_GE(options.size(), 12U) << unknown;
    for (const std::string &option : options) {
        const size_t line = outcome.out.find("\n  " + option + " ");
        EXPECT_NE(line, std::string::npos) << option << " missing from:\n" << outcome.out;
    }
    EXPECT_FALSE(fs::exists("osslRb1a.txt"));
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
    // records after the samples went in, or the kept bytes do not fit. Counts
    // enough for a note on how long the append takes: the failure still
    // comes first, for the lab quotes the first message.
    for (const Case &c :
         {Case{"--threads 16 --calls 8 --bytes 32", 5},
          Case{"--threads 16 --calls 8 --bytes 32 --samples s.csv", 5},
          Case{"--threads 2 --calls 524289 --bytes 1 --fence lfence --samples s.csv", 5},
          Case{"--threads 2 --calls 2 --bytes 32 --samples s.csv", 400},
          Case{"--threads 2 --calls 8 --bytes 64 --samples s.csv --keep k.bin", 5}}) {
        const std::string earlier = std::string(c.earlier - 1, 'x') + "\n";
        write_file("osslRb1a.txt", earlier);
        write_file("s.csv", "thread,call,ticks\n");
        write_file("k.bin", "");
        const auto outcome = run_lab(c.args, "ulimit -f 1");
        EXPECT_EQ(outcome.status, 1) << c.args;
        ASSERT_EQ(outcome.messages().size(), 1U) << outcome.out;
        const std::string message = outcome.messages()[0].text;
        EXPECT_EQ(message.rfind("Cannot write \"", 0), 0U) << message;
        EXPECT_NE(message.find("\": File too large"), std::string::npos) << message;
        EXPECT_EQ(outcome.lines.back()["appended"], "no") << outcome.out;
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
    write_file("bad.cnf",
               "openssl_conf = init\n[init]\nrandom = random\n[random]\nrandom = NO-SUCH\n");
    auto outcome = run_lab("--threads 2 --calls 3", "export OPENSSL_CONF=bad.cnf");
    EXPECT_EQ(outcome.status, 1);
    std::set<std::string> failed;
    for (const OutputLine &line : outcome.of("failed")) {
        failed.insert(line["process"] + " " + line["thread"] + " " + line["call"]);
    }
    EXPECT_EQ(failed, (std::set<std::string>{"parent 1 0", "parent 1 1", "parent 1 2", "parent 2 0",
                                             "parent 2 1", "parent 2 2"}));
    ASSERT_EQ(outcome.messages().size(), 1U) << outcome.out;
    EXPECT_EQ(outcome.messages()[0].text, "No record was appended because 6 calls failed");
    EXPECT_EQ(outcome.lines.back()["appended"], "no");
    EXPECT_EQ(outcome.lines.back()["count"], "0");
    EXPECT_EQ(read_file("osslRb1a.txt"), "");

    outcome = run_lab("--cipher", "export OPENSSL_CONF=bad.cnf");
    EXPECT_EQ(outcome.status, 1);
    ASSERT_EQ(outcome.messages().size(), 1U) << outcome.out;
    EXPECT_EQ(outcome.messages()[0].text, "The RAND_bytes call for the AES-256-CTR key failed");
    EXPECT_FALSE(fs::exists("osslRb1a.txt") && fs::file_size("osslRb1a.txt") != 0);
}

// Under a small address space: one message and status 1, never an abort.
TEST_F(RandLab, NoMemoryOrNoThreadIsOneLineAndStatus1)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory needs more address space than the limit";
#endif
    auto outcome = run_lab("--threads 1024 --calls 32768 --bytes 1", "ulimit -v 200000");
    EXPECT_EQ(outcome.status, 1);
    ASSERT_EQ(outcome.messages().size(), 1U) << outcome.out;
    EXPECT_EQ(outcome.messages()[0].text,
              "Cannot allocate the buffers for 1024 threads x 32768 calls of 1 byte");
    EXPECT_EQ(outcome.lines.back()["appended"], "no");
    outcome = run_lab("--threads 1024 --calls 2 --bytes 1", "ulimit -v 200000");
    EXPECT_EQ(outcome.status, 1);
    ASSERT_EQ(outcome.messages().size(), 1U) << outcome.out;
    const std::string message = outcome.messages()[0].text;
    EXPECT_EQ(message.rfind("Cannot start thread ", 0), 0U) << message;
    EXPECT_NE(message.find(" of 1024: "), std::string::npos) << message;
    EXPECT_FALSE(fs::exists("osslRb1a.txt") && fs::file_size("osslRb1a.txt") != 0);
}

// The record's median of a sample.
uint64_t median_of(std::vector<uint64_t> counts)
{
    std::sort(counts.begin(), counts.end());
    return sorted_median(counts.data(), counts.size());
}

// "thread,call,ticks" as numbers.
std::vector<uint64_t> sample_fields(const std::string &line)
{
    std::vector<uint64_t> fields;
    const char *at = line.c_str();
    for (char *end = nullptr;; at = end + 1) {
        fields.push_back(std::strtoull(at, &end, 10));
        if (end == at || *end != ',') {
            EXPECT_TRUE(end != at && *end == '\0') << line;
            return fields;
        }
    }
}

TEST_F(RandLab, TheSamplesAndTheBytesOfEveryCallComeWithTheRecords)
{
    for (int run = 0; run < 2; run++) {
        ASSERT_EQ(run_lab("--threads 2 --bytes 32 --samples s.csv --keep k.bin").status, 0);
    }
    EXPECT_EQ(fs::file_size("k.bin"), 2U * 2 * 1024 * 32);
    const std::vector<std::string> lines = lines_of(read_file("s.csv"));
    ASSERT_EQ(lines.size(), 1U + (2 * 2 * 1024));
    EXPECT_EQ(lines[0], "thread,call,ticks");
    const std::vector<std::string> records = lines_of(read_file("osslRb1a.txt"));
    ASSERT_EQ(records.size(), 2U * 2 * 5);
    for (size_t record = 0; record < 4; record++) {
        std::vector<uint64_t> counts;
        for (size_t call = 0; call < 1024; call++) {
            const std::string &line = lines[1 + (record * 1024) + call];
            const std::vector<uint64_t> fields = sample_fields(line);
            ASSERT_EQ(fields.size(), 3U) << line;
            ASSERT_EQ(fields[0], (record % 2) + 1) << line;
            ASSERT_EQ(fields[1], call) << line;
            counts.push_back(fields[2]);
        }
        expect_record(records, record * 5, "RAND_bytes 32 B 2 threads:");
        EXPECT_EQ(std::to_string(median_of(counts)) + " cpucycles",
                  records[(record * 5) + 2].substr(12));
    }
}

} // namespace
