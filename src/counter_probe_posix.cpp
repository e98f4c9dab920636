// The probe's handler on POSIX: the instruction faults with SIGILL where the
// processor lacks it, or SIGSEGV where the system forbids it (RDTSC under
// PR_TSC_SIGSEGV, CPUID under CPUID faulting); either signal jumps back to
// before the instruction, with the signal mask as it was.
#include "counter_probe.h"

#include <setjmp.h>
#include <signal.h>

namespace {

sigjmp_buf beforeInstruction;

// Only ever entered for the instruction under probe, synchronously.
void on_fault(int /*signal*/)
{
    siglongjmp(beforeInstruction, 1); // NOLINT(cert-err52-cpp): C++ has no other way back
}

} // namespace

bool instruction_runs(Instruction instruction)
{
    struct sigaction probe = {};
    probe.sa_handler = on_fault;
    sigemptyset(&probe.sa_mask);
    struct sigaction illegal = {};
    struct sigaction forbidden = {};
    sigaction(SIGILL, &probe, &illegal);
    sigaction(SIGSEGV, &probe, &forbidden);
    // Volatile: a local changed after sigsetjmp is otherwise indeterminate
    // once siglongjmp has come back to it.
    volatile bool runs = false;
    // NOLINTNEXTLINE(cert-err52-cpp): nothing with a destructor lives between the two
    if (sigsetjmp(beforeInstruction, 1) == 0) {
        execute_instruction(instruction);
        runs = true;
    }
    sigaction(SIGSEGV, &forbidden, nullptr);
    sigaction(SIGILL, &illegal, nullptr);
    return runs;
}
