// The run's threads: one per worker, all held at a start line until every
// one is ready, then let go at once so that they contend; and a fork
// child's.
#ifndef RAND_LAB_THREADS_H
#define RAND_LAB_THREADS_H

#include "measure.h"
#include "options.h"
#include "platform.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

// Holds every thread until all are ready, then lets them go at once, or
// tells them to go home when not all of them could be started.
class StartLine {
public:
    explicit StartLine(size_t expected) : expected_(expected) {}

    // Returns whether to measure.
    bool arrive_and_wait();
    // Returns once every thread waits; the caller then reads the clock and
    // calls start.
    void wait_for_all();
    void start() { release(false); }
    void cancel() { release(true); }

private:
    void release(bool cancelled);

    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable go_;
    size_t expected_;
    size_t arrived_ = 0;
    bool started_ = false;
    bool cancelled_ = false;
};

// The parallel section's wall-clock readings.
struct Section {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER start{};
    LARGE_INTEGER end{};
};

// Runs each worker's loop (subject_thread) on a thread of its own, all let
// go at once. Returns false, having said why, when a thread cannot be
// started or cannot set up its generator: the others then measure nothing.
bool run_threads(std::vector<Worker> &workers, const Options &options, Section &section);

// In a fork child, on the thread that forked: each child worker's loop
// (subject_child_thread) on the state of the parent's worker of the same
// index, the first on the calling thread itself and the others on threads
// of their own, all let go at once.
bool run_child_threads(std::vector<Worker> &child, const std::vector<Worker> &parent,
                       const Options &options, Section &section);

#endif
