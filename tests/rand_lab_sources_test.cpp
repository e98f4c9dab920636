// The lab's driver and its sources: every limit and source --limits lists,
// a source that cannot run on this machine (each path through a seam), and
// another source's records.
#include "test_support.h"

#include <gtest/gtest.h>

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

test_support::LabOutcome run_lab(const std::string &args, const std::string &before = "true",
                                 const char *binary = RAND_LAB_BINARY)
{
    return test_support::run_lab_binary(binary, args, before);
}

using RandLabSources = test_support::InTempDir;

// rand_lab's status for a source built here that cannot run on this machine.
constexpr int kCannotRunHere = 5;

// Every limit --limits prints is the one the options hold to, and every
// source it lists either runs here, or is refused saying what its build
// needs, or was built but cannot run on this machine, saying what is
// missing.
TEST_F(RandLabSources, TheLimitsAndTheSourcesAreAllListed)
{
    const auto outcome = run_lab("--limits");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.messages().size(), 0U) << outcome.out;
    std::set<std::string> limits;
    for (const OutputLine &limit : outcome.of("limit")) {
        limits.insert(limit["name"]);
        if (limit.fields.count("low") == 0) {
            continue;
        }
        const std::string above = std::to_string(std::stol(limit["high"]) + 1);
        const std::string below = std::to_string(std::stol(limit["low"]) - 1);
        EXPECT_EQ(run_lab("--" + limit["name"] + " " + above).status, 2) << limit.text;
        EXPECT_EQ(run_lab("--" + limit["name"] + " " + below).status, 2) << limit.text;
    }
    EXPECT_EQ(limits,
              (std::set<std::string>{"bytes", "threads", "calls", "batch", "samples", "keep"}));

    const std::vector<OutputLine> sources = outcome.of("source");
    std::set<std::string> names;
    for (const OutputLine &source : sources) {
        names.insert(source["name"]);
        const auto version = run_lab("--source " + source["name"] + " --version");
        if (version.status == 0) {
            ASSERT_EQ(version.of("source").size(), 1U) << version.out;
            EXPECT_EQ(version.of("source")[0]["name"], source["name"]);
            EXPECT_NE(version.of("source")[0]["version"], "");
            continue;
        }
        ASSERT_EQ(version.lines.size(), 1U) << version.out;
        if (version.status == kCannotRunHere) {
            const std::string said = "rand_lab: source " + source["name"] + " cannot run here: ";
            EXPECT_EQ(version.out.rfind(said, 0), 0U) << version.out;
            EXPECT_GT(version.out.size(), said.size() + 1) << version.out;
            continue;
        }
        EXPECT_EQ(version.status, 2) << version.out;
        const std::string needs =
            source.fields.count("package") != 0 ? source["package"] : source["needs"];
        EXPECT_NE(needs, "") << source.text;
        EXPECT_NE(version.out.find(needs), std::string::npos) << version.out;
    }
    EXPECT_EQ(names.size(), sources.size());
    EXPECT_EQ(names.count("openssl"), 1U);
    EXPECT_EQ(names.count("getrandom"), 1U);
}

// A source this build made that cannot run on this machine: one line naming
// what is missing, its own status, and no file made. Each path through a
// seam, so that it is tried on every machine: a processor whose CPUID
// reports nothing (a stand-in for bench/sources/cpuid_bits.cpp), and a vDSO
// without getrandom, or whose getrandom refuses (a preloaded dlvsym).
TEST_F(RandLabSources, ASourceThatCannotRunHereIsOneLineAndItsOwnStatus)
{
    struct Case {
        const char *binary;
        const char *args;
        const char *hide; // HIDE_VDSO_GETRANDOM, or nullptr for no preload
        const char *missing;
    };
    const bool vdso = run_lab("--source vdso --version").status != 2;
    for (const Case &c : {
             Case{RAND_LAB_RDRAND_ABSENT_BINARY, "--source rdrand --bytes 32", nullptr,
                  "the processor does not report RDRAND (CPUID leaf 1 ECX bit 30)"},
             Case{RAND_LAB_BINARY, "--source vdso", "absent",
                  "this kernel's vDSO has no __vdso_getrandom (Linux 6.11 and later have it)"},
             Case{RAND_LAB_BINARY, "--source vdso --version", "unmapped",
                  "the kernel's vDSO is not mapped into this process"},
             Case{RAND_LAB_BINARY, "--source vdso --threads 2", "refuses",
                  "the vDSO's getrandom refused the query for its state's size (returned -38)"},
             Case{RAND_LAB_BINARY, "--source vdso --fork", "large",
                  "the vDSO's getrandom state of 1048576 bytes does not fit in one page"},
         }) {
        if (c.hide != nullptr && !vdso) {
            continue; // not built here, which the limits' test checks
        }
        // AddressSanitizer wants to be first among the libraries, before
        // the preloaded one.
        const std::string before =
            c.hide == nullptr ? "true"
                              : std::string("export LD_PRELOAD='") + HIDE_VDSO_GETRANDOM_LIBRARY +
                                    "' ASAN_OPTIONS=verify_asan_link_order=0 "
                                    "HIDE_VDSO_GETRANDOM=" +
                                    c.hide;
        const auto outcome = run_lab(c.args, before, c.binary);
        const std::string source = c.hide == nullptr ? "rdrand" : "vdso";
        EXPECT_EQ(outcome.status, kCannotRunHere) << c.args;
        EXPECT_EQ(outcome.out,
                  "rand_lab: source " + source + " cannot run here: " + c.missing + "\n");
    }
    EXPECT_TRUE(fs::is_empty(fs::current_path()));
}

// Another source runs through its own executable, which must label its
// records with its name and say what it is.
TEST_F(RandLabSources, AnotherSourceLabelsItsRecordsWithItsNameAndNamesItsVersion)
{
    const auto outcome = run_lab("--source getrandom --bytes 9 --threads 2");
    ASSERT_EQ(outcome.status, 0) << outcome.out;
    const std::vector<std::string> records = lines_of(read_file("osslRb1a.txt"));
    ASSERT_EQ(records.size(), 10U);
    expect_record(records, 0, "getrandom 9 B 2 threads:");
    expect_record(records, 5, "getrandom 9 B 2 threads:");
    EXPECT_EQ(outcome.lines.front()["source"], "getrandom");
    const std::vector<OutputLine> sources = outcome.of("source");
    ASSERT_EQ(sources.size(), 1U) << outcome.out;
    EXPECT_EQ(sources[0]["version"].rfind("Linux ", 0), 0U) << sources[0].text;
}

} // namespace
