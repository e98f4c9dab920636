#include "fake_rand.h"

#include <openssl/rand.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <set>
#include <thread>

namespace {

// Made on first use, so that a program's set-up may fail calls before main.
std::set<int> &failing()
{
    static std::set<int> calls;
    return calls;
}
bool failingWrite = true;
// Atomic, for the lab's driver, whose threads call it at once.
std::atomic<int> callCount{0};
std::atomic<bool> held{false};
std::atomic<int> firstCallMs{0};

int fake_generate(unsigned char *buf, int num)
{
    while (held) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    thread_local bool first = true;
    if (first && firstCallMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(firstCallMs.load()));
    }
    first = false;
    const int call = callCount++;
    const bool fails = failing().count(fake_rand::kFailAll) != 0 || failing().count(call) != 0;
    if (!fails || failingWrite) {
        for (int i = 0; i < num; i++) {
            buf[i] = fake_rand::pattern_byte(call, static_cast<size_t>(i));
        }
    }
    return fails ? 0 : 1;
}

} // namespace

namespace fake_rand {

void reset(int firstCall)
{
    failing().clear();
    failingWrite = true;
    callCount = firstCall;
}

void fail_calls(const std::set<int> &calls, bool writeBlock)
{
    failing() = calls;
    failingWrite = writeBlock;
}

int calls_made()
{
    return callCount;
}

void hold_calls()
{
    held = true;
}

void slow_first_calls(int milliseconds)
{
    firstCallMs = milliseconds;
}

unsigned char pattern_byte(int call, size_t offset)
{
    if (offset < 4) {
        return static_cast<unsigned char>(static_cast<unsigned int>(call) >> (8 * offset));
    }
    return static_cast<unsigned char>((static_cast<size_t>(call) * 37U + offset) & 0xFFU);
}

} // namespace fake_rand

int RAND_bytes(unsigned char *buf, int num)
{
    return fake_generate(buf, num);
}

int RAND_priv_bytes(unsigned char *buf, int num)
{
    return fake_generate(buf, num);
}
