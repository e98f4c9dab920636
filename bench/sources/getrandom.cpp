// The kernel's generator through the getrandom system call itself, made
// with syscall(SYS_getrandom, ...) whatever the C library: glibc's
// getrandom() wrapper is served from the vDSO from glibc 2.41 on kernels
// that have it, and is measured apart as getrandom-libc. Blocks only until
// the kernel's pool is first initialised.
#include "kernel_release.h"
#include "source.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>

bool source_open(std::string & /*error*/)
{
    return true;
}

const char *source_name()
{
    return "getrandom";
}

std::string source_version()
{
    return kernel_release() + " system call";
}

bool source_thread_open(SourceThread *&state, std::string & /*error*/)
{
    state = nullptr;
    return true;
}

void source_thread_close(SourceThread * /*state*/) {}

// A call may return fewer bytes than asked for (above 256 bytes, when a
// signal arrives); the further calls are part of what the request costs.
int source_fill(SourceThread * /*state*/, unsigned char *buf, size_t n)
{
    size_t done = 0;
    while (done < n) {
        const long got = syscall(SYS_getrandom, buf + done, n - done, 0U);
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
