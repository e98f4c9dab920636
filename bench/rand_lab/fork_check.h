// --fork: every thread of the parent stops between two of its calls, halfway
// through its loop, so that no generator state is half updated and no lock
// is held; the first thread then forks. The child makes the same calls on
// the copies: its thread k on the state the parent's thread k was using
// (the forking thread's own in the child is that very thread, so the
// library's thread-local state is the copied one too). Each child thread's
// first bytes are compared with the parent's next request on every thread,
// and a child whose first request does not return within kForkLimitSeconds
// is killed. Defined by fork_check_posix.cpp, or by fork_check_windows.cpp,
// which has no fork.
#ifndef RAND_LAB_FORK_CHECK_H
#define RAND_LAB_FORK_CHECK_H

#include "run.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How long the child's first requests may take from the fork: a lock that
// another thread held at the fork stays held in the child for ever.
constexpr int kForkLimitSeconds = 5;

// rand_lab's statuses for what the fork found, told apart from an error (1)
// and a bad option (2): the records of a generator that repeats are
// appended; a child that hangs appends none.
constexpr int kStatusForkRepeats = 3;
constexpr int kStatusForkHangs = 4;

// What one child thread's first request came to.
enum class ForkThread : uint8_t {
    Differ,  // other bytes than every parent thread's next request
    Repeats, // the same bytes as a parent thread's next request
    Hung,    // no answer within kForkLimitSeconds
    Failed,  // the call failed: nothing to compare
};

struct ForkOutcome {
    std::vector<ForkThread> threads;
    // Per child thread, the parent's thread (from 1) whose next request it
    // repeats, or 0.
    std::vector<size_t> repeatsOf;
    // Per child thread, its first call's count, 0 where it did not return.
    std::vector<uint64_t> firstTicks;

    size_t count(ForkThread kind) const
    {
        return static_cast<size_t>(std::count(threads.begin(), threads.end(), kind));
    }
};

// Why --fork cannot run here, or nullptr where it can.
const char *fork_refusal();

// The call before which every parent thread stops for the fork: halfway
// through its loop, so that calls come before and after it (a run has two
// calls at least).
constexpr size_t fork_pause_call(long calls)
{
    return static_cast<size_t>(calls / 2);
}

// Fewer bytes than this could repeat by chance (one byte in 256 times), so
// the comparison takes as many calls after the fork as make this many.
constexpr size_t kComparedBytes = 16;

// The bytes the calls after the fork hold: options that leave fewer than
// kComparedBytes are refused, for a repeat there would tell nothing.
constexpr size_t bytes_after_fork(long calls, long bytes)
{
    return (static_cast<size_t>(calls) - fork_pause_call(calls)) * static_cast<size_t>(bytes);
}

// Before the parent's threads start: the pipe and the shared page that the
// child answers through, and each worker's part in the plan (run.fork).
// Returns "" or what could not be set up, in one line.
std::string fork_prepare(Run &run);

// After the parent's threads have ended: waits for the child's first
// requests, compares them, and unless one hung, takes the child's samples
// into run.child and run.childSection. Returns false, having said why, when
// there was no fork or the child failed otherwise than by hanging.
bool fork_collect(Run &run, ForkOutcome &outcome);

#endif
