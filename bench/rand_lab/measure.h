// One thread's share of a run and the loop that measures it: each call
// timed with the program's fenced counter reads, exactly as the program
// times its own.
#ifndef RAND_LAB_MEASURE_H
#define RAND_LAB_MEASURE_H

#include "cpucycles.h"
#include "platform.h"
#include "system.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Set in a failed call's count: no interval comes near 2^63 ticks (a
// century at 3 GHz), and a run with a failed call appends no count.
constexpr uint64_t kFailed = uint64_t{1} << 63;

// Where a thread's calls ran: the processor before call 0 and after the last
// call, and how many calls were started or ended elsewhere than on the
// first. Counters only, so that a long run costs no memory for them.
struct Placement {
    int first = -1;
    int last = -1;
    size_t away = 0;

    void note(size_t call, int before, int after)
    {
        if (call == 0) {
            first = before;
        }
        away += before != first || after != first ? 1 : 0;
        last = after;
    }
};

// What the subject keeps per thread (the cipher's context, a source's
// generator state), defined by the subject file linked.
struct SubjectState;
struct SubjectStateFree {
    void operator()(SubjectState *state) const;
};

// A --fork run's plan, which every thread's loop consults between two of
// its calls (fork_check.h).
struct ForkPlan;

// One thread's buffers, sample and loop interval. Everything is allocated
// before the threads start; the loops allocate nothing.
struct Worker {
    std::unique_ptr<SubjectState, SubjectStateFree> state;
    // Why the thread's generator state could not be made; empty if it was.
    std::string openError;
    // Each call's count; a failed call's has kFailed set. One 8-byte word a
    // call and nothing else, so that 262,144 calls x 8 threads hold 16 MiB.
    std::vector<uint64_t> time;
    // Every call's bytes with --keep, stride bytes apart; otherwise one
    // block that every call fills.
    std::vector<unsigned char> block;
    size_t stride = 0;
    // With --fork: the run's plan, which thread this is (from 0), and in
    // the parent the bytes of its first call after the fork.
    ForkPlan *fork = nullptr;
    size_t n = 0;
    std::vector<unsigned char> next;
    LARGE_INTEGER t1{};
    LARGE_INTEGER t2{};
    Placement placement;
};

// With --fork, after each call and outside its interval: the parent's
// threads stop here for the fork between two of their calls, and a fork
// child's hand over their first call's bytes (fork_check_*.cpp).
void fork_between_calls(Worker &w, size_t call, const unsigned char *out);

// Only the call and its argument set-up stand between the reads; the
// processor is read just outside them. The call is a template argument, a
// lambda that makes the subject's call itself, so that the measured call is
// a direct one, as in the program's runs.
template <typename Call>
void measure(Worker &w, Call call)
{
    QueryPerformanceCounter(&w.t1);
    for (size_t i = 0; i < w.time.size(); i++) {
        unsigned char *out = w.block.data() + i * w.stride;
        const int cpuBefore = current_cpu();
        const uint64_t tick = cpucyclesS();
        const int ret = call(out);
        const uint64_t ticks = cpucyclesE() - tick;
        w.time[i] = ret == 1 ? ticks : ticks | kFailed;
        const int cpuAfter = current_cpu();
        w.placement.note(i, cpuBefore, cpuAfter);
        if (w.fork != nullptr) {
            fork_between_calls(w, i, out);
        }
    }
    QueryPerformanceCounter(&w.t2);
}

#endif
