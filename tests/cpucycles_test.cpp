#include "cpucycles.h"

#include "counter_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>

namespace {

constexpr size_t kPairs = 1001;

template <typename Body>
uint64_t median_interval(Body body)
{
    std::array<uint64_t, kPairs> intervals{};
    for (uint64_t &interval : intervals) {
        const uint64_t start = cpucyclesS();
        body();
        interval = cpucyclesE() - start;
    }
    std::nth_element(intervals.begin(), intervals.begin() + (kPairs / 2), intervals.end());
    return intervals[kPairs / 2];
}

TEST(CpuCycles, BackToBackReadsGiveASmallPositiveInterval)
{
    const uint64_t empty = median_interval([] {});
    EXPECT_GT(empty, 0U);
    // A wrapped or unfenced reading would be near 2^64 or far above this.
    EXPECT_LT(empty, 100000U);
}

TEST(CpuCycles, TheIntervalCoversTheWorkBetweenTheReads)
{
    volatile uint64_t sink = 0;
    const uint64_t empty = median_interval([] {});
    const uint64_t busy = median_interval([&sink] {
        for (int i = 0; i < 20000; i++) {
            sink = sink + static_cast<uint64_t>(i);
        }
    });
    EXPECT_GT(busy, empty + 10000);
}

void own_handler(int /*signal*/) {}

// The handler's path on every machine: UD2 faults everywhere, and a probe
// after a fault still tells a running instruction, with the process's own
// handler for SIGILL as it was. The counter's instructions run wherever the
// tests above do.
TEST(CounterProbe, AFaultingInstructionIsCaughtAndTheNextProbeStillRuns)
{
    const auto previous = std::signal(SIGILL, own_handler);
    for (const auto &[instruction, runs] :
         {std::pair{Instruction::Ud2, false}, std::pair{Instruction::Rdtscp, true},
          std::pair{Instruction::Cpuid, true}, std::pair{Instruction::Ud2, false},
          std::pair{Instruction::Rdtsc, true}, std::pair{Instruction::Lfence, true}}) {
        EXPECT_EQ(instruction_runs(instruction), runs) << instruction_name(instruction);
    }
    EXPECT_EQ(std::signal(SIGILL, previous), own_handler);
    EXPECT_TRUE(counter_runs_here(true));
}

} // namespace
