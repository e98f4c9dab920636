#include "system.h"

#include "platform.h"

int current_cpu()
{
    return static_cast<int>(GetCurrentProcessorNumber());
}

HeldSignals::HeldSignals() = default;

HeldSignals::~HeldSignals() = default;
