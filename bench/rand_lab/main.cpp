// The lab's driver: the program's measurement for the regimes the program
// leaves out. Each of T threads makes N calls of one size, each call timed
// with the program's fenced counter reads exactly as the program times its
// own, and each thread's sample becomes one record appended to
// "osslRb1a.txt" the way the program appends its record. What is measured
// is the subject this executable links (subject.h); the options are in
// options.cpp, rand_lab --help lists them.
//
// Standard output is key-value lines for the lab to read (report.h), and a
// message line for people wherever something goes wrong. A bad option gets
// one line on standard error and status 2, and nothing is measured; so does
// a processor that cannot run the counter's instructions, with status 1.
#include "counter_probe.h"
#include "fork_check.h"
#include "options.h"
#include "outputs.h"
#include "report.h"
#include "results_file.h"
#include "run.h"
#include "subject.h"
#include "threads.h"

#include "median.h"
#include "platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

namespace {

// Every buffer of the run, before any file is opened or any call made;
// throws std::bad_alloc when memory runs out. Returns "" or what the
// subject could not set up.
std::string allocate(Run &run)
{
    const Options &options = run.options;
    const auto threads = static_cast<size_t>(options.threads);
    const auto calls = static_cast<size_t>(options.calls);
    const auto bytes = static_cast<size_t>(options.bytes);
    run.workers.resize(threads);
    for (Worker &w : run.workers) {
        w.time.assign(calls, 0);
        w.batch = static_cast<size_t>(options.batch);
        if (options.keepFile.empty()) {
            // Room for what a block cipher may hold back, though CTR holds
            // none.
            w.block.assign(bytes + 32, 0);
        } else {
            w.block.assign(calls * bytes, 0);
            w.stride = bytes;
        }
    }
    if (options.fork) {
        run.child.resize(threads);
        for (Worker &w : run.child) {
            w.time.assign(calls, 0);
        }
    }
    const size_t records = threads * (options.fork ? 2 : 1);
    run.names.reserve(records);
    run.samples.reserve(records);
    run.seconds.reserve(records);
    if (!options.samplesFile.empty()) {
        // Lines are formatted into this and written as it fills.
        run.lines.assign(65536, 0);
    }
    for (Worker &w : run.workers) {
        std::string problem = subject_prepare(w, options);
        if (!problem.empty()) {
            return problem;
        }
    }
    return options.fork ? fork_prepare(run) : "";
}

const char *fork_word(ForkThread kind)
{
    switch (kind) {
    case ForkThread::Differ:
        return "differ";
    case ForkThread::Repeats:
        return "repeats";
    case ForkThread::Hung:
        return "hung";
    case ForkThread::Failed:
        return "failed";
    }
    return "";
}

// The fork's finding, for people (a line for each there is) and as data.
// Returns the status it gives: a repeat or a hang is a finding about the
// generator, told apart from an error; a hang's first, as it leaves no
// records.
int report_fork(const ForkOutcome &outcome, Run &run)
{
    const size_t threads = outcome.threads.size();
    const size_t repeated = outcome.count(ForkThread::Repeats);
    const size_t hung = outcome.count(ForkThread::Hung);
    if (repeated != 0) {
        printf("fork: REPEATS in the child (the application must reseed)\n");
    }
    if (hung != 0) {
        printf("fork: HANGS in the child: %zu of %zu threads' first requests did not return "
               "within %d s, so the child was killed and nothing appended\n",
               hung, threads, kForkLimitSeconds);
    }
    std::string perThread;
    std::string repeatsOf;
    for (size_t k = 0; k < threads; k++) {
        perThread += std::string(k == 0 ? "" : ",") + fork_word(outcome.threads[k]);
        repeatsOf += (k == 0 ? "" : ",") + std::to_string(outcome.repeatsOf[k]);
    }
    // The child's first call against what the parent's calls took.
    std::vector<uint64_t> &time = run.workers[0].time;
    std::sort(time.begin(), time.end());
    const char *result = "differ";
    if (hung != 0) {
        result = "hangs";
    }
    if (repeated != 0) {
        result = "repeats";
    }
    DataLine("fork")
        .text("result", result)
        .number("threads", threads)
        .number("repeated", repeated)
        .number("hung", hung)
        .text("per_thread", perThread)
        .text("repeats_of", repeatsOf)
        .number("child_first_ticks", outcome.firstTicks[0])
        .number("parent_median_ticks", sorted_median(time.data(), time.size()))
        .number("pause_call", fork_pause_call(run.options.calls))
        .print();
    if (hung != 0) {
        return kStatusForkHangs;
    }
    return repeated != 0 ? kStatusForkRepeats : 0;
}

// The parent's threads, the fork child's, and the appends. Returns the
// status; appended is whether the records landed (the results file is yet
// to be closed).
int measure_and_append(Run &run, bool &appended)
{
    const Options &options = run.options;
    if (!run_threads(run.workers, options, run.section)) {
        return 1;
    }
    size_t failedCalls = report_threads(run.workers, "parent", options.bytes, run.section);
    subject_report();
    ForkOutcome outcome;
    if (options.fork) {
        if (!fork_collect(run, outcome)) {
            return 1;
        }
        if (outcome.count(ForkThread::Hung) != 0) {
            // The child's samples never came: no record of either process.
            return report_fork(outcome, run);
        }
        failedCalls += report_threads(run.child, "child", options.bytes, run.childSection);
    }
    // A record that counts failed calls would stand in the series as a
    // measurement of the generator; the program appends one, the lab does
    // not. Appended after the parallel section, so that no thread's writing
    // falls into another's loop. A generator that repeats across fork is
    // measured all the same: its records are appended with the finding.
    if (failedCalls != 0 && options.batch > 1) {
        printf("No record was appended because %zu batch%s had a failed call\n", failedCalls,
               failedCalls == 1 ? "" : "es");
    } else if (failedCalls != 0) {
        printf("No record was appended because %zu call%s failed\n", failedCalls,
               failedCalls == 1 ? "" : "s");
    } else {
        appended = append_outputs(run);
    }
    const int found = options.fork ? report_fork(outcome, run) : 0;
    return appended ? found : 1;
}

// The view in a label, so that series of different views never mix: nothing
// for the program's own, then " lfence" and " batch K".
std::string view_of(const Options &options)
{
    return std::string(options.fence == Fence::Lfence ? " lfence" : "") +
           (options.batch > 1 ? " batch " + std::to_string(options.batch) : "");
}

int run_lab(const Options &options)
{
    Run run(options);
    const std::string stem = std::string(subject_name(options.subject)) + " " +
                             std::to_string(options.bytes) + " B " +
                             std::to_string(options.threads) +
                             (options.threads == 1 ? " thread" : " threads") + view_of(options);
    run.label = stem + ":";
    run.childLabel = stem + " fork child:";
    DataLine line("run");
    line.text("label", run.label);
    if (options.fork) {
        line.text("child_label", run.childLabel);
    }
    line.text("subject", subject_name(options.subject))
        .text("source", subject_source())
        .number("bytes", options.bytes)
        .number("threads", options.threads)
        .number("calls", options.calls)
        .text("fence", options.fence == Fence::Lfence ? "lfence" : "cpuid")
        .number("batch", options.batch)
        .print();

    int status = 1;
    bool appended = false;
    try {
        const std::string problem = allocate(run);
        if (!problem.empty()) {
            printf("%s\n", problem.c_str());
        } else {
            status = open_outputs(run);
            status = status < 0 ? measure_and_append(run, appended) : status;
        }
    } catch (const std::bad_alloc &) {
        // Every buffer is allocated before any file is opened or any thread
        // started, so there is nothing to undo.
        printf("Cannot allocate the buffers for %ld thread%s x %ld calls of %ld byte%s\n",
               options.threads, options.threads == 1 ? "" : "s", options.calls, options.bytes,
               options.bytes == 1 ? "" : "s");
    }
    appended = close_outputs(run, appended) && appended;
    DataLine("records")
        .text("appended", appended ? "yes" : "no")
        .number("count", appended ? run.samples.size() : 0)
        .print();
    // The fork's finding stands with its records landed; a hang appends none.
    if (!appended && (status == 0 || status == kStatusForkRepeats)) {
        return 1;
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    guard_process_files();
    Options options;
    if (!parse_options(argc, argv, options)) {
        return 2;
    }
    if (options.help || options.limits) {
        options.help ? print_help() : print_limits();
        return finish_standard_output(0);
    }
    const int started = subject_start(options, argc, argv);
    if (started >= 0) {
        return started;
    }
    if (!counter_runs_here(options.fence == Fence::Lfence)) {
        return finish_standard_output(1);
    }
    return finish_standard_output(run_lab(options));
}
