// Whether the counter's instructions execute here, found out before the
// first count by executing each once under a handler: a processor model
// without RDTSCP (QEMU's qemu64 and kvm64, the default of some hypervisors)
// would otherwise end the program with SIGILL in its first interval. RDTSCP
// is never looked up in CPUID: hypervisors hide its bit on processors that
// execute it.
//
// The handler is the system's: SIGILL and SIGSEGV caught around the one
// instruction on POSIX (counter_probe_posix.cpp), a vectored exception
// handler on Windows (counter_probe_windows.cpp); CMake links one.
#ifndef OPENSSL_RNG_COUNTER_PROBE_H
#define OPENSSL_RNG_COUNTER_PROBE_H

#include <cstdint>

enum class Instruction : uint8_t {
    Cpuid,
    Rdtsc,
    Rdtscp,
    Lfence,
    Ud2, // faults everywhere: the handler's own test
};

// The instruction as the manuals spell it: "RDTSCP".
const char *instruction_name(Instruction instruction);

// Executes the instruction once, in a function of its own, and nothing else
// that could fault.
void execute_instruction(Instruction instruction);

// Whether execute_instruction(instruction) returns, rather than faulting
// (an illegal instruction, or one the system forbids). Leaves the process's
// handlers as they were.
bool instruction_runs(Instruction instruction);

// Whether CPUID, RDTSC and RDTSCP execute, and LFENCE with lfence. If one
// does not, says so in one line on standard output, naming it, and returns
// false: the caller then ends with status 1, having opened no file.
bool counter_runs_here(bool lfence = false);

#endif
