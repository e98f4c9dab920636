// The running kernel as uname(2) names it, "Linux 6.18.0": the version the
// kernel's generators (getrandom, vdso) report, since the generator is the
// kernel's own.
#ifndef RNG_SOURCE_KERNEL_RELEASE_H
#define RNG_SOURCE_KERNEL_RELEASE_H

#include <sys/utsname.h>

#include <string>

inline std::string kernel_release()
{
    utsname names{};
    if (uname(&names) != 0) {
        return "unknown";
    }
    return std::string(names.sysname) + " " + names.release;
}

#endif
