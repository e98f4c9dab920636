// Every generator --source may name, and what building it takes: a Debian
// package, or else what the build must be. The lab's one list of sources:
// --limits prints it for the runner. A source that is not built here is
// refused with this, never skipped in silence.
#ifndef RAND_LAB_KNOWN_SOURCES_H
#define RAND_LAB_KNOWN_SOURCES_H

#include <array>
#include <cstring>

struct KnownSource {
    const char *name;
    const char *package; // nullptr: no package makes it
    const char *needs;   // what the build needs instead; nullptr with a package
};

inline constexpr std::array<KnownSource, 16> kSources{{
    {"openssl", "libssl-dev", nullptr},
    {"getrandom", nullptr, "a Linux build (the getrandom system call, SYS_getrandom)"},
    {"getrandom-libc", nullptr, "a C library with getrandom(3), glibc 2.25 or later"},
    {"rdrand", nullptr, "an x86-64 build"},
    {"rdseed", nullptr, "an x86-64 build"},
    {"boringssl", "android-libboringssl-dev", nullptr},
    {"libsodium", "libsodium-dev", nullptr},
    {"gnutls", "libgnutls28-dev", nullptr},
    {"libgcrypt", "libgcrypt20-dev", nullptr},
    {"wolfssl", "libwolfssl-dev", nullptr},
    {"mbedtls", "libmbedtls-dev", nullptr},
    {"vdso", nullptr, "a Linux x86-64 build"},
    {"arc4random", nullptr, "a C library with arc4random_buf, glibc 2.36 or later"},
    {"botan", "libbotan-2-dev", nullptr},
    {"botan-user", "libbotan-2-dev", nullptr},
    {"bcrypt", nullptr, "a Windows build, which tools/windows-check makes"},
}};

// The source called name, or nullptr.
inline const KnownSource *known_source(const char *name)
{
    for (const KnownSource &known : kSources) {
        if (std::strcmp(name, known.name) == 0) {
            return &known;
        }
    }
    return nullptr;
}

#endif
