// Linked into the programs built with the fake generator: their calls fail
// as the environment asks (fake_rand::kFailEnvironment), set up before main.
#include "fake_rand.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Freed bytes that the program's block is likely to be given again, so that
// a block that is not zeroed shows. Written out, so that no optimiser drops
// them.
void leave_old_heap()
{
    const std::string old(16384, '\xA5');
    FILE *fp = fopen("old", "wb");
    if (fp != nullptr) {
        fwrite(old.data(), 1, old.size(), fp);
        fclose(fp);
    }
}

bool configure() noexcept
{
    const char *fail = std::getenv(fake_rand::kFailEnvironment); // NOLINT(concurrency-mt-unsafe)
    if (fail != nullptr && std::strcmp(fail, "all") == 0) {
        fake_rand::fail_calls({fake_rand::kFailAll});
    } else if (fail != nullptr && std::strcmp(fail, "all-unwritten") == 0) {
        leave_old_heap();
        fake_rand::fail_calls({fake_rand::kFailAll}, false);
    }
    return true;
}

const bool configured = configure();

} // namespace
