#include "options.h"

#include "fork_check.h"
#include "known_sources.h"
#include "report.h"
#include "run_constants.h"
#include "subject.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct OptionRow;
// Takes the option's value (empty for a flag) into options, or says why not.
using Apply = bool (*)(const OptionRow &, Options &, const std::string &);

struct OptionRow {
    const char *name;
    const char *value; // what it takes, as --help shows it; nullptr for a flag
    const char *help;
    Apply apply;
    bool Options::*flag;
    long Options::*count;
    long low;
    long high;
    const char *why; // said with a count out of range
    std::string Options::*text;
};

bool set_flag(const OptionRow &row, Options &options, const std::string & /*value*/)
{
    options.*row.flag = true;
    return true;
}

// A whole decimal number from low to high, written without sign or spaces.
bool set_count(const OptionRow &row, Options &options, const std::string &value)
{
    if (!value.empty() && value[0] >= '0' && value[0] <= '9') {
        char *end = nullptr;
        errno = 0;
        const long parsed = strtol(value.c_str(), &end, 10);
        if (errno == 0 && *end == '\0' && parsed >= row.low && parsed <= row.high) {
            options.*row.count = parsed;
            return true;
        }
    }
    return usage_error("%s needs a whole number from %ld to %ld%s, not \"%s\"", row.name, row.low,
                       row.high, row.why, value.c_str());
}

bool set_file(const OptionRow &row, Options &options, const std::string &value)
{
    if (value.empty()) {
        return usage_error("%s needs a file name", row.name);
    }
    options.*row.text = value;
    return true;
}

bool set_source(const OptionRow & /*row*/, Options &options, const std::string &value)
{
    if (known_source(value.c_str()) == nullptr) {
        std::string names;
        for (const KnownSource &known : kSources) {
            names += std::string(names.empty() ? "" : ", ") + known.name;
        }
        return usage_error("unknown source \"%s\" (%s)", value.c_str(), names.c_str());
    }
    options.source = value;
    return true;
}

bool set_generator(const OptionRow & /*row*/, Options &options, const std::string &value)
{
    if (value != "public" && value != "private") {
        return usage_error("--generator is public or private, not \"%s\"", value.c_str());
    }
    options.subject = value == "public" ? Subject::Public : Subject::Private;
    options.generatorGiven = true;
    return true;
}

bool set_fence(const OptionRow & /*row*/, Options &options, const std::string &value)
{
    if (value != "cpuid" && value != "lfence") {
        return usage_error("--fence is cpuid or lfence, not \"%s\"", value.c_str());
    }
    options.fence = value == "cpuid" ? Fence::Cpuid : Fence::Lfence;
    return true;
}

constexpr OptionRow flag(const char *name, const char *help, bool Options::*field)
{
    return {name, nullptr, help, set_flag, field, nullptr, 0, 0, "", nullptr};
}

constexpr OptionRow count(const char *name, const char *value, const char *help,
                          long Options::*field, long low, long high, const char *why = "")
{
    return {name, value, help, set_count, nullptr, field, low, high, why, nullptr};
}

constexpr OptionRow text(const char *name, const char *value, const char *help, Apply apply,
                         std::string Options::*field = nullptr)
{
    return {name, value, help, apply, nullptr, nullptr, 0, 0, "", field};
}

constexpr std::array<OptionRow, 14> kOptions{{
    text("--source", "NAME", "measure that generator instead of OpenSSL's (--limits lists them)",
         set_source),
    count("--bytes", "N", "bytes each call asks for", &Options::bytes, 1, kMaxBytes),
    count("--threads", "T", "threads calling at once, a record each", &Options::threads, 1,
          kMaxThreads),
    count("--calls", "N", "calls each thread makes", &Options::calls, kMinCalls, kMaxCalls,
          " (a median takes at least two calls)"),
    text("--generator", "public|private", "OpenSSL's RAND_bytes or RAND_priv_bytes", set_generator),
    flag("--cipher", "time AES-256-CTR over as many bytes instead: the CTR-DRBG's floor",
         &Options::cipher),
    text("--fence", "cpuid|lfence", "counter reads fenced as the program's (cpuid) or with LFENCE",
         set_fence),
    count("--batch", "K", "time K calls at a time, each count their mean (1: each call alone)",
          &Options::batch, 1, kMaxBatch),
    text("--samples", "FILE", "append every call's count to FILE (thread,call,ticks)", set_file,
         &Options::samplesFile),
    flag("--fork", "fork halfway, the child making the same calls; compare its first bytes",
         &Options::fork),
    text("--keep", "FILE", "append every call's bytes to FILE", set_file, &Options::keepFile),
    flag("--limits", "print every limit and every known source, and measure nothing",
         &Options::limits),
    flag("--version", "print the measured library's version, and measure nothing",
         &Options::version),
    flag("--help", "print this help, and measure nothing", &Options::help),
}};

// "--source NAME, --bytes N, ..." for the line that says an option is
// unknown.
std::string option_list()
{
    std::string list;
    for (const OptionRow &row : kOptions) {
        list += std::string(list.empty() ? "" : ", ") + row.name;
        list += row.value != nullptr ? std::string(" ") + row.value : "";
    }
    return list;
}

// The checks between options, once all are read.
bool check_options(const Options &options)
{
    const bool cipher = options.subject == Subject::Cipher;
    // The private generator and the cipher are OpenSSL's.
    if (options.source != "openssl" && (cipher || options.generatorGiven)) {
        return usage_error("%s is for --source openssl, not %s",
                           cipher ? "--cipher" : "--generator", options.source.c_str());
    }
    if (cipher && options.generatorGiven) {
        return usage_error("%s",
                           "--cipher measures the cipher, not a generator: give one of the two");
    }
    if (cipher && options.fork) {
        return usage_error("%s", "--fork compares a generator's bytes: not with --cipher");
    }
    if (cipher && !options.keepFile.empty()) {
        return usage_error("%s", "--keep keeps a generator's bytes: not with --cipher");
    }
    // A batch's count is a mean: no call of it has a count of its own.
    if (options.batch > 1 && options.fork) {
        return usage_error("%s", "--fork times the child's first call alone: not with --batch");
    }
    if (options.batch > 1 && !options.keepFile.empty()) {
        return usage_error("%s", "--keep keeps each count's one call: not with --batch");
    }
    if (options.fork && !options.keepFile.empty()) {
        return usage_error("%s", "--keep keeps one process's bytes: not with --fork");
    }
    if (options.fork && fork_refusal() != nullptr) {
        return usage_error("%s", fork_refusal());
    }
    if (options.fork && bytes_after_fork(options.calls, options.bytes) < kComparedBytes) {
        return usage_error("--fork compares the child's first %zu bytes: half of --calls (rounded "
                           "up) times --bytes is %zu here",
                           kComparedBytes, bytes_after_fork(options.calls, options.bytes));
    }
    // The parent holds the child's counts too. In 64 bits: a long has 32 on
    // Windows, where the largest options' products would wrap and pass.
    const int64_t processes = options.fork ? 2 : 1;
    if (processes * options.threads * options.calls > kMaxSamples) {
        return usage_error("--threads times --calls (twice that with --fork) is at most %ld",
                           kMaxSamples);
    }
    if (!options.keepFile.empty() &&
        int64_t{options.threads} * options.calls * options.bytes > kMaxKept) {
        return usage_error("--keep holds every byte in memory: --threads times --calls times "
                           "--bytes is at most %ld",
                           kMaxKept);
    }
    if (!options.samplesFile.empty() && options.samplesFile == options.keepFile) {
        return usage_error("%s", "--samples and --keep name the same file");
    }
    return true;
}

} // namespace

bool parse_options(int argc, char **argv, Options &options)
{
    options.source = subject_source();
    std::array<bool, kOptions.size()> given{};
    for (int i = 1; i < argc; i++) {
        // Both "--bytes 32" and "--bytes=32".
        std::string option = argv[i];
        std::string value;
        const size_t equals = option.find('=');
        const bool inlineValue = option.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = option.substr(equals + 1);
            option.erase(equals);
        }
        size_t k = 0;
        while (k < kOptions.size() && option != kOptions[k].name) {
            k++;
        }
        if (k == kOptions.size()) {
            return usage_error("unknown option %s (%s)", option.c_str(), option_list().c_str());
        }
        const OptionRow &row = kOptions[k];
        if (given[k]) {
            return usage_error("%s is given more than once", row.name);
        }
        given[k] = true;
        if (row.value == nullptr && inlineValue) {
            return usage_error("%s takes no value", row.name);
        }
        if (row.value != nullptr && !inlineValue) {
            if (i + 1 >= argc) {
                return usage_error("%s needs a value", row.name);
            }
            value = argv[++i];
        }
        if (!row.apply(row, options, value)) {
            return false;
        }
    }
    if (options.cipher) {
        options.subject = Subject::Cipher;
    }
    return check_options(options);
}

void print_help()
{
    const Options defaults;
    printf("usage: rand_lab [OPTION]...\n"
           "Times each call of a generator as the program times RAND_bytes, on one or more\n"
           "threads, and appends a record per thread to \"%s\".\n\n",
           kResultsFile);
    for (const OptionRow &row : kOptions) {
        const std::string shown = std::string(row.name) + (row.value != nullptr ? " " : "") +
                                  (row.value != nullptr ? row.value : "");
        printf("  %-26s %s", shown.c_str(), row.help);
        if (row.count != nullptr) {
            printf(", %ld to %ld (default %ld)", row.low, row.high, defaults.*row.count);
        }
        printf("\n");
    }
}

void print_limits()
{
    for (const OptionRow &row : kOptions) {
        if (row.count != nullptr) {
            DataLine("limit")
                .text("name", row.name + 2)
                .number("low", row.low)
                .number("high", row.high)
                .print();
        }
    }
    DataLine("limit").text("name", "samples").number("high", kMaxSamples).print();
    DataLine("limit").text("name", "keep").number("high", kMaxKept).print();
    for (const KnownSource &known : kSources) {
        DataLine line("source");
        line.text("name", known.name);
        if (known.package != nullptr) {
            line.text("package", known.package);
        }
        if (known.needs != nullptr) {
            line.text("needs", known.needs);
        }
        line.print();
    }
}
