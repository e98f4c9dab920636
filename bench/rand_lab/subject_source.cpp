// A source's subject, in rand_lab-NAME: the generator of the one
// bench/sources file linked, measured through its source_fill. Two libraries
// that define RAND_bytes cannot share a process, so each source has an
// executable of its own, which rand_lab starts with its own arguments.
#include "subject.h"

#include "built_sources.h"
#include "measure.h"
#include "options.h"
#include "report.h"
#include "results_file.h"
#include "source.h"
#include "threads.h"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

// The thread's generator state, where the fork check can reach it.
struct SubjectState {
    SourceThread *thread = nullptr;
};

void SubjectStateFree::operator()(SubjectState *state) const
{
    delete state; // NOLINT(cppcoreguidelines-owning-memory): the unique_ptr's deleter
}

namespace {

// "rdrand retries 0" as the data line "counter name=rdrand_retries value=0":
// the last word is the value, the words before it its name.
void report_counter(const std::string &counted)
{
    const size_t space = counted.rfind(' ');
    std::string name = space == std::string::npos ? source_name() : counted.substr(0, space);
    for (char &c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        } else if ((c < 'a' || c > 'z') && (c < '0' || c > '9')) {
            c = '_';
        }
    }
    DataLine("counter")
        .text("name", name)
        .text("value", space == std::string::npos ? counted : counted.substr(space + 1))
        .print();
}

} // namespace

const char *subject_source()
{
    return source_name();
}

const char *subject_name(Subject /*subject*/)
{
    return source_name();
}

int subject_start(const Options &options, int /*argc*/, char ** /*argv*/)
{
    if (options.source != source_name()) {
        usage_error("this is the driver of source %s; run rand_lab --source %s", source_name(),
                    options.source.c_str());
        return 2;
    }
    // rand_lab says which sources its configure built; an executable built
    // by another configure (one left behind, or not built since) is stale.
    const char *launcher = std::getenv(kBuiltSourcesVariable); // NOLINT(concurrency-mt-unsafe)
    if (launcher != nullptr && std::strcmp(launcher, kBuiltSourcesText) != 0) {
        usage_error("rand_lab-%s was built by another configure than rand_lab (one that made "
                    "other sources): build again",
                    source_name());
        return 2;
    }
    std::string error;
    if (!source_open(error)) {
        usage_error("source %s cannot run here: %s", source_name(), error.c_str());
        return kStatusCannotRunHere;
    }
    if (options.version) {
        report_source(source_name(), source_version());
        return finish_standard_output(0);
    }
    return -1;
}

std::string subject_prepare(Worker &w, const Options & /*options*/)
{
    w.state.reset(new SubjectState);
    return "";
}

namespace {

void measure_source(Worker &w, SourceThread *state, const Options &options)
{
    const auto size = static_cast<size_t>(options.bytes);
    measure(w, options,
            [state, size](unsigned char *out) { return source_fill(state, out, size); });
}

} // namespace

// The thread's own generator state, made and released in the thread,
// outside its loop.
void subject_thread(Worker &w, const Options &options, StartLine &startLine)
{
    SourceThread *&state = w.state->thread;
    if (!source_thread_open(state, w.openError) && w.openError.empty()) {
        w.openError = "cannot set up the generator";
    }
    if (startLine.arrive_and_wait()) {
        measure_source(w, state, options);
    }
    source_thread_close(state);
    state = nullptr;
}

void subject_child_thread(Worker &child, const Worker &parent, const Options &options,
                          StartLine *startLine)
{
    if (startLine == nullptr || startLine->arrive_and_wait()) {
        measure_source(child, parent.state->thread, options);
    }
}

// What the library calls itself, for the run's provenance, and what the
// source counted, such as the processor's retries: a line each.
void subject_report()
{
    report_source(source_name(), source_version());
    std::istringstream counters(source_counters());
    for (std::string line; std::getline(counters, line);) {
        if (!line.empty()) {
            report_counter(line);
        }
    }
}
