// Compiler, OS and processor are decided here once; every other file tests
// only these names. MinGW counts as Windows with GCC.
#ifndef OPENSSL_RNG_INTERNAL_MACROS_H
#define OPENSSL_RNG_INTERNAL_MACROS_H

#if defined(__clang__)
#define RNG_COMPILER_CLANG
#elif defined(_MSC_VER)
#define RNG_COMPILER_MSVC
#elif defined(__GNUC__)
#define RNG_COMPILER_GCC
#endif

#if defined(_WIN32)
#define RNG_OS_WINDOWS
#if defined(__MINGW32__)
#define RNG_OS_MINGW
#endif
#elif defined(__linux__)
#define RNG_OS_LINUX
#endif

#if defined(__x86_64__) || defined(_M_X64)
#define RNG_ARCH_X86_64
#endif

#if defined(RNG_COMPILER_MSVC)
#define RNG_ALWAYS_INLINE __forceinline
#else
#define RNG_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

#endif
