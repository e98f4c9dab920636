// Linked into the programs built with the fake generator in place of the
// system's probe: the instruction the environment names
// (fake_rand::kMissingEnvironment) is taken not to run, every other to run,
// so that a processor without it is tried on every machine.
#include "counter_probe.h"
#include "fake_rand.h"

#include <cstdlib>
#include <cstring>

bool instruction_runs(Instruction instruction)
{
    const char *missing =
        std::getenv(fake_rand::kMissingEnvironment); // NOLINT(concurrency-mt-unsafe)
    return missing == nullptr || std::strcmp(missing, instruction_name(instruction)) != 0;
}
