#include "outputs.h"

#include "options.h"
#include "platform.h"
#include "report.h"
#include "results_file.h"
#include "run.h"
#include "run_constants.h"
#include "subject.h"
#include "system.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr const char *kSamplesHeader = "thread,call,ticks\n";
// Longer than any "thread,call,ticks" line.
constexpr size_t kLongestLine = 64;
// Past this many counts, appending them takes long enough to say so, to a
// person at a terminal only: a runner that reads standard error with
// standard output quotes the first message line, which must be the failure
// when there is one.
constexpr size_t kCountsToMention = 1048576;

// Unbuffered, so that nothing of a failed write stays behind in a buffer.
bool open_beside(FILE *&fp, const std::string &name, bool binary)
{
    fp = open_output(name.c_str(), binary);
    if (fp == nullptr) {
        return false;
    }
    setvbuf(fp, nullptr, _IONBF, 0);
    return true;
}

namespace fs = std::filesystem;

// Where name leads: made absolute, its symbolic links followed as far as
// they go, a link to a file not made yet included, and its folders' links
// resolved.
fs::path destination(const std::string &name)
{
    std::error_code error;
    fs::path path = fs::absolute(name, error);
    // As many links as the kernel follows before it gives up (ELOOP).
    for (int links = 0; links < 40 && fs::is_symlink(fs::symlink_status(path, error)); links++) {
        const fs::path target = fs::read_symlink(path, error);
        if (error) {
            break;
        }
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    const fs::path resolved = fs::weakly_canonical(path, error);
    return error ? path.lexically_normal() : resolved;
}

// Whether two names are one file, before either is opened: a second name
// for one file would have this process wait for its own lock.
bool same_file(const std::string &a, const std::string &b)
{
    std::error_code ignored;
    return fs::equivalent(a, b, ignored) || destination(a) == destination(b);
}

// Every file the run appends to, named by what names it: all of them apart,
// checked before any is opened, so that a run refused leaves no file made.
bool files_apart(const Run &run)
{
    const Options &options = run.options;
    struct Named {
        const char *what;
        const std::string *name;
    };
    const std::string results = kResultsFile;
    const std::array<Named, 4> named{{{"the results file", &results},
                                      {"--samples", &options.samplesFile},
                                      {"--keep", &options.keepFile},
                                      {"--keep's layout", &run.layoutName}}};
    for (size_t i = 0; i < named.size(); i++) {
        for (size_t j = i + 1; j < named.size(); j++) {
            if (!named[i].name->empty() && !named[j].name->empty() &&
                same_file(*named[i].name, *named[j].name)) {
                return i == 0 ? usage_error("%s names the results file \"%s\"", named[j].what,
                                            kResultsFile)
                              : usage_error("%s and %s name the same file", named[i].what,
                                            named[j].what);
            }
        }
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
    if (counts > kCountsToMention && stderr_is_terminal()) {
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

// The kept bytes' layout: where this run's bytes start in the kept file
// (its length when held) and how they were asked for, so that a reader can
// tell each call's bytes: "keep offset=0 bytes=100000 threads=2 calls=20
// ...", a key-value line as on standard output.
bool append_layout(const Run &run, int64_t offset, const HeldFile &held)
{
    const Options &options = run.options;
    const std::string line = DataLine("keep")
                                 .number("offset", offset)
                                 .number("bytes", options.bytes)
                                 .number("threads", options.threads)
                                 .number("calls", options.calls)
                                 .text("subject", subject_name(options.subject))
                                 .text("source", options.source)
                                 .str();
    return fprintf(held.fp, "%s\n", line.c_str()) > 0 && flushed(held.fp);
}

// Every file but the results file, held and appended in one order (samples,
// kept bytes, their layout), so that two runs never wait for each other.
// Returns whether all landed; each failure said in one line.
bool append_beside(Run &run, HeldFile &samples, HeldFile &kept, HeldFile &layout)
{
    if (run.samplesFile != nullptr) {
        samples = hold_file(run.samplesFile, run.options.samplesFile.c_str());
        if (samples.lost || !append_samples(run, samples)) {
            report_error("write", samples.name);
            return false;
        }
    }
    if (run.keepFile == nullptr) {
        return true;
    }
    kept = hold_file(run.keepFile, run.options.keepFile.c_str());
    if (kept.lost) {
        report_error("write", kept.name);
        return false;
    }
    layout = hold_file(run.layoutFile, run.layoutName.c_str());
    if (layout.lost) {
        report_error("write", layout.name);
        return false;
    }
    if (kept.length < 0 || layout.length < 0) {
        // Without the kept file's length the layout cannot say where the
        // bytes start, and without the layout's it could not be cut back.
        report_error("tell the length of", kept.length < 0 ? kept.name : layout.name);
        return false;
    }
    if (!append_kept(run, kept)) {
        report_error("write", kept.name);
        return false;
    }
    if (!append_layout(run, kept.length, layout)) {
        report_error("write", layout.name);
        return false;
    }
    return true;
}

// The appends, with signals held by the caller.
bool append_held(Run &run)
{
    HeldFile samples;
    HeldFile kept;
    HeldFile layout;
    bool appended = append_beside(run, samples, kept, layout);
    // A record that cannot be appended is reported when the results file is
    // closed.
    if (appended) {
        appended =
            append_records(run.timeFile, run.names.data(), run.samples.data(), run.samples.size(),
                           run.workers[0].time.size(), run.seconds.data());
    }
    if (!appended) {
        cut_back(layout);
        cut_back(kept);
        cut_back(samples);
    }
    release_file(layout);
    release_file(kept);
    release_file(samples);
    return appended;
}

} // namespace

int open_outputs(Run &run)
{
    const Options &options = run.options;
    run.layoutName = options.keepFile.empty() ? "" : options.keepFile + kLayoutSuffix;
    if (!files_apart(run)) {
        return 2;
    }
    // What is not a regular file is refused before any file is opened, so
    // that the refusal makes none.
    for (const char *name : {kResultsFile, options.samplesFile.c_str(), options.keepFile.c_str(),
                             run.layoutName.c_str()}) {
        if (*name != '\0' && !may_open(name)) {
            return 1;
        }
    }
    run.timeFile = open_results();
    if (run.timeFile == nullptr) {
        return 1;
    }
    if ((!options.samplesFile.empty() &&
         !open_beside(run.samplesFile, options.samplesFile, false)) ||
        (!options.keepFile.empty() && (!open_beside(run.keepFile, options.keepFile, true) ||
                                       !open_beside(run.layoutFile, run.layoutName, false)))) {
        return 1;
    }
    // Again, for names that only the open files show to be one (on a file
    // system blind to case).
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
    const bool appended = append_held(run);
    // A signal that came meanwhile ends the process as soon as it is let
    // go, and with it whatever standard output still buffers (all of it,
    // when that is a file): what was said so far goes out first.
    fflush(stdout);
    return appended;
}

bool close_outputs(Run &run, bool appended)
{
    for (FILE **fp : {&run.layoutFile, &run.keepFile, &run.samplesFile}) {
        if (*fp != nullptr) {
            fclose(*fp);
            *fp = nullptr;
        }
    }
    bool recorded = false;
    if (run.timeFile != nullptr) {
        recorded = close_results(run.timeFile);
        run.timeFile = nullptr;
    }
    if (!recorded || !appended) {
        remove_made_files();
    }
    return recorded;
}
