#include "outputs.h"

#include "report.h"
#include "results_file.h"
#include "run_constants.h"
#include "system.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <system_error>

namespace {

constexpr const char *kSamplesHeader = "thread,call,ticks\n";
// Longer than any "thread,call,ticks" line.
constexpr size_t kLongestLine = 64;
// Past this many counts, appending them takes long enough to say so.
constexpr size_t kCountsToMention = 1048576;

// Unbuffered, so that nothing of a failed write stays behind in a buffer.
bool open_beside(FILE *&fp, const std::string &name, const char *mode)
{
    fp = fopen(name.c_str(), mode);
    if (fp == nullptr) {
        report_error("open", name.c_str());
        return false;
    }
    setvbuf(fp, nullptr, _IONBF, 0);
    return true;
}

// Two names for one file would have this process wait for its own lock.
bool files_apart(const Run &run)
{
    const Options &options = run.options;
    std::error_code ignored;
    for (const std::string *name : {&options.samplesFile, &options.keepFile}) {
        if (!name->empty() && std::filesystem::equivalent(*name, kResultsFile, ignored)) {
            return usage_error("%s names the results file \"%s\"",
                               name == &options.keepFile ? "--keep" : "--samples", kResultsFile);
        }
    }
    if (run.samplesFile != nullptr && run.keepFile != nullptr &&
        std::filesystem::equivalent(options.samplesFile, options.keepFile, ignored)) {
        return usage_error("%s", "--samples and --keep name the same file");
    }
    return true;
}

// "thread,call,ticks" for every call, threads numbered on from firstThread
// and calls from 0, in call order: written before the record sorts them.
// Lines are formatted into buffer and written as it fills.
bool write_samples(FILE *fp, const std::vector<Worker> &workers, size_t firstThread,
                   std::vector<char> &buffer)
{
    size_t used = 0;
    const auto number = [&](uint64_t value, char after) {
        const std::to_chars_result put =
            std::to_chars(buffer.data() + used, buffer.data() + buffer.size(), value);
        used = static_cast<size_t>(put.ptr - buffer.data());
        buffer[used++] = after;
    };
    for (size_t k = 0; k < workers.size(); k++) {
        const std::vector<uint64_t> &time = workers[k].time;
        for (size_t i = 0; i < time.size(); i++) {
            if (buffer.size() - used < kLongestLine) {
                if (fwrite(buffer.data(), 1, used, fp) != used) {
                    return false;
                }
                used = 0;
            }
            number(firstThread + k, ',');
            number(i, ',');
            number(time[i], '\n');
        }
    }
    return fwrite(buffer.data(), 1, used, fp) == used;
}

// The samples of the parent's threads and then the child's, after the
// header when the file is new.
bool append_samples(Run &run, const HeldFile &held)
{
    const size_t counts = run.samples.size() * run.workers[0].time.size();
    if (counts > kCountsToMention) {
        fprintf(stderr, "rand_lab: appending %zu counts to \"%s\"\n", counts, held.name);
    }
    return (held.length != 0 || fputs(kSamplesHeader, held.fp) >= 0) &&
           write_samples(held.fp, run.workers, 1, run.lines) &&
           write_samples(held.fp, run.child, run.workers.size() + 1, run.lines) && flushed(held.fp);
}

// Thread by thread, each thread's calls in order.
bool append_kept(const Run &run, const HeldFile &held)
{
    return std::all_of(run.workers.begin(), run.workers.end(),
                       [&held](const Worker &w) {
                           return fwrite(w.block.data(), 1, w.block.size(), held.fp) ==
                                  w.block.size();
                       }) &&
           flushed(held.fp);
}

} // namespace

int open_outputs(Run &run)
{
    const Options &options = run.options;
    run.timeFile = open_results();
    if (run.timeFile == nullptr) {
        return 1;
    }
    if ((!options.samplesFile.empty() &&
         !open_beside(run.samplesFile, options.samplesFile, "a+")) ||
        (!options.keepFile.empty() && !open_beside(run.keepFile, options.keepFile, "ab+"))) {
        return 1;
    }
    return files_apart(run) ? -1 : 2;
}

bool append_outputs(Run &run)
{
    for (std::vector<Worker> *workers : {&run.workers, &run.child}) {
        for (Worker &w : *workers) {
            run.names.push_back(workers == &run.workers ? run.label.c_str()
                                                        : run.childLabel.c_str());
            run.samples.push_back(w.time.data());
            run.seconds.push_back(seconds_between(w.t1, w.t2, run.section.frequency));
        }
    }
    const HeldSignals held;
    HeldFile samples;
    HeldFile kept;
    bool appended = true;
    if (run.samplesFile != nullptr) {
        samples = hold_file(run.samplesFile, run.options.samplesFile.c_str());
        appended = append_samples(run, samples);
        if (!appended) {
            report_error("write", samples.name);
        }
    }
    if (appended && run.keepFile != nullptr) {
        kept = hold_file(run.keepFile, run.options.keepFile.c_str());
        appended = append_kept(run, kept);
        if (!appended) {
            report_error("write", kept.name);
        }
    }
    // A record that cannot be appended is reported when the results file is
    // closed.
    if (appended) {
        appended =
            append_records(run.timeFile, run.names.data(), run.samples.data(), run.samples.size(),
                           run.workers[0].time.size(), run.seconds.data());
    }
    if (!appended) {
        cut_back(kept);
        cut_back(samples);
    }
    release_file(kept);
    release_file(samples);
    return appended;
}

bool close_outputs(Run &run)
{
    for (FILE **fp : {&run.keepFile, &run.samplesFile}) {
        if (*fp != nullptr) {
            fclose(*fp);
            *fp = nullptr;
        }
    }
    if (run.timeFile == nullptr) {
        return false;
    }
    const bool recorded = close_results(run.timeFile);
    run.timeFile = nullptr;
    return recorded;
}
