// One generator source, whichever this executable is linked with: every byte
// of a request filled, none outside it touched, fresh output each call.
#include "source.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace {

constexpr size_t guard = 16;
constexpr int calls = 4;

unsigned char pattern(size_t i, int call)
{
    return static_cast<unsigned char>((i * 131) + (static_cast<size_t>(call) * 29) + 7);
}

bool opened(std::string &reason)
{
    static std::string error;
    static const bool ok = source_open(error);
    reason = error;
    return ok;
}

class SourceFill : public ::testing::TestWithParam<size_t> {
protected:
    void SetUp() override
    {
        std::string error;
        if (!opened(error)) {
            GTEST_SKIP() << source_name() << ": " << error;
        }
        ASSERT_TRUE(source_thread_open(state, error)) << error;
    }
    void TearDown() override { source_thread_close(state); }

    SourceThread *state = nullptr;
};

// Each call fills a buffer laid out in a pattern that changes from call to
// call; a byte that still holds the pattern after all of them was never
// written (random output matches all four by chance once in 2^32). A word
// generator that drops its last partial word fails here.
TEST_P(SourceFill, FillsEveryByteOfTheRequestAndNothingAround)
{
    const size_t n = GetParam();
    std::vector<bool> untouched(n, true);
    std::vector<unsigned char> previous;
    for (int call = 0; call < calls; ++call) {
        std::vector<unsigned char> buf(guard + n + guard);
        for (size_t i = 0; i < buf.size(); ++i) {
            buf[i] = pattern(i, call);
        }
        ASSERT_EQ(source_fill(state, buf.data() + guard, n), 1) << "call " << call;
        for (size_t i = 0; i < guard; ++i) {
            ASSERT_EQ(buf[i], pattern(i, call))
                << "byte " << guard - i << " before the request written";
            const size_t after = guard + n + i;
            ASSERT_EQ(buf[after], pattern(after, call))
                << "byte " << i << " after the request written";
        }
        std::vector<unsigned char> output(buf.begin() + guard,
                                          buf.begin() + static_cast<std::ptrdiff_t>(guard + n));
        for (size_t i = 0; i < n; ++i) {
            untouched[i] = untouched[i] && output[i] == pattern(guard + i, call);
        }
        // Two equal outputs of eight bytes or more mean a generator that
        // does not advance.
        if (n >= 8 && call > 0) {
            EXPECT_NE(output, previous) << "call " << call << " repeated the one before";
        }
        previous = output;
    }
    for (size_t i = 0; i < n; ++i) {
        EXPECT_FALSE(untouched[i]) << "byte " << i << " of " << n << " never written";
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SourceFill, ::testing::Values(1, 7, 8, 9, 65536));

} // namespace
