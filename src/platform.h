// The Windows performance counter and types the benchmark is written against.
// On Windows they are the real KERNEL32 ones; elsewhere this header stands in
// for them.
#ifndef OPENSSL_RNG_PLATFORM_H
#define OPENSSL_RNG_PLATFORM_H

#include "internal_macros.h"

#include <cstdint>

#if defined(RNG_OS_WINDOWS)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else

#include <time.h>

using BYTE = unsigned char;
using BOOL = int;

// Only the 64-bit view of the Windows union is ever used.
union LARGE_INTEGER {
    int64_t QuadPart;
};

// CLOCK_MONOTONIC counted in nanoseconds: monotonic, and its frequency is
// fixed by definition.
inline BOOL QueryPerformanceFrequency(LARGE_INTEGER *frequency)
{
    frequency->QuadPart = 1000000000;
    return 1;
}

inline BOOL QueryPerformanceCounter(LARGE_INTEGER *count)
{
    timespec now{};
    const BOOL ok = clock_gettime(CLOCK_MONOTONIC, &now) == 0 ? 1 : 0;
    count->QuadPart = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    return ok;
}

#endif

#endif
