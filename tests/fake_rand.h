// Controls for the stand-in generators that the run tests link in place of
// libcrypto. Calls are counted from zero across both generators.
#ifndef OPENSSL_RNG_FAKE_RAND_H
#define OPENSSL_RNG_FAKE_RAND_H

#include <cstddef>
#include <set>

namespace fake_rand {

constexpr int kFailAll = -1;

// For the programs linked with the fake (fake_rand_env.cpp): this variable
// set to "all" fails every call, to "all-unwritten" every call without
// writing its block.
constexpr const char *kFailEnvironment = "FAKE_RAND_FAIL";
// For the same programs (fake_probe.cpp): the counter's instruction named
// here ("RDTSCP") is taken not to run.
constexpr const char *kMissingEnvironment = "FAKE_COUNTER_MISSING";
// For rand_lab_fake (fake_rand_fork.cpp): this variable set, whatever its
// value, holds every call a fork child makes (hold_calls).
constexpr const char *kHangEnvironment = "FAKE_RAND_HANG_IN_FORK_CHILD";
// For rand_lab_fake: each thread's first call takes this many milliseconds
// more (slow_first_calls), as OpenSSL 3's instantiates the thread's DRBG.
constexpr const char *kSlowFirstEnvironment = "FAKE_RAND_FIRST_CALL_MS";

// Every call succeeds again and the count restarts at firstCall; processes
// that run at once start apart, so that their blocks differ.
void reset(int firstCall = 0);
// The calls with these indices return 0 instead of 1; kFailAll fails all.
// A failing call writes its pattern unless writeBlock is false: then it
// leaves the block as it found it, as a generator that cannot start does.
void fail_calls(const std::set<int> &calls, bool writeBlock = true);
int calls_made();
// Every call from now on waits for ever, as a call that finds a lock held
// by a thread that is gone does.
void hold_calls();
// Each thread's first call from now on sleeps this long first.
void slow_first_calls(int milliseconds);
// The byte the fake writes at offset of its block on call. The first four
// bytes hold the call's number, so that a block names the call that wrote
// it; after them, any 256 offsets take every value, line-end bytes included.
unsigned char pattern_byte(int call, size_t offset);

} // namespace fake_rand

#endif
