// The Windows performance counter and types the benchmark is written against,
// and what C stdio lacks for appending safely: opening a regular file only,
// knowing whether this process made it, file length, its last byte, cutting
// back, an exclusive lock, removing a file made for nothing, and guarding a
// process's standard descriptors. On Windows they are the real KERNEL32 and C
// runtime ones; elsewhere this header stands in for them.
#ifndef OPENSSL_RNG_PLATFORM_H
#define OPENSSL_RNG_PLATFORM_H

#include "internal_macros.h"

#include <cstdint>
#include <cstdio>

// Which file an open stream is, for as long as the file exists: its device
// and number (on Windows, its volume's serial number and its index).
struct FileIdentity {
    uint64_t device = 0;
    uint64_t number = 0;
};

inline bool operator==(const FileIdentity &a, const FileIdentity &b)
{
    return a.device == b.device && a.number == b.number;
}

// How open_appending opens a file: only if it is there, only if this call
// makes it, or made where a symbolic link that leads nowhere yet leads (which
// an exclusive open refuses, as it refuses every link).
enum class Opening : uint8_t { Existing, Made, MadeThroughLink };

#if defined(RNG_OS_WINDOWS)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

// Opens name to append to, reading allowed, as fopen's "ab+" (binary) or
// "a+" does: only if it is there (Opening::Existing), or only if this call
// makes it. nullptr, errno saying why, otherwise.
inline FILE *open_appending(const char *name, bool binary, Opening opening)
{
    const int flags = _O_RDWR | _O_APPEND | (binary ? _O_BINARY : _O_TEXT) |
                      (opening == Opening::Existing ? 0 : _O_CREAT | _O_EXCL);
    const int fd = _open(name, flags, _S_IREAD | _S_IWRITE);
    if (fd == -1) {
        return nullptr;
    }
    FILE *stream = _fdopen(fd, binary ? "ab+" : "a+");
    if (stream == nullptr) {
        const int reason = errno;
        _close(fd);
        errno = reason;
    }
    return stream;
}

// Whether name is there and is neither a regular file nor a folder, found
// without opening it. Windows opens a device or a pipe without effect, so
// this is left to is_regular_stream.
inline bool is_not_regular(const char * /*name*/)
{
    return false;
}

// The C runtime's files are not symbolic links.
inline bool is_dangling_link(const char * /*name*/)
{
    return false;
}

inline HANDLE handle_of(FILE *stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// Whether the stream is a file on a disk (not a device, a pipe or a console).
inline bool is_regular_stream(FILE *stream)
{
    return GetFileType(handle_of(stream)) == FILE_TYPE_DISK;
}

inline bool file_identity(HANDLE file, FileIdentity &identity)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(file, &info) == 0) {
        return false;
    }
    identity.device = info.dwVolumeSerialNumber;
    identity.number = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return true;
}

inline bool stream_identity(FILE *stream, FileIdentity &identity)
{
    return file_identity(handle_of(stream), identity);
}

// A file cannot be removed while another process has it open (the C runtime
// never shares a file for deletion), so an open stream always has its name.
inline bool stream_unnamed(FILE * /*stream*/)
{
    return false;
}

// Points stream at the file fresh has open, and closes fresh.
inline bool replace_stream_file(FILE *stream, FILE *fresh)
{
    fflush(stream);
    const bool replaced = _dup2(_fileno(fresh), _fileno(stream)) == 0;
    fclose(fresh);
    return replaced;
}

// Removes name if it is still the file identity names and is empty. Opened
// shared with no one, so that a file another process has open is left, and
// none can open it before it is gone.
inline void remove_if_unchanged(const char *name, const FileIdentity &identity)
{
    const HANDLE file = CreateFileA(name, GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    FileIdentity now;
    LARGE_INTEGER size{};
    FILE_DISPOSITION_INFO gone{TRUE};
    if (file_identity(file, now) && now == identity && GetFileSizeEx(file, &size) != 0 &&
        size.QuadPart == 0) {
        SetFileInformationByHandle(file, FileDispositionInfo, &gone, sizeof gone);
    }
    CloseHandle(file);
}

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
    const HANDLE file = handle_of(stream);
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
    return LockFileEx(handle_of(stream), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole) !=
           0;
}

inline void unlock_stream(FILE *stream)
{
    OVERLAPPED whole{};
    UnlockFileEx(handle_of(stream), 0, MAXDWORD, MAXDWORD, &whole);
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
#include <cstdlib>

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

// Opens name to append to, reading allowed, as fopen's "a+" does, as opening
// says. nullptr, errno saying why, otherwise. Without waiting: a FIFO or a
// device never holds the open up, and is_regular_stream then refuses it.
inline FILE *open_appending(const char *name, bool /*binary*/, Opening opening)
{
    int made = 0;
    if (opening == Opening::Made) {
        made = O_CREAT | O_EXCL;
    } else if (opening == Opening::MadeThroughLink) {
        made = O_CREAT;
    }
    const int flags = O_RDWR | O_APPEND | O_NONBLOCK | O_CLOEXEC | made;
    int fd = -1;
    do {
        fd = open(name, flags, 0666);
    } while (fd == -1 && errno == EINTR);
    if (fd == -1) {
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *stream = fdopen(fd, "a+");
    if (stream == nullptr) {
        const int reason = errno;
        close(fd);
        errno = reason;
    }
    return stream;
}

// Whether name is there and is neither a regular file nor a folder (a
// device, a FIFO, a socket), found without opening it: opening a device can
// act. A folder is left to the open, which refuses it ("Is a directory").
inline bool is_not_regular(const char *name)
{
    struct stat info = {};
    return stat(name, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

// Whether name is a symbolic link that leads nowhere yet.
inline bool is_dangling_link(const char *name)
{
    struct stat info = {};
    return lstat(name, &info) == 0 && S_ISLNK(info.st_mode) && stat(name, &info) != 0 &&
           errno == ENOENT;
}

inline bool is_regular_stream(FILE *stream)
{
    struct stat info = {};
    return fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode);
}

inline bool stream_identity(FILE *stream, FileIdentity &identity)
{
    struct stat info = {};
    if (fstat(fileno(stream), &info) != 0) {
        return false;
    }
    identity.device = static_cast<uint64_t>(info.st_dev);
    identity.number = static_cast<uint64_t>(info.st_ino);
    return true;
}

// Whether the file behind stream has lost its last name: removed while this
// process had it open.
inline bool stream_unnamed(FILE *stream)
{
    struct stat info = {};
    return fstat(fileno(stream), &info) == 0 && info.st_nlink == 0;
}

// Points stream at the file fresh has open, and closes fresh.
inline bool replace_stream_file(FILE *stream, FILE *fresh)
{
    fflush(stream);
    const bool replaced = dup2(fileno(fresh), fileno(stream)) != -1;
    fclose(fresh);
    return replaced;
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
inline bool lock_descriptor(int fd)
{
    while (flock(fd, LOCK_EX) == -1) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

inline bool lock_stream(FILE *stream)
{
    return lock_descriptor(fileno(stream));
}

inline void unlock_stream(FILE *stream)
{
    flock(fileno(stream), LOCK_UN);
}

// Removes the file name leads to if it is still the file identity names and
// is empty, under the file's lock: a run that appends takes the lock first,
// and one that waits for it finds the file unnamed and opens the name again.
// A symbolic link that leads to it stays (the file is removed, not the link).
inline void remove_if_unchanged(const char *name, const FileIdentity &identity)
{
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        return;
    }
    struct stat held = {};
    if (lock_descriptor(fd) && fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
        held.st_size == 0 && static_cast<uint64_t>(held.st_dev) == identity.device &&
        static_cast<uint64_t>(held.st_ino) == identity.number) {
        char *path = realpath(name, nullptr);
        struct stat named = {};
        if (path != nullptr && lstat(path, &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino) {
            unlink(path);
        }
        free(path); // NOLINT(cppcoreguidelines-no-malloc)
    }
    close(fd);
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
