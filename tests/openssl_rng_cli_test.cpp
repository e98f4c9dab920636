// The real program, run in a fresh folder, judged by its output, exit status
// and the files it leaves.
#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = test_support::fs;
using test_support::clear_here;
using test_support::expect_record;
using test_support::files_here;
using test_support::InTempDir;
using test_support::lines_of;
using test_support::matches_format;
using test_support::read_file;
using test_support::write_file;

using Outcome = test_support::CommandOutcome;

Outcome run(const std::string &command)
{
    return test_support::run_command(command);
}

std::string quoted(const char *path)
{
    return std::string("'") + path + "'";
}

Outcome run_program(const std::string &args = "")
{
    return run(quoted(OPENSSL_RNG_BINARY) + " " + args);
}

bool is_duration_line(const std::string &text)
{
    return matches_format(text, "Program executed in: %f sec\n");
}

// Starts binary in the current folder with its standard output going to the
// file out and, like a nearly full disk, every file it writes limited to
// limit bytes; SIGXFSZ is left at its default, which kills.
pid_t spawn(const char *binary, const std::string &out, rlim_t limit)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0) {
            _exit(126);
        }
        signal(SIGXFSZ, SIG_DFL);
        const rlimit limited{limit, limit};
        setrlimit(RLIMIT_FSIZE, &limited);
        execl(binary, binary, nullptr);
        _exit(127);
    }
    return pid;
}

// The exit status, or 128 plus the signal that ended the process, as a
// shell reports it.
int wait_for(pid_t pid)
{
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

Outcome run_limited(const char *binary, rlim_t limit)
{
    Outcome outcome;
    outcome.status = wait_for(spawn(binary, "out", limit));
    outcome.out = read_file("out");
    return outcome;
}

using Program = InTempDir;

TEST_F(Program, ARunPrintsOnlyItsDurationAndAppendsOneRecord)
{
    const Outcome outcome = run_program();
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(is_duration_line(outcome.out)) << outcome.out;

    const std::vector<std::string> lines = lines_of(read_file("osslRb1a.txt"));
    EXPECT_EQ(lines.size(), 5U);
    expect_record(lines, 0, "RAND_bytes:");
    ASSERT_TRUE(fs::exists("RAND_bytes.bin"));
    EXPECT_EQ(fs::file_size("RAND_bytes.bin"), 0U);
}

TEST_F(Program, ASecondRunAppendsAfterTheFirstAndIgnoresArguments)
{
    ASSERT_EQ(run_program().status, 0);
    const std::string first = read_file("osslRb1a.txt");
    const std::string data = std::string("kept\r\n\0\x1a bytes", 14);
    write_file("RAND_bytes.bin", data);

    const Outcome second = run_program("--help -n 5");
    EXPECT_EQ(second.status, 0);
    EXPECT_TRUE(is_duration_line(second.out)) << second.out;

    const std::string both = read_file("osslRb1a.txt");
    EXPECT_EQ(both.substr(0, first.size()), first);
    const std::vector<std::string> lines = lines_of(both);
    EXPECT_EQ(lines.size(), 10U);
    expect_record(lines, 5, "RAND_bytes:");
    EXPECT_EQ(read_file("RAND_bytes.bin"), data);
}

const char *const kEarlierRecord = "RAND_bytes:\nTOTAL:      9 cycles\nMEDIAN:     3 cpucycles\n"
                                   "AVERAGE:    3 cpucycles\nEXECUTED in 0.250000 s\n";

// What is not a regular file is refused in one line before the run (a FIFO
// that no one reads would take the record and lose it), and the run leaves
// no file it made: only what was there.
TEST_F(Program, AFileThatIsNotARegularOneIsRefusedAndNoFileIsLeftMade)
{
    struct Case {
        const char *binary;
        const char *name; // made first, a folder or a FIFO
        const char *said;
    };
    for (const Case &c : {
             Case{OPENSSL_RNG_BINARY, "osslRb1a.txt", "Is a directory"},
             Case{OPENSSL_RNG_BINARY, "osslRb1a.txt", "not a regular file"},
             Case{OPENSSL_RNG_BINARY, "RAND_bytes.bin", "Is a directory"},
             Case{OPENSSL_RNG_BINARY, "RAND_bytes.bin", "not a regular file"},
             Case{RAND_PRIV_BYTES_RUN_BINARY, "RAND_priv_bytes.bin", "not a regular file"},
         }) {
        clear_here();
        const bool folder = std::string(c.said) == "Is a directory";
        ASSERT_EQ(run(std::string(folder ? "mkdir " : "mkfifo ") + c.name).status, 0);
        const Outcome outcome = run(quoted(c.binary));
        EXPECT_EQ(outcome.status, 1) << c.name;
        EXPECT_EQ(outcome.out, "Cannot open \"" + std::string(c.name) + "\": " + c.said + "\n");
        EXPECT_EQ(files_here(), std::set<std::string>{c.name}) << c.name << ": " << c.said;
    }
}

TEST_F(Program, ADataFileThatCannotBeOpenedLeavesTheResultsAsTheyWere)
{
    write_file("osslRb1a.txt", kEarlierRecord);

    fs::create_directory("RAND_bytes.bin");
    const Outcome inFolder = run_program();
    EXPECT_EQ(inFolder.status, 1);
    EXPECT_EQ(inFolder.out, "Cannot open \"RAND_bytes.bin\": Is a directory\n");
    EXPECT_EQ(read_file("osslRb1a.txt"), kEarlierRecord);

    fs::remove("RAND_bytes.bin");
    fs::create_symlink("missing/folder/RAND_bytes.bin", "RAND_bytes.bin");
    const Outcome missing = run_program();
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "Cannot open \"RAND_bytes.bin\": No such file or directory\n");
    EXPECT_EQ(read_file("osslRb1a.txt"), kEarlierRecord);
}

// No file may grow (as a full disk): the failure comes after the duration,
// and neither the results file nor the data file that the run made is left.
TEST_F(Program, AFullDiskIsReportedAfterTheDurationAndNoFileIsLeftMade)
{
    const Outcome outcome = run("ulimit -f 0; " + quoted(OPENSSL_RNG_BINARY));
    EXPECT_EQ(outcome.status, 1);
    const std::vector<std::string> lines = lines_of(outcome.out);
    ASSERT_EQ(lines.size(), 2U) << outcome.out;
    EXPECT_TRUE(is_duration_line(lines[0] + "\n")) << lines[0];
    EXPECT_EQ(lines[1], "Cannot write \"osslRb1a.txt\": File too large");
    EXPECT_EQ(files_here(), std::set<std::string>{});

    // The driver of the other run says the same, after its first block.
    const Outcome driver = run("ulimit -f 0; " + quoted(RAND_PRIV_BYTES_RUN_BINARY));
    EXPECT_EQ(driver.status, 1);
    EXPECT_EQ(driver.out, "Cannot write \"RAND_priv_bytes.bin\" at call 0: File too large\n"
                          "Cannot write \"osslRb1a.txt\": File too large\n");
    EXPECT_EQ(files_here(), std::set<std::string>{});
}

TEST_F(Program, ALimitInsideTheRecordLeavesTheResultsFileAsItWas)
{
    const std::string earlier = std::string(kEarlierRecord) + kEarlierRecord;
    write_file("osslRb1a.txt", earlier);
    const Outcome outcome = run_limited(OPENSSL_RNG_BINARY, earlier.size() + 60);
    EXPECT_EQ(outcome.status, 1);
    const std::vector<std::string> lines = lines_of(outcome.out);
    ASSERT_EQ(lines.size(), 2U) << outcome.out;
    EXPECT_TRUE(is_duration_line(lines[0] + "\n")) << lines[0];
    EXPECT_EQ(lines[1], "Cannot write \"osslRb1a.txt\": File too large");
    EXPECT_EQ(read_file("osslRb1a.txt"), earlier);
}

TEST_F(Program, ALimitInsideABlockKeepsTheWholeBlocksBeforeIt)
{
    constexpr rlim_t kBlock = 16384;
    const Outcome outcome = run_limited(RAND_PRIV_BYTES_RUN_BINARY, (5 * kBlock) + (kBlock / 2));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "Cannot write \"RAND_priv_bytes.bin\" at call 5: File too large\n");
    EXPECT_EQ(fs::file_size("RAND_priv_bytes.bin"), 5 * kBlock);
    const std::vector<std::string> lines = lines_of(read_file("osslRb1a.txt"));
    EXPECT_EQ(lines.size(), 5U);
    expect_record(lines, 0, "RAND_priv_bytes:");
}

TEST_F(Program, RunsAtOnceUnderALimitLeaveWholeRecordsAndReportTheRest)
{
    constexpr int kRunsAtOnce = 6;
    std::vector<pid_t> runs(kRunsAtOnce);
    for (size_t k = 0; k < runs.size(); k++) {
        // Room for about three records.
        runs[k] = spawn(OPENSSL_RNG_BINARY, "out-" + std::to_string(k), 350);
    }
    int reported = 0;
    for (int k = 0; k < kRunsAtOnce; k++) {
        const int status = wait_for(runs[static_cast<size_t>(k)]);
        const std::string out = read_file("out-" + std::to_string(k));
        const bool failed =
            out.find("Cannot write \"osslRb1a.txt\": File too large\n") != std::string::npos;
        EXPECT_EQ(status, failed ? 1 : 0) << out;
        reported += failed ? 1 : 0;
    }

    const std::string results = read_file("osslRb1a.txt");
    const std::vector<std::string> lines = lines_of(results);
    ASSERT_EQ(lines.size() % 5, 0U) << results;
    EXPECT_EQ(lines.size() / 5, static_cast<size_t>(kRunsAtOnce - reported));
    EXPECT_GT(reported, 0);
    for (size_t first = 0; first < lines.size(); first += 5) {
        expect_record(lines, first, "RAND_bytes:");
    }
    EXPECT_EQ(results.back(), '\n');
}

TEST_F(Program, StandardOutputClosedOrFullNeverReachesTheResults)
{
    // A generator configured to fail every call, so that there is plenty to
    // print where it could go astray; a library that ignores the setting
    // just prints less.
    write_file("failing.cnf", "openssl_conf = openssl_init\n[openssl_init]\nrandom = random_sect\n"
                              "[random_sect]\nrandom = NONE_SUCH\n");
    const std::string failing = "OPENSSL_CONF=failing.cnf " + quoted(OPENSSL_RNG_BINARY);

    const Outcome closed = run(failing + " >&-");
    EXPECT_EQ(closed.status, 0);
    std::vector<std::string> lines = lines_of(read_file("osslRb1a.txt"));
    EXPECT_EQ(lines.size(), 5U);
    expect_record(lines, 0, "RAND_bytes:");

    const Outcome full = run(failing + " 2>&1 >/dev/full");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.out, "Cannot write standard output: No space left on device\n");
    lines = lines_of(read_file("osslRb1a.txt"));
    EXPECT_EQ(lines.size(), 10U);
    expect_record(lines, 5, "RAND_bytes:");
}

TEST_F(Program, EachPrivateRunAppendsExactlyOneRunOfBlocks)
{
    constexpr uintmax_t kRunBytes = uintmax_t{1024} * 16384;
    const Outcome first = run(quoted(RAND_PRIV_BYTES_RUN_BINARY));
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, "");
    EXPECT_EQ(fs::file_size("RAND_priv_bytes.bin"), kRunBytes);
    const std::string firstBlocks = read_file("RAND_priv_bytes.bin");

    EXPECT_EQ(run(quoted(RAND_PRIV_BYTES_RUN_BINARY)).status, 0);
    const std::string both = read_file("RAND_priv_bytes.bin");
    EXPECT_EQ(both.size(), 2 * kRunBytes);
    EXPECT_TRUE(both.compare(0, firstBlocks.size(), firstBlocks) == 0);
    EXPECT_NE(both.substr(kRunBytes, 16384), firstBlocks.substr(0, 16384));

    const std::vector<std::string> lines = lines_of(read_file("osslRb1a.txt"));
    EXPECT_EQ(lines.size(), 10U);
    expect_record(lines, 0, "RAND_priv_bytes:");
    expect_record(lines, 5, "RAND_priv_bytes:");
}

// The runs' own instructions, one per line, from the program's object file:
// the linked binary also holds libcrypto's code when that is linked
// statically, its own counter reads included. A call is followed by " -> "
// and the symbol its relocation names.
std::vector<std::string> disassembly(const char *object)
{
    const Outcome objdump = run("objdump -dr --no-show-raw-insn " + quoted(object));
    EXPECT_EQ(objdump.status, 0);
    std::vector<std::string> instructions;
    for (const std::string &line : lines_of(objdump.out)) {
        const size_t tab = line.find('\t');
        if (line.find("R_X86_64_") != std::string::npos) {
            const std::string symbol = line.substr(line.rfind('\t') + 1);
            instructions.back() += " -> " + symbol.substr(0, symbol.find_first_of("+-"));
        } else if (tab != std::string::npos) {
            instructions.push_back(line.substr(tab + 1));
        }
    }
    return instructions;
}

std::string mnemonic(const std::string &instruction)
{
    return instruction.substr(0, instruction.find(' '));
}

TEST_F(Program, OnlyTheGeneratorCallAndItsArgumentsSitBetweenTheCounterReads)
{
    // Forming the start reading, moving arguments and results: nothing that
    // stores, waits on memory or branches.
    const std::set<std::string> bookkeeping{"mov", "shl", "or", "lea"};
    std::set<std::string> generators;
    bool inside = false;
    int calls = 0;
    int intervals = 0;
    for (const std::string &instruction : disassembly(OPENSSL_RNG_OBJECT)) {
        const std::string name = mnemonic(instruction);
        if (name == "rdtsc") {
            inside = true;
            calls = 0;
            intervals++;
        } else if (name == "rdtscp" && inside) {
            inside = false;
            EXPECT_EQ(calls, 1);
        } else if (inside && name == "call") {
            calls++;
            generators.insert(instruction.substr(instruction.find(" -> ") + 4));
        } else if (inside) {
            EXPECT_EQ(bookkeeping.count(name), 1U) << "inside the interval: " << instruction;
            // A memory operand after the comma is a store.
            const size_t comma = instruction.find(',');
            EXPECT_FALSE(comma != std::string::npos && instruction.find('(') > comma &&
                         instruction.find('(') != std::string::npos)
                << "a store inside the interval: " << instruction;
        }
    }
    EXPECT_EQ(intervals, 2);
    EXPECT_EQ(generators, (std::set<std::string>{"RAND_bytes", "RAND_priv_bytes"}));
}

// QEMU's kvm64 processor, the default of some hypervisors, has no RDTSCP:
// the program and the drivers say so in one line and make no file, where
// they used to die of SIGILL in their first interval.
TEST_F(Program, AProcessorWithoutRdtscpIsOneLineAndStatus1)
{
    if (run("command -v qemu-x86_64-static >/dev/null").status != 0) {
        GTEST_SKIP() << "qemu-x86_64-static (Debian's qemu-user-static) is not installed";
    }
    if (OPENSSL_RNG_SANITIZED != 0) {
        GTEST_SKIP() << "QEMU's user mode cannot run AddressSanitizer's builds";
    }
    for (const std::string &binary :
         {quoted(OPENSSL_RNG_BINARY), quoted(RAND_PRIV_BYTES_RUN_BINARY),
          quoted(RAND_LAB_BINARY) + " --bytes 32 --fence lfence"}) {
        const Outcome outcome = run("qemu-x86_64-static -cpu kvm64 " + binary + " 2>&1");
        EXPECT_EQ(outcome.status, 1) << binary;
        EXPECT_EQ(outcome.out, "Cannot count cycles: this processor does not execute RDTSCP, "
                               "which the counter reads need\n");
        EXPECT_TRUE(fs::is_empty(fs::current_path())) << binary;
    }
}

} // namespace
