// What the test files share: a fresh working folder per test and whole-file
// reads.
#ifndef OPENSSL_RNG_TEST_SUPPORT_H
#define OPENSSL_RNG_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace test_support {

namespace fs = std::filesystem;

inline fs::path make_temp_dir()
{
    std::random_device seed;
    std::mt19937_64 names(seed());
    for (;;) {
        const fs::path dir = fs::temp_directory_path() / ("openssl_rng_test_" + std::to_string(names()));
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

inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
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
