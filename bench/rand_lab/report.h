// What rand_lab says. Data lines on standard output, "KIND KEY=VALUE ...",
// for the lab to read (rnglab/randlab.py, docs/program.md lists the kinds
// and keys); anything else there is a message, one line, for people. A bad
// option, a source not built here or one that cannot run here is one line on
// standard error.
#ifndef RAND_LAB_REPORT_H
#define RAND_LAB_REPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

struct Worker;
struct Section;

// One line on standard error, "rand_lab: " and what printf makes of format.
// Returns false, for the parser to return.
template <typename... Args>
bool usage_error(const char *format, Args... args)
{
    fputs("rand_lab: ", stderr);
    fprintf(stderr, format, args...); // NOLINT(cert-err33-c): nowhere else to say it
    fputc('\n', stderr);
    return false;
}

// A data line, built key by key and printed whole. A value with a blank, a
// quote or a backslash in it, or none at all, is quoted, with \" and \\ its
// only escapes.
class DataLine {
public:
    explicit DataLine(const char *kind) : line_(kind) {}

    DataLine &text(const char *key, const std::string &value);
    // Integers in decimal.
    template <typename Integer>
    DataLine &number(const char *key, Integer value)
    {
        static_assert(std::is_integral_v<Integer>, "a whole number");
        return text(key, std::to_string(value));
    }
    // Numbers with a fraction, printed with that many digits after the point.
    DataLine &fixed(const char *key, double value, int digits);

    void print() const;
    // The line as printed, without its line end, for a file.
    const std::string &str() const { return line_; }

private:
    std::string line_;
};

// Each thread's failed calls and loop, counted from the start of the
// parallel section, with --batch its disturbed batches, and the rate of all
// of them together, each thread's first call (or batch) left out: the lines
// "failed", "thread", "batches" and "rate" of process ("parent", or "child"
// in a fork child). Returns the number of
// failed calls (with --batch, of batches with a failed call).
size_t report_threads(const std::vector<Worker> &workers, const char *process, long bytes,
                      const Section &section);

// "source": a source's name and the version it reports.
void report_source(const char *name, const std::string &version);

#endif
