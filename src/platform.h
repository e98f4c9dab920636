// The Windows performance counter and types the benchmark is written against,
// and the file length operations that C stdio lacks. On Windows they are the
// real KERNEL32 and C runtime ones; elsewhere this header stands in for them.
#ifndef OPENSSL_RNG_PLATFORM_H
#define OPENSSL_RNG_PLATFORM_H

#include "internal_macros.h"

#include <cstdint>
#include <cstdio>

#if defined(RNG_OS_WINDOWS)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <io.h>

// Length of the file behind stream in bytes, or -1.
inline int64_t stream_length(FILE *stream)
{
    return _filelengthi64(_fileno(stream));
}

// Cuts or extends the file behind an unbuffered stream to length bytes.
inline bool truncate_stream(FILE *stream, int64_t length)
{
    return _chsize_s(_fileno(stream), length) == 0;
}

#else

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

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

inline int64_t stream_length(FILE *stream)
{
    struct stat info {};
    if (fstat(fileno(stream), &info) != 0) {
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

inline bool truncate_stream(FILE *stream, int64_t length)
{
    return ftruncate(fileno(stream), static_cast<off_t>(length)) == 0;
}

#endif

#endif
