// The lab's driver against hostile files and builds: a run refused for its
// file names makes no file, the kept bytes' layout lands with them or not at
// all, a source this build did not make is never run, and what was said
// before a signal that came during the append is not lost.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = test_support::fs;
using test_support::clear_here;
using test_support::files_here;
using test_support::lines_of;
using test_support::OutputLine;
using test_support::read_file;
using test_support::read_output_line;
using test_support::run_command;
using test_support::write_file;

using RandLabFiles = test_support::InTempDir;

// Standard error joins standard output.
test_support::CommandOutcome run_lab(const std::string &args, const std::string &before = "true",
                                     const std::string &binary = RAND_LAB_BINARY)
{
    return run_command("(" + before + "; '" + binary + "' " + args + ") 2>&1");
}

// A run refused for its file names (status 2), for a file that is not a
// regular one, or failing to write (status 1) leaves no file it made, and
// what was there as it was.
TEST_F(RandLabFiles, ARunRefusedOrFailedLeavesNoFileItMade)
{
    struct Case {
        const char *before; // what the folder holds first
        const char *args;
        int status;
        const char *said;
        const char *within = "true"; // the shell's command before the run's own
    };
    for (const Case &c : {
             Case{"true", "--keep osslRb1a.txt", 2, "rand_lab: --keep names the results file"},
             Case{"true", "--samples ./osslRb1a.txt", 2,
                  "rand_lab: --samples names the results file"},
             Case{"mkdir d", "--keep d/../osslRb1a.txt", 2,
                  "rand_lab: --keep names the results file"},
             Case{"ln -s osslRb1a.txt k.layout", "--keep k", 2,
                  "rand_lab: --keep's layout names the results file"},
             Case{"true", "--keep k.bin --samples ./k.bin", 2,
                  "rand_lab: --samples and --keep name the same"},
             // A link to a file not made yet leads to it all the same.
             Case{"ln -s k.bin link", "--keep link --samples k.bin", 2,
                  "rand_lab: --samples and --keep name the same"},
             Case{"ln -s . here", "--keep here/k.bin --samples k.bin", 2,
                  "rand_lab: --samples and --keep name the same"},
             Case{"true", "--keep k --samples k.layout", 2,
                  "rand_lab: --samples and --keep's layout name"},
             Case{"ln -s osslRb1a.txt results", "--keep results.bin --samples results", 2,
                  "rand_lab: --samples names the results file"},
             // A FIFO that no one reads would take the bytes and lose them.
             Case{"mkfifo k.bin", "--keep k.bin", 1, "Cannot open \"k.bin\": not a regular file"},
             Case{"mkfifo k.layout", "--keep k", 1, "Cannot open \"k.layout\": not a regular file"},
             Case{"mkfifo s.csv", "--samples s.csv", 1,
                  "Cannot open \"s.csv\": not a regular file"},
             Case{"mkfifo osslRb1a.txt", "", 1, "Cannot open \"osslRb1a.txt\": not a regular file"},
             // Refused once the results file is made: it goes again.
             Case{"mkdir k.bin", "--keep k.bin", 1, "Cannot open \"k.bin\": Is a directory"},
             // As a full disk: every file made, none written.
             Case{"true", "--keep k.bin --samples s.csv --calls 2 --bytes 16", 1,
                  "Cannot write \"s.csv\": File too large", "ulimit -f 0"},
         }) {
        clear_here();
        ASSERT_EQ(run_command(c.before).status, 0) << c.before;
        const std::set<std::string> before = files_here();
        const auto outcome = run_lab(c.args, c.within);
        EXPECT_EQ(outcome.status, c.status) << c.args << ": " << outcome.out;
        EXPECT_NE(outcome.out.find(c.said), std::string::npos) << c.args << ": " << outcome.out;
        EXPECT_EQ(files_here(), before) << c.args;
    }
}

std::vector<OutputLine> layout_of(const std::string &name)
{
    std::vector<OutputLine> lines;
    for (const std::string &line : lines_of(read_file(name))) {
        lines.push_back(read_output_line(line, {"keep"}));
        EXPECT_EQ(lines.back().kind, "keep") << line;
    }
    return lines;
}

// Each run's line says where its bytes start and how they were asked for,
// thread by thread, each thread's calls in order.
TEST_F(RandLabFiles, TheKeptBytesLayoutSaysWhereEachRunsBytesStart)
{
    ASSERT_EQ(run_lab("--bytes 100 --threads 2 --calls 3 --keep k.bin").status, 0);
    ASSERT_EQ(run_lab("--source getrandom --bytes 7 --calls 2 --keep k.bin").status, 0);
    EXPECT_EQ(fs::file_size("k.bin"), (2U * 3 * 100) + (2 * 7));
    const std::vector<OutputLine> layout = layout_of("k.bin.layout");
    ASSERT_EQ(layout.size(), 2U);
    const std::vector<std::vector<std::string>> expected = {
        {"0", "100", "2", "3", "RAND_bytes", "openssl"},
        {"600", "7", "1", "2", "getrandom", "getrandom"}};
    for (size_t run = 0; run < 2; run++) {
        std::vector<std::string> got;
        for (const char *key : {"offset", "bytes", "threads", "calls", "subject", "source"}) {
            got.push_back(layout[run][key]);
        }
        EXPECT_EQ(got, expected[run]) << layout[run].text;
    }

    // Records that do not fit under a limit of 512 bytes take the bytes and
    // their layout back with them.
    const std::string earlier = std::string(499, 'x') + "\n";
    write_file("osslRb1a.txt", earlier);
    const std::string kept = read_file("k.bin");
    const std::string laid = read_file("k.bin.layout");
    const auto outcome = run_lab("--bytes 16 --calls 2 --keep k.bin", "ulimit -f 1");
    EXPECT_EQ(outcome.status, 1) << outcome.out;
    EXPECT_EQ(read_file("osslRb1a.txt"), earlier);
    EXPECT_EQ(read_file("k.bin"), kept);
    EXPECT_EQ(read_file("k.bin.layout"), laid);
}

// rand_lab and its sources' executables as they stand in the build.
fs::path built(const std::string &name)
{
    return fs::path(RAND_LAB_BINARY).parent_path() / name;
}

// A source the configure skipped, whose executable stands beside rand_lab
// from an earlier build, is refused with the configure's reason and not run;
// a source's executable from another configure refuses to run; one that is
// missing is said to be.
TEST_F(RandLabFiles, ASourceNotBuiltByThisConfigureIsNeverRun)
{
    fs::create_directory("bin");
    fs::copy_file(RAND_LAB_BINARY, "bin/rand_lab");
    write_file("bin/rand_lab-bcrypt", "#!/bin/sh\ntouch ran\n");
    fs::permissions("bin/rand_lab-bcrypt", fs::perms::owner_all);
    struct Case {
        std::string command;
        const char *said;
    };
    for (const Case &c : {
             Case{"bin/rand_lab --source bcrypt",
                  "rand_lab: source bcrypt is not built here: it needs a Windows build"},
             Case{"RAND_LAB_BUILT_SOURCES=rdrand '" + built("rand_lab-getrandom").string() +
                      "' --calls 2",
                  "rand_lab: rand_lab-getrandom was built by another configure than rand_lab"},
             Case{"bin/rand_lab --source getrandom --calls 2",
                  "rand_lab: source getrandom is built here, but its executable"},
         }) {
        const auto outcome = run_command(c.command + " 2>&1");
        EXPECT_EQ(outcome.status, 2) << c.command;
        ASSERT_EQ(lines_of(outcome.out).size(), 1U) << c.command << ": " << outcome.out;
        EXPECT_EQ(outcome.out.rfind(c.said, 0), 0U) << outcome.out;
    }
    EXPECT_FALSE(fs::exists("ran"));
    EXPECT_FALSE(fs::exists("osslRb1a.txt"));
    // The configure's reason goes with it.
    EXPECT_NE(run_command("bin/rand_lab --source bcrypt 2>&1").out.find("the configure skipped it"),
              std::string::npos);
}

// Runs rand_lab ARGS, its standard output into out.txt and after the shell
// command within, while the shell holds the lock of the file held; once the
// kernel lists the run as waiting for that lock, does meanwhile and lets the
// lock go. The shell's last line is the run's status.
test_support::CommandOutcome while_waiting_for(const std::string &held, const std::string &within,
                                               const std::string &args,
                                               const std::string &meanwhile)
{
    const std::string script =
        "exec 9>>" + held + "; flock 9; (" + within + "; exec '" + RAND_LAB_BINARY + "' " + args +
        ") >out.txt 9>&- & pid=$!; inode=$(stat -c %i " + held + "); tries=0; " +
        "until grep -q -- \"-> FLOCK .*:$inode \" /proc/locks || [ $tries -ge 600 ]; do " +
        "sleep 0.05; tries=$((tries + 1)); done; " + meanwhile + "; flock -u 9; wait $pid; echo $?";
    return run_command("(" + script + ") 2>&1");
}

// SIGTERM while the run waits for the results file's lock is held until the
// append is done; standard output, a file here and so fully buffered, still
// gets every line said before the signal took effect.
TEST_F(RandLabFiles, WhatWasSaidBeforeASignalDuringTheAppendIsNotLost)
{
    const auto outcome =
        while_waiting_for("osslRb1a.txt", "true", "--calls 2 --bytes 32", "kill -TERM $pid");
    // The shell may tell of the job's end ("Terminated") before its status.
    ASSERT_FALSE(lines_of(outcome.out).empty());
    EXPECT_EQ(lines_of(outcome.out).back(), "143") << outcome.out;
    const std::vector<std::string> said = lines_of(read_file("out.txt"));
    ASSERT_GE(said.size(), 3U) << read_file("out.txt");
    EXPECT_EQ(said[0].rfind("run ", 0), 0U) << said[0];
    EXPECT_EQ(said.back().rfind("rate ", 0), 0U) << said.back();
    // The append itself was finished before the signal ended the run.
    EXPECT_EQ(lines_of(read_file("osslRb1a.txt")).size(), 5U);
}

// A failed run removes the files it made only while they are its own and
// empty, under their locks: a run waiting for the lock of a file removed so
// makes it again and appends there, never to a file no name leads to; a file
// that another run wrote to meanwhile stays.
TEST_F(RandLabFiles, AFileAFailedRunMadeGoesOnlyWhileNoOneElseNeedsIt)
{
    struct Case {
        const char *held;
        const char *within;
        const char *args;
        const char *meanwhile;
        const char *status;
        std::set<std::string> left;
        const char *results; // what osslRb1a.txt holds, or "" for one record
    };
    for (const Case &c : {
             // As a run that made the file and failed would.
             Case{"osslRb1a.txt",
                  "true",
                  "--calls 2 --bytes 32",
                  "rm osslRb1a.txt",
                  "0",
                  {"osslRb1a.txt", "out.txt"},
                  ""},
             // The kept bytes do not fit: the run fails once another wrote
             // into the results file it made.
             Case{"k.bin",
                  "ulimit -f 1",
                  "--calls 2 --bytes 16 --keep k.bin --samples s.csv",
                  "echo another >>osslRb1a.txt",
                  "1",
                  {"k.bin", "osslRb1a.txt", "out.txt"},
                  "another\n"},
         }) {
        clear_here();
        const std::string kept(500, 'k');
        write_file("k.bin", kept);
        const auto outcome = while_waiting_for(c.held, c.within, c.args, c.meanwhile);
        ASSERT_FALSE(lines_of(outcome.out).empty());
        EXPECT_EQ(lines_of(outcome.out).back(), c.status) << outcome.out << read_file("out.txt");
        std::set<std::string> left = c.left;
        left.insert("k.bin");
        EXPECT_EQ(files_here(), left) << c.args;
        EXPECT_EQ(read_file("k.bin"), kept);
        if (*c.results == '\0') {
            EXPECT_EQ(lines_of(read_file("osslRb1a.txt")).size(), 5U) << c.args;
        } else {
            EXPECT_EQ(read_file("osslRb1a.txt"), c.results);
        }
    }
}

} // namespace
