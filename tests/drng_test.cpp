// The test for the processor's generators (bench/sources/drng.h): CPUID's
// answer and the kernel's flags, each given here, so that every refusal is
// tried on every machine.
#include "drng.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

TEST(Drng, AnInstructionIsUsedOnlyWhereCpuidReportsItAndTheKernelListsIt)
{
    struct Case {
        bool reported;
        const char *cpuinfo;
        const char *error; // "": it can be used
    };
    const std::string off = "the processor reports RDRAND, but the kernel has turned it off (no "
                            "rdrand among the flags of /proc/cpuinfo), as it does where the "
                            "instruction is faulty";
    for (const Case &c : {
             Case{false, "flags\t\t: fpu rdrand\n",
                  "the processor does not report RDRAND (CPUID leaf 1 ECX bit 30)"},
             Case{true, "processor\t: 0\nflags\t\t: fpu rdseed sse2\n", off.c_str()},
             // A flag that only starts with the name is another flag.
             Case{true, "flags\t\t: rdrandx\n", off.c_str()},
             Case{true, "processor\t: 0\nflags\t\t: fpu rdrand sse2\nflags\t\t: fpu\n", ""},
             // No flags to tell (no /proc/cpuinfo, as on Windows): CPUID's word.
             Case{true, "", ""},
         }) {
        std::istringstream cpuinfo(c.cpuinfo);
        std::string error;
        const bool usable =
            drng_open(error, c.reported, "RDRAND", "CPUID leaf 1 ECX bit 30", "rdrand", cpuinfo);
        EXPECT_EQ(usable, *c.error == '\0') << c.cpuinfo;
        EXPECT_EQ(error, c.error) << c.cpuinfo;
    }
}

} // namespace
