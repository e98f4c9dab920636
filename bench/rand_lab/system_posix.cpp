#include "system.h"

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <initializer_list>

namespace {

// The mask before the signals were held, put back when they are let go.
sigset_t previous;

} // namespace

int current_cpu()
{
    return sched_getcpu();
}

// RUSAGE_THREAD (Linux): the thread's own, which other threads' cannot
// muddle.
long involuntary_switches()
{
    rusage usage{};
    return getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nivcsw : -1;
}

bool stderr_is_terminal()
{
    return isatty(STDERR_FILENO) == 1;
}

HeldSignals::HeldSignals()
{
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        sigaddset(&held, signal);
    }
    pthread_sigmask(SIG_BLOCK, &held, &previous);
}

HeldSignals::~HeldSignals()
{
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}
