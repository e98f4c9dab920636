// What differs between the systems rand_lab runs on, beyond src/platform.h:
// defined by system_posix.cpp or system_windows.cpp, whichever CMake links.
#ifndef RAND_LAB_SYSTEM_H
#define RAND_LAB_SYSTEM_H

// The processor the calling thread runs on, or -1 where that cannot be
// told. Cheap (a vDSO read on Linux), but still kept out of every interval.
int current_cpu();

// The calling thread's involuntary context switches so far (the scheduler
// ran another task in its place), or -1 where that cannot be told. A system
// call: kept out of every interval.
long involuntary_switches();

// Whether standard error is a terminal, where a person watches: a note
// there would, in a file or a pipe that a runner reads, come before the
// message saying what went wrong.
bool stderr_is_terminal();

// While one lives, a signal that would end the process waits: the appends
// are then finished or undone, never left half-way, and the signal ends the
// process right after. One at a time. (On Windows a console's Ctrl+C ends
// the process from another thread, which nothing holds.)
class HeldSignals {
public:
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals &) = delete;
    HeldSignals &operator=(const HeldSignals &) = delete;
    HeldSignals(HeldSignals &&) = delete;
    HeldSignals &operator=(HeldSignals &&) = delete;
};

#endif
