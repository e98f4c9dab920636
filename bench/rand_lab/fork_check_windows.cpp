#include "fork_check.h"

// Windows has no fork: the options refuse --fork, so none of the rest runs.
struct ForkPlan {};

void ForkPlanFree::operator()(ForkPlan *plan) const
{
    delete plan; // NOLINT(cppcoreguidelines-owning-memory): the unique_ptr's deleter
}

const char *fork_refusal()
{
    return "--fork needs fork(), which Windows lacks";
}

std::string fork_prepare(Run & /*run*/)
{
    return fork_refusal();
}

void fork_between_calls(Worker & /*w*/, size_t /*call*/, const unsigned char * /*out*/) {}

bool fork_collect(Run & /*run*/, ForkOutcome & /*outcome*/)
{
    return false;
}
