#include "system.h"

#include "platform.h"

#include <io.h>

#include <cstdio>

int current_cpu()
{
    return static_cast<int>(GetCurrentProcessorNumber());
}

// Windows tells no thread which of its context switches were involuntary:
// only a change of processor tells a disturbed batch there.
long involuntary_switches()
{
    return -1;
}

bool stderr_is_terminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

HeldSignals::HeldSignals() = default;

HeldSignals::~HeldSignals() = default;
