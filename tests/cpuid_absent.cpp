// A processor whose CPUID reports no feature bit at all, linked in place of
// bench/sources/cpuid_bits.cpp: the processor's generators are refused on every
// machine, whatever its own processor reports.
#include "cpuid_bits.h"

bool cpuid_bit(unsigned int /*leaf*/, CpuidRegister /*reg*/, unsigned int /*bit*/)
{
    return false;
}
