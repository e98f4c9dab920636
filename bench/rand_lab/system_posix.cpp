#include "system.h"

#include <pthread.h>
#include <sched.h>

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
