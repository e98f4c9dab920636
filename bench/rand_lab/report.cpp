#include "report.h"

#include "measure.h"
#include "platform.h"
#include "threads.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

// The counter's readings over which the threads made their calls after
// their first: the union of each thread's span from the end of its first
// count to the end of its last, so that a thread still in its first call
// (or not yet on a processor) adds no time in which no rated call ran.
int64_t rated_span(const std::vector<Worker> &workers)
{
    std::vector<std::pair<int64_t, int64_t>> spans;
    for (const Worker &w : workers) {
        if (w.t2.QuadPart > w.firstEnd.QuadPart) {
            spans.emplace_back(w.firstEnd.QuadPart, w.t2.QuadPart);
        }
    }
    std::sort(spans.begin(), spans.end());
    int64_t span = 0;
    int64_t covered = INT64_MIN;
    for (const auto &[from, to] : spans) {
        const int64_t start = std::max(from, covered);
        span += to > start ? to - start : 0;
        covered = std::max(covered, to);
    }
    return span;
}

bool needs_quotes(const std::string &value)
{
    return value.empty() || value.find_first_of(" \t\"\\'") != std::string::npos;
}

} // namespace

DataLine &DataLine::text(const char *key, const std::string &value)
{
    line_ += ' ';
    line_ += key;
    line_ += '=';
    if (!needs_quotes(value)) {
        line_ += value;
        return *this;
    }
    line_ += '"';
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            line_ += '\\';
        }
        // A value is one line: a line end in it would start another.
        line_ += c == '\n' || c == '\r' ? ' ' : c;
    }
    line_ += '"';
    return *this;
}

DataLine &DataLine::fixed(const char *key, double value, int digits)
{
    char formatted[64];
    snprintf(formatted, sizeof formatted, "%.*f", digits, value);
    return text(key, formatted);
}

void DataLine::print() const
{
    printf("%s\n", line_.c_str());
}

size_t report_threads(const std::vector<Worker> &workers, const char *process, long bytes,
                      const Section &section)
{
    size_t failedCalls = 0;
    for (size_t k = 0; k < workers.size(); k++) {
        const Worker &w = workers[k];
        for (size_t i = 0; i < w.time.size(); i++) {
            if ((w.time[i] & kFailed) != 0) {
                failedCalls++;
                DataLine("failed")
                    .text("process", process)
                    .number("thread", k + 1)
                    .number("call", i)
                    .print();
            }
        }
        DataLine("thread")
            .text("process", process)
            .number("n", k + 1)
            .fixed("start", seconds_between(section.start, w.t1, section.frequency), 6)
            .fixed("end", seconds_between(section.start, w.t2, section.frequency), 6)
            .number("cpu_first", w.placement.first)
            .number("cpu_last", w.placement.last)
            .number("away", w.placement.away)
            .print();
        if (w.batch > 1) {
            DataLine("batches")
                .text("process", process)
                .number("n", k + 1)
                .number("disturbed", w.disturbances.disturbed)
                .number("remeasured", w.disturbances.remeasured)
                .number("marked", w.disturbances.marked)
                .print();
        }
    }
    const double wall = seconds_between(section.start, section.end, section.frequency);
    size_t calls = 0;
    size_t rated = 0;
    for (const Worker &w : workers) {
        calls += w.calls_made();
        rated += w.calls_made() - w.firstCalls;
    }
    const double ratedSeconds =
        static_cast<double>(rated_span(workers)) / static_cast<double>(section.frequency.QuadPart);
    DataLine rate("rate");
    rate.text("process", process)
        .number("calls", calls)
        .fixed("seconds", wall, 6)
        .number("rated", rated)
        .fixed("rated_seconds", ratedSeconds, 6);
    // No call after a thread's first, or no time to take them in: no rate.
    if (rated != 0 && ratedSeconds > 0) {
        const auto all = static_cast<double>(rated);
        rate.fixed("calls_per_s", all / ratedSeconds, 0)
            .fixed("bytes_per_s", all * static_cast<double>(bytes) / ratedSeconds, 0);
    }
    rate.print();
    return failedCalls;
}

void report_source(const char *name, const std::string &version)
{
    DataLine("source").text("name", name).text("version", version).print();
}
