// The Windows performance counter and types the benchmark is written against,
// and what C stdio lacks for appending safely: file length, its last byte,
// cutting back, an exclusive lock, and guarding a process's standard
// descriptors. On Windows they are the real KERNEL32 and C runtime ones;
// elsewhere this header stands in for them.
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

// The byte at offset length - 1 of the file behind stream, or -1. Read from
// the file itself, past the C runtime's text-mode translation, and at an
// offset of its own: an append stream seeks to the end before every write.
inline int last_byte(FILE *stream, int64_t length)
{
    OVERLAPPED at{};
    const auto offset = static_cast<uint64_t>(length - 1);
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    unsigned char byte = 0;
    DWORD got = 0;
    return ReadFile(file, &byte, 1, &got, &at) != 0 && got == 1 ? byte : -1;
}

// Waits for an exclusive lock on the whole file behind stream, against other
// processes that lock it too. Windows locks are mandatory, so a process that
// does not lock cannot write the file meanwhile either.
inline bool lock_stream(FILE *stream)
{
    OVERLAPPED whole{};
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) != 0;
}

inline void unlock_stream(FILE *stream)
{
    OVERLAPPED whole{};
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
}

// The C runtime never hands out the standard descriptors for files, and
// Windows has no file-size signal: nothing to guard.
inline void guard_process_files() {}

#else

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

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
    struct stat info = {};
    if (fstat(fileno(stream), &info) != 0) {
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

inline bool truncate_stream(FILE *stream, int64_t length)
{
    return ftruncate(fileno(stream), static_cast<off_t>(length)) == 0;
}

inline int last_byte(FILE *stream, int64_t length)
{
    unsigned char byte = 0;
    return pread(fileno(stream), &byte, 1, static_cast<off_t>(length - 1)) == 1 ? byte : -1;
}

// The lock is advisory: it keeps out every process that takes it before it
// writes, which every process of ours does. flock rather than fcntl, because
// it is cheaper per block and holds between two streams of one process too.
inline bool lock_stream(FILE *stream)
{
    while (flock(fileno(stream), LOCK_EX) == -1) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

inline void unlock_stream(FILE *stream)
{
    flock(fileno(stream), LOCK_UN);
}

// Called first thing in a process. A standard descriptor that was closed
// would be handed to the next file opened, and standard output would then
// write into it: each is opened on the null device instead. A file-size
// limit kills a process part-way through a write unless the signal is
// ignored; ignored, the write fails with EFBIG and can be cleaned up.
inline void guard_process_files()
{
    for (int fd = 0; fd <= 2; fd++) {
        // The lowest free descriptor is taken, which is fd itself.
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) == -1) {
            break;
        }
    }
    signal(SIGXFSZ, SIG_IGN);
}

#endif

// Seconds between two readings of the performance counter: their difference
// over its frequency.
inline double seconds_between(LARGE_INTEGER start, LARGE_INTEGER end, LARGE_INTEGER frequency)
{
    return static_cast<double>(end.QuadPart - start.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

#endif
