// What CPUID reports, for the sources of the processor's generators. Its
// own file, so that a test can link a processor that reports other bits
// (tests/cpuid_absent.cpp) in place of cpuid_bits.cpp.
#ifndef RNG_SOURCE_CPUID_BITS_H
#define RNG_SOURCE_CPUID_BITS_H

#include <cstdint>

enum class CpuidRegister : uint8_t { ebx, ecx };

// Whether CPUID leaf `leaf` (subleaf 0) sets `bit` of the register; false
// when the processor's highest standard leaf is below it.
bool cpuid_bit(unsigned int leaf, CpuidRegister reg, unsigned int bit);

#endif
