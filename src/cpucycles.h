// Fenced reads of the x86-64 time-stamp counter at the start and the end of a
// measured interval; a count is cpucyclesE() - cpucyclesS(), wrapping modulo
// 2^64.
//
// The readings count time-stamp-counter ticks, not core clock cycles: on any
// processor with an invariant TSC the counter runs at a fixed rate whatever
// the core's frequency, so a count is proportional to wall time. Readings
// come from whichever core runs the thread and agree across cores only as far
// as the firmware synchronised their counters; a count that goes backwards
// wraps to a value near 2^64 and is kept as it is.
//
// CPUID serialises and is the barrier on both sides, always asked for leaf 0
// so that it costs the same every time; its outputs are discarded. Both
// barriers lie outside the interval. RDTSCP is not looked up in CPUID before
// use: hypervisors hide the bit on processors that execute the instruction
// perfectly well. Under a hypervisor CPUID traps to it, which costs
// thousands of ticks and leaves caches and predictors colder for the code
// that follows, so counts taken in a virtual machine run high.
//
// The reads are forced inline: as called functions, the return from
// cpucyclesS and the call into cpucyclesE would sit inside every count, and
// after a CPUID trap those mispredict. Nothing is subtracted for the few
// instructions that remain between the two reads.
#ifndef OPENSSL_RNG_CPUCYCLES_H
#define OPENSSL_RNG_CPUCYCLES_H

#include "internal_macros.h"

#include <cstdint>

#if defined(RNG_COMPILER_MSVC)
#include <intrin.h>

#include <atomic>

// To an optimiser __cpuidex may be a pure computation: with its outputs
// unused it is deleted, and with a constant leaf it is hoisted out of the
// loop, leaving the counter reads unfenced. Its leaf is therefore read from a
// volatile zero and one output written to a volatile sink: accesses that no
// compiler may drop, merge or move across the signal fences, so each read
// executes its CPUID exactly where it stands.
inline volatile int cpuidLeaf = 0;
inline volatile int cpuidSink = 0;
#endif

// Every earlier instruction has completed before the counter is read.
RNG_ALWAYS_INLINE uint64_t cpucyclesS()
{
    unsigned int cycles_high;
    unsigned int cycles_low;
#if defined(RNG_COMPILER_MSVC) && defined(RNG_ARCH_X86_64)
    // The intrinsics alone do not stop the compiler from moving memory work
    // across the read; the signal fences do.
    int regs[4];
    __cpuidex(regs, cpuidLeaf, 0);
    cpuidSink = regs[0];
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const uint64_t tsc = __rdtsc();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    cycles_high = static_cast<unsigned int>(tsc >> 32);
    cycles_low = static_cast<unsigned int>(tsc);
#elif (defined(RNG_COMPILER_GCC) || defined(RNG_COMPILER_CLANG)) && defined(RNG_ARCH_X86_64)
    asm volatile("xorl %%eax, %%eax\n\t"
                 "xorl %%ecx, %%ecx\n\t"
                 "cpuid\n\t"
                 "rdtsc\n\t"
                 "movl %%edx, %0\n\t"
                 "movl %%eax, %1\n\t"
                 : "=r"(cycles_high), "=r"(cycles_low)
                 :
                 : "rax", "rbx", "rcx", "rdx", "cc", "memory");
#else
#error "cpucyclesS needs an x86-64 processor and GCC, Clang or MSVC"
#endif
    return (static_cast<uint64_t>(cycles_high) << 32) | cycles_low;
}

// The counter is read only after every earlier instruction has executed, and
// no later instruction starts before the read.
RNG_ALWAYS_INLINE uint64_t cpucyclesE()
{
    unsigned int cycles_high;
    unsigned int cycles_low;
#if defined(RNG_COMPILER_MSVC) && defined(RNG_ARCH_X86_64)
    int regs[4];
    unsigned int aux;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const uint64_t tsc = __rdtscp(&aux);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    __cpuidex(regs, cpuidLeaf, 0);
    cpuidSink = regs[0];
    cycles_high = static_cast<unsigned int>(tsc >> 32);
    cycles_low = static_cast<unsigned int>(tsc);
#elif (defined(RNG_COMPILER_GCC) || defined(RNG_COMPILER_CLANG)) && defined(RNG_ARCH_X86_64)
    asm volatile("rdtscp\n\t"
                 "movl %%edx, %0\n\t"
                 "movl %%eax, %1\n\t"
                 "xorl %%eax, %%eax\n\t"
                 "xorl %%ecx, %%ecx\n\t"
                 "cpuid\n\t"
                 : "=r"(cycles_high), "=r"(cycles_low)
                 :
                 : "rax", "rbx", "rcx", "rdx", "cc", "memory");
#else
#error "cpucyclesE needs an x86-64 processor and GCC, Clang or MSVC"
#endif
    return (static_cast<uint64_t>(cycles_high) << 32) | cycles_low;
}

#endif
