// Reads of the x86-64 time-stamp counter fenced with LFENCE rather than
// CPUID: the lab's second view of a call, shared by bench/hand_loop and
// bench/rand_lab so that the one sequence is written once. A count is
// lfence_end() - lfence_start(), wrapping modulo 2^64, in the same ticks as
// the program's reads (src/cpucycles.h).
//
// LFENCE does not serialise, but it dispatches nothing after it until every
// earlier instruction has completed locally (on AMD processors once the
// system has set it to, as Linux does), which is all a read of the counter
// needs: the start read waits for the code before it, the call waits
// for the start read, and the end read (RDTSCP) waits for the call, with an
// LFENCE after it so that nothing later starts before it. Unlike CPUID it
// never traps to a hypervisor, so the call that follows finds its caches and
// predictors as it left them; on bare metal the two fences give nearly the
// same count.
//
// Forced inline, as the program's reads are, so that no call or return sits
// inside a count.
#ifndef OPENSSL_RNG_LFENCE_COUNTER_H
#define OPENSSL_RNG_LFENCE_COUNTER_H

#include "internal_macros.h"

#include <cstdint>

#if defined(RNG_COMPILER_MSVC)
#include <intrin.h>

#include <atomic>
#endif

// LFENCE, RDTSC, LFENCE: the code before has completed, and the code after
// waits for the read.
RNG_ALWAYS_INLINE uint64_t lfence_start()
{
#if defined(RNG_COMPILER_MSVC) && defined(RNG_ARCH_X86_64)
    // The signal fences keep the compiler from moving memory work across the
    // read, which the intrinsics alone do not.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    _mm_lfence();
    const uint64_t tsc = __rdtsc();
    _mm_lfence();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return tsc;
#elif (defined(RNG_COMPILER_GCC) || defined(RNG_COMPILER_CLANG)) && defined(RNG_ARCH_X86_64)
    unsigned int high;
    unsigned int low;
    asm volatile("lfence\n\t"
                 "rdtsc\n\t"
                 "lfence\n\t"
                 : "=d"(high), "=a"(low)
                 :
                 : "memory");
    return (static_cast<uint64_t>(high) << 32) | low;
#else
#error "lfence_start needs an x86-64 processor and GCC, Clang or MSVC"
#endif
}

// RDTSCP, LFENCE: read once the call has executed, and before anything after
// it starts.
RNG_ALWAYS_INLINE uint64_t lfence_end()
{
#if defined(RNG_COMPILER_MSVC) && defined(RNG_ARCH_X86_64)
    unsigned int aux;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    const uint64_t tsc = __rdtscp(&aux);
    _mm_lfence();
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return tsc;
#elif (defined(RNG_COMPILER_GCC) || defined(RNG_COMPILER_CLANG)) && defined(RNG_ARCH_X86_64)
    unsigned int high;
    unsigned int low;
    asm volatile("rdtscp\n\t"
                 "lfence\n\t"
                 : "=d"(high), "=a"(low)
                 :
                 : "rcx", "memory");
    return (static_cast<uint64_t>(high) << 32) | low;
#else
#error "lfence_end needs an x86-64 processor and GCC, Clang or MSVC"
#endif
}

#endif
