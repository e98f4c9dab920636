#include "fork_check.h"

const char *fork_refusal()
{
    return "--fork needs fork(), which Windows lacks";
}

bool fork_child(Run & /*run*/, bool &repeats)
{
    repeats = false;
    return false;
}
