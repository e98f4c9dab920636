// The kernel's generator through getrandom(2), blocking only until the
// kernel's pool is first initialised.
#include "kernel_release.h"
#include "source.h"

#include <sys/random.h>

#include <cerrno>

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
    return kernel_release();
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
