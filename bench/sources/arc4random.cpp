// The C library's arc4random_buf, the BSD and macOS convention, in glibc
// since 2.36. glibc 2.36 fills it straight from getrandom(2); from 2.41 it
// goes through the vDSO where the kernel has one.
#include "source.h"

#include <gnu/libc-version.h>
#include <stdlib.h>

#include <cstdlib>
#include <string>

bool source_open(std::string & /*error*/)
{
    return true;
}

const char *source_name()
{
    return "arc4random";
}

std::string source_version()
{
    return std::string("glibc ") + gnu_get_libc_version();
}

bool source_thread_open(SourceThread *&state, std::string & /*error*/)
{
    state = nullptr;
    return true;
}

void source_thread_close(SourceThread * /*state*/) {}

// It cannot fail: where the kernel gives no bytes, glibc ends the process.
int source_fill(SourceThread * /*state*/, unsigned char *buf, size_t n)
{
    arc4random_buf(buf, n);
    return 1;
}

std::string source_counters()
{
    return "";
}
