#include "cpuid_bits.h"

#include "internal_macros.h"

#if defined(RNG_COMPILER_MSVC)
#include <intrin.h>
#else
#include <cpuid.h>
#endif

bool cpuid_bit(unsigned int leaf, CpuidRegister reg, unsigned int bit)
{
    unsigned int regs[4] = {};
#if defined(RNG_COMPILER_MSVC)
    int info[4];
    __cpuid(info, 0);
    if (static_cast<unsigned int>(info[0]) < leaf) {
        return false;
    }
    __cpuidex(info, static_cast<int>(leaf), 0);
    for (int i = 0; i < 4; ++i) {
        regs[i] = static_cast<unsigned int>(info[i]);
    }
#else
    if (__get_cpuid_count(leaf, 0, &regs[0], &regs[1], &regs[2], &regs[3]) == 0) {
        return false;
    }
#endif
    const unsigned int value = reg == CpuidRegister::ebx ? regs[1] : regs[2];
    return ((value >> bit) & 1U) != 0;
}
