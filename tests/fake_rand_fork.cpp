// Linked into rand_lab_fake: with fake_rand::kHangEnvironment set, every
// call a fork child makes waits for ever, as where a lock that another
// thread held at the fork stays held in the child; with
// fake_rand::kSlowFirstEnvironment, each thread's first call is slow.
#include "fake_rand.h"

#include <pthread.h>

#include <cstdlib>

namespace {

bool configure() noexcept
{
    // NOLINTNEXTLINE(concurrency-mt-unsafe): before main, one thread
    if (std::getenv(fake_rand::kHangEnvironment) != nullptr) {
        pthread_atfork(nullptr, nullptr, [] { fake_rand::hold_calls(); });
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe): before main, one thread
    const char *slow = std::getenv(fake_rand::kSlowFirstEnvironment);
    if (slow != nullptr) {
        fake_rand::slow_first_calls(static_cast<int>(std::strtol(slow, nullptr, 10)));
    }
    return true;
}

const bool configured = configure();

} // namespace
