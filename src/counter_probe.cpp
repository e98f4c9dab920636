#include "counter_probe.h"

#include "internal_macros.h"

#include <algorithm>
#include <array>
#include <cstdio>

#if defined(RNG_COMPILER_MSVC)
#include <intrin.h>
#endif

namespace {

// What the counter reads execute, in the order the reads do; LFENCE only
// for the LFENCE-fenced reads.
constexpr std::array<Instruction, 4> kCounterInstructions{Instruction::Cpuid, Instruction::Rdtsc,
                                                          Instruction::Rdtscp, Instruction::Lfence};

} // namespace

const char *instruction_name(Instruction instruction)
{
    switch (instruction) {
    case Instruction::Cpuid:
        return "CPUID";
    case Instruction::Rdtsc:
        return "RDTSC";
    case Instruction::Rdtscp:
        return "RDTSCP";
    case Instruction::Lfence:
        return "LFENCE";
    case Instruction::Ud2:
        return "UD2";
    }
    return "";
}

void execute_instruction(Instruction instruction)
{
#if defined(RNG_COMPILER_MSVC)
    // Where the outputs go, so that no optimiser drops an instruction whose
    // result is unused.
    static volatile uint64_t sink = 0;
    int regs[4];
    unsigned int aux;
    switch (instruction) {
    case Instruction::Cpuid:
        __cpuidex(regs, static_cast<int>(sink & 0), 0);
        sink = static_cast<uint64_t>(regs[0]);
        break;
    case Instruction::Rdtsc:
        sink = __rdtsc();
        break;
    case Instruction::Rdtscp:
        sink = __rdtscp(&aux);
        break;
    case Instruction::Lfence:
        _mm_lfence();
        break;
    case Instruction::Ud2:
        __ud2();
    }
#else
    switch (instruction) {
    case Instruction::Cpuid:
        asm volatile("xorl %%eax, %%eax\n\txorl %%ecx, %%ecx\n\tcpuid"
                     :
                     :
                     : "rax", "rbx", "rcx", "rdx", "memory");
        break;
    case Instruction::Rdtsc:
        asm volatile("rdtsc" : : : "rax", "rdx", "memory");
        break;
    case Instruction::Rdtscp:
        asm volatile("rdtscp" : : : "rax", "rcx", "rdx", "memory");
        break;
    case Instruction::Lfence:
        asm volatile("lfence" : : : "memory");
        break;
    case Instruction::Ud2:
        asm volatile("ud2" : : : "memory");
        break;
    }
#endif
}

bool counter_runs_here(bool lfence)
{
    // Pointers rather than the array's iterators, which are a class on MSVC.
    const Instruction *first = kCounterInstructions.data();
    const Instruction *last = first + kCounterInstructions.size();
    const Instruction *missing = std::find_if(first, last, [lfence](Instruction instruction) {
        return (instruction != Instruction::Lfence || lfence) && !instruction_runs(instruction);
    });
    if (missing == last) {
        return true;
    }
    printf("Cannot count cycles: this processor does not execute %s, which the counter reads "
           "need\n",
           instruction_name(*missing));
    return false;
}
