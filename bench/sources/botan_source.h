// What the botan and botan-user sources share: Botan's version as it reports
// it, and its failures, which it throws, turned into source_fill's status.
#ifndef RNG_SOURCE_BOTAN_SOURCE_H
#define RNG_SOURCE_BOTAN_SOURCE_H

#include <botan/version.h>

#include <exception>
#include <string>

inline std::string botan_version()
{
    return Botan::short_version_string();
}

// Runs `fill`; 1 if it returned, 0 if Botan threw (a read of the system's
// generator failed, a reseed found no entropy). No exception leaves a
// measured call.
template <typename Fill>
int botan_fill(Fill fill) noexcept
{
    try {
        fill();
        return 1;
    } catch (const std::exception &) {
        return 0;
    }
}

#endif
