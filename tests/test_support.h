// What the test files share: a fresh working folder per test and whole-file
// reads.
#ifndef OPENSSL_RNG_TEST_SUPPORT_H
#define OPENSSL_RNG_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#else
#include <sys/wait.h>
#endif

namespace test_support {

namespace fs = std::filesystem;

inline fs::path make_temp_dir()
{
    std::random_device seed;
    std::mt19937_64 names(seed());
    for (;;) {
        const fs::path dir =
            fs::temp_directory_path() / ("openssl_rng_test_" + std::to_string(names()));
        if (fs::create_directory(dir)) {
            return dir;
        }
    }
}

inline std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Text-mode read: line ends come back as "\n" whatever the platform stores.
inline std::string read_text(const fs::path &path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const fs::path &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// The names in the current folder.
inline std::set<std::string> files_here()
{
    std::set<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(".")) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// Empties the current folder.
inline void clear_here()
{
    for (const fs::directory_entry &entry : fs::directory_iterator(".")) {
        fs::remove_all(entry.path());
    }
}

inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A line of rand_lab's standard output: a data line, "KIND KEY=VALUE ...",
// whose values may be double-quoted with \" and \\ as their only escapes,
// or else a message line for people (kind empty, fields none).
struct OutputLine {
    std::string kind;
    std::map<std::string, std::string> fields;
    std::string text;

    const std::string &operator[](const std::string &key) const
    {
        static const std::string none;
        const auto found = fields.find(key);
        return found == fields.end() ? none : found->second;
    }
};

// Reads line as data if its first word is one of kinds and every other word
// is KEY=VALUE.
inline OutputLine read_output_line(const std::string &line, const std::vector<std::string> &kinds)
{
    OutputLine read{"", {}, line};
    std::vector<std::string> words(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        const char c = line[i];
        if (quoted && c == '\\' && i + 1 < line.size()) {
            words.back() += line[++i];
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ' ' && !quoted) {
            words.emplace_back();
        } else {
            words.back() += c;
        }
    }
    if (quoted || std::find(kinds.begin(), kinds.end(), words[0]) == kinds.end()) {
        return read;
    }
    std::map<std::string, std::string> fields;
    for (size_t w = 1; w < words.size(); w++) {
        const size_t equals = words[w].find('=');
        if (equals == std::string::npos || equals == 0) {
            return read;
        }
        fields[words[w].substr(0, equals)] = words[w].substr(equals + 1);
    }
    read.kind = words[0];
    read.fields = fields;
    return read;
}

inline std::vector<OutputLine> read_output(const std::string &text)
{
    static const std::vector<std::string> kinds{"run",    "failed",  "thread", "batches", "rate",
                                                "source", "counter", "fork",   "records", "limit"};
    std::vector<OutputLine> lines;
    for (const std::string &line : lines_of(text)) {
        lines.push_back(read_output_line(line, kinds));
    }
    return lines;
}

// The lines of one kind; with kind "", the message lines.
inline std::vector<OutputLine> lines_of_kind(const std::vector<OutputLine> &lines,
                                             const std::string &kind)
{
    std::vector<OutputLine> found;
    for (const OutputLine &line : lines) {
        if (line.kind == kind) {
            found.push_back(line);
        }
    }
    return found;
}

// Whether text is what printf writes for format, where format holds only
// "%llu" and "%f" conversions: one or more digits, and digits, a full stop
// and six digits.
inline bool matches_format(const std::string &text, const std::string &format)
{
    const auto digits = [&text](size_t &at) {
        const size_t from = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            at++;
        }
        return at - from;
    };
    size_t at = 0;
    for (size_t f = 0; f < format.size();) {
        if (format.compare(f, 4, "%llu") == 0) {
            if (digits(at) == 0) {
                return false;
            }
            f += 4;
        } else if (format.compare(f, 2, "%f") == 0) {
            if (digits(at) == 0 || at >= text.size() || text[at++] != '.' || digits(at) != 6) {
                return false;
            }
            f += 2;
        } else {
            if (at >= text.size() || text[at++] != format[f++]) {
                return false;
            }
        }
    }
    return at == text.size();
}

// One record of a run of calls (the program's 1024 unless told) starting at
// lines[first]: the label, each value in column 13, and numbers that belong
// together.
inline void expect_record(const std::vector<std::string> &lines, size_t first, const char *label,
                          unsigned long long calls = 1024)
{
    ASSERT_GE(lines.size(), first + 5);
    EXPECT_EQ(lines[first], label);
    EXPECT_TRUE(matches_format(lines[first + 1], "TOTAL:      %llu cycles")) << lines[first + 1];
    EXPECT_TRUE(matches_format(lines[first + 2], "MEDIAN:     %llu cpucycles")) << lines[first + 2];
    EXPECT_TRUE(matches_format(lines[first + 3], "AVERAGE:    %llu cpucycles")) << lines[first + 3];
    EXPECT_TRUE(matches_format(lines[first + 4], "EXECUTED in %f s")) << lines[first + 4];

    const auto value = [&lines, first](size_t line) {
        return std::strtoull(lines[first + line].c_str() + 12, nullptr, 10);
    };
    EXPECT_GT(value(2), 0U);
    EXPECT_EQ(value(3), value(1) / calls);
}

struct CommandOutcome {
    int status = -1;
    std::string out;
};

#if !defined(_WIN32)

// Runs command through the shell in the current folder, catching its
// standard output; standard error is left alone, so anything there shows in
// the log unless the command redirects it. The status is the exit status,
// or -1 when a signal ended the command.
inline CommandOutcome run_command(const std::string &command)
{
    CommandOutcome outcome;
    FILE *pipe = popen(command.c_str(), "r"); // NOLINT(cert-env33-c): the tests' own commands
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return outcome;
    }
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        outcome.out.append(buffer, n);
    }
    const int wstatus = pclose(pipe);
    outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return outcome;
}

// A run of rand_lab: its status and standard output, standard error joined
// to it as the lab reads both, and its lines read.
struct LabOutcome {
    int status;
    std::string out;
    std::vector<OutputLine> lines;

    std::vector<OutputLine> of(const std::string &kind) const { return lines_of_kind(lines, kind); }
    std::vector<OutputLine> messages() const { return of(""); }
};

// binary ARGS in the current folder, after the shell commands before.
inline LabOutcome run_lab_binary(const char *binary, const std::string &args,
                                 const std::string &before)
{
    const auto outcome = run_command("(" + before + "; '" + binary + "' " + args + ") 2>&1");
    return {outcome.status, outcome.out, read_output(outcome.out)};
}

// Runs binary, without arguments, in the current folder with the
// environment variable name set to value, catching its standard output.
inline CommandOutcome run_binary(const std::string &binary, const char *name, const char *value)
{
    return run_command(std::string(name) + "='" + value + "' '" + binary + "'");
}
#else
// The same on Windows, with no shell: standard output is sent to a file
// while the program runs.
inline CommandOutcome run_binary(const std::string &binary, const char *name, const char *value)
{
    CommandOutcome outcome;
    const char *caught = "run_binary.out";
    _putenv_s(name, value);
    fflush(stdout);
    const int saved = _dup(1);
    const int out = _open(caught, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0644);
    _dup2(out, 1);
    _close(out);
    const intptr_t status = _spawnl(_P_WAIT, binary.c_str(), binary.c_str(), nullptr);
    _dup2(saved, 1);
    _close(saved);
    _putenv_s(name, "");
    outcome.status = static_cast<int>(status);
    outcome.out = read_text(caught);
    fs::remove(caught);
    return outcome;
}
#endif

// Each test runs in a fresh, empty working folder, because the program names
// its files relative to the working folder.
class InTempDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = fs::current_path();
        dir_ = make_temp_dir();
        fs::current_path(dir_);
    }

    void TearDown() override
    {
        fs::current_path(previous_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    const fs::path &dir() const { return dir_; }

private:
    fs::path previous_;
    fs::path dir_;
};

} // namespace test_support

#endif
