// The kernel's generator as glibc's getrandom() wrapper gives it, whichever
// way the C library takes: before glibc 2.41 every call is the getrandom
// system call (what the getrandom source measures); from 2.41, on a kernel
// whose vDSO has getrandom (Linux 6.11 and later), it runs the vDSO's
// function over a state glibc keeps per thread, and makes the system call
// only to re-key it (what the vdso source measures without glibc).
#include "kernel_release.h"
#include "source.h"

#include <gnu/libc-version.h>
#include <sys/random.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>

bool source_open(std::string & /*error*/)
{
    return true;
}

const char *source_name()
{
    return "getrandom-libc";
}

// The C library decides the path, and the kernel whether it has a vDSO to
// take: both.
std::string source_version()
{
    return std::string("glibc ") + gnu_get_libc_version() + " on " + kernel_release();
}

bool source_thread_open(SourceThread *&state, std::string & /*error*/)
{
    state = nullptr;
    return true;
}

void source_thread_close(SourceThread * /*state*/) {}

// As the system call, it may return fewer bytes than asked for; the further
// calls are part of what the request costs.
int source_fill(SourceThread * /*state*/, unsigned char *buf, size_t n)
{
    size_t done = 0;
    while (done < n) {
        const ssize_t got = getrandom(buf + done, n - done, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 0;
        }
        done += static_cast<size_t>(got);
    }
    return 1;
}

std::string source_counters()
{
    return "";
}
