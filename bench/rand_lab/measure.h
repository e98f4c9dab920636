// One thread's share of a run and the loops that measure it. By default
// each call is timed with the program's fenced counter reads, exactly as the
// program times its own; --fence lfence reads the counter between LFENCEs
// instead, and --batch K times K calls between two reads, the count being
// their mean. Each view is its own instantiation of a loop, so that no
// branch and no indirect call stands inside an interval.
#ifndef RAND_LAB_MEASURE_H
#define RAND_LAB_MEASURE_H

#include "cpucycles.h"
#include "lfence_counter.h"
#include "options.h"
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

// A batched run's batches that another task or another processor got in the
// way of: their count is inflated by whatever ran meanwhile. Each is timed
// again, up to kBatchTimings timings in all; one still disturbed then is
// kept as last timed and counted as marked.
struct Disturbances {
    size_t disturbed = 0;  // batches whose first timing was disturbed
    size_t remeasured = 0; // of them, timed again undisturbed
    size_t marked = 0;     // of them, disturbed at every timing
    size_t retimings = 0;  // timings beyond each batch's first
};
constexpr size_t kBatchTimings = 4;

// What tells that a batch was disturbed: the processor and the thread's
// involuntary context switches so far, read just outside the interval.
struct Mark {
    int cpu;
    long switches;

    bool operator==(const Mark &other) const
    {
        return cpu == other.cpu && switches == other.switches;
    }
};

inline Mark mark_now()
{
    return {current_cpu(), involuntary_switches()};
}

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
    // Read once the first count is taken, and the calls made by then (its
    // batch's, timed again among them): the thread's first call belongs to
    // its generator's life (a DRBG's instantiation), not to a rate.
    LARGE_INTEGER firstEnd{};
    size_t firstCalls = 0;
    Placement placement;
    // Calls per count (--batch), and with more than one the batches
    // disturbed.
    size_t batch = 1;
    Disturbances disturbances;

    // Every call made, batches timed again among them.
    size_t calls_made() const { return (time.size() + disturbances.retimings) * batch; }
};

// The counter reads of each fence, forced inline like the reads themselves.
struct CpuidReads {
    RNG_ALWAYS_INLINE static uint64_t start() { return cpucyclesS(); }
    RNG_ALWAYS_INLINE static uint64_t end() { return cpucyclesE(); }
};
struct LfenceReads {
    RNG_ALWAYS_INLINE static uint64_t start() { return lfence_start(); }
    RNG_ALWAYS_INLINE static uint64_t end() { return lfence_end(); }
};

// With --fork, after each call and outside its interval: the parent's
// threads stop here for the fork between two of their calls, and a fork
// child's hand over their first call's bytes (fork_check_*.cpp).
void fork_between_calls(Worker &w, size_t call, const unsigned char *out);

// Only the call and its argument set-up stand between the reads; the
// processor is read just outside them. The call is a template argument, a
// lambda that makes the subject's call itself, so that the measured call is
// a direct one, as in the program's runs.
template <typename Reads, typename Call>
RNG_ALWAYS_INLINE void measure_call(Worker &w, Call &call, size_t i)
{
    unsigned char *out = w.block.data() + (i * w.stride);
    const int cpuBefore = current_cpu();
    const uint64_t tick = Reads::start();
    const int ret = call(out);
    const uint64_t ticks = Reads::end() - tick;
    w.time[i] = ret == 1 ? ticks : ticks | kFailed;
    const int cpuAfter = current_cpu();
    w.placement.note(i, cpuBefore, cpuAfter);
    if (w.fork != nullptr) {
        fork_between_calls(w, i, out);
    }
}

// Each call timed alone; the clock read after the first (Worker::firstEnd).
template <typename Reads, typename Call>
void measure_calls(Worker &w, Call call)
{
    QueryPerformanceCounter(&w.t1);
    if (!w.time.empty()) {
        measure_call<Reads>(w, call, 0);
        w.firstCalls = 1;
    }
    QueryPerformanceCounter(&w.firstEnd);
    for (size_t i = 1; i < w.time.size(); i++) {
        measure_call<Reads>(w, call, i);
    }
    QueryPerformanceCounter(&w.t2);
}

// w.batch calls into one block between two reads; each count is their mean,
// rounded down as the record's AVERAGE is. The processor and the switches
// are read once between batches, the end of one being the start of the
// next, so that the system call that reads them falls outside every
// interval and once per batch. A failed call fails its batch, which is then
// not timed again.
template <typename Reads, typename Call>
RNG_ALWAYS_INLINE void measure_batch(Worker &w, Call &call, size_t batch, size_t i, Mark &mark)
{
    unsigned char *out = w.block.data();
    const Mark before = mark;
    uint64_t ticks = 0;
    int failed = 0;
    bool disturbed = false;
    size_t timings = 0;
    do {
        const Mark start = mark;
        failed = 0;
        const uint64_t tick = Reads::start();
        for (size_t k = 0; k < batch; k++) {
            failed |= call(out) != 1 ? 1 : 0;
        }
        ticks = Reads::end() - tick;
        mark = mark_now();
        disturbed = !(mark == start);
        timings++;
    } while (disturbed && failed == 0 && timings < kBatchTimings);
    const uint64_t mean = ticks / batch;
    w.time[i] = failed == 0 ? mean : mean | kFailed;
    w.placement.note(i, before.cpu, mark.cpu);
    Disturbances &d = w.disturbances;
    d.disturbed += timings > 1 || disturbed ? 1 : 0;
    d.remeasured += timings > 1 && !disturbed ? 1 : 0;
    d.marked += disturbed ? 1 : 0;
    d.retimings += timings - 1;
}

// The batches, the clock read after the first (Worker::firstEnd).
template <typename Reads, typename Call>
void measure_batches(Worker &w, Call call)
{
    const size_t batch = w.batch;
    QueryPerformanceCounter(&w.t1);
    Mark mark = mark_now();
    if (!w.time.empty()) {
        measure_batch<Reads>(w, call, batch, 0, mark);
        w.firstCalls = (1 + w.disturbances.retimings) * batch;
    }
    QueryPerformanceCounter(&w.firstEnd);
    for (size_t i = 1; i < w.time.size(); i++) {
        measure_batch<Reads>(w, call, batch, i, mark);
    }
    QueryPerformanceCounter(&w.t2);
}

// The loop of the view options asks for, over the subject's call: its fence,
// and whether the worker's calls are timed a batch at a time.
template <typename Call>
void measure(Worker &w, const Options &options, Call call)
{
    const bool batched = w.batch > 1;
    if (options.fence == Fence::Lfence) {
        batched ? measure_batches<LfenceReads>(w, call) : measure_calls<LfenceReads>(w, call);
    } else {
        batched ? measure_batches<CpuidReads>(w, call) : measure_calls<CpuidReads>(w, call);
    }
}

#endif
