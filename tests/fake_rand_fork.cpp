// Linked into rand_lab_fake: with fake_rand::kHangEnvironment set, every
// call a fork child makes waits for ever, as where a lock that another
// thread held at the fork stays held in the child.
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
    return true;
}

const bool configured = configure();

} // namespace
