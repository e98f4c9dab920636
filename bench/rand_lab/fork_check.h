// --fork: after the parent's threads the process forks, the child's threads
// make the same calls, and the first bytes each child thread got are
// compared with the parent's next request, made through the same subject
// (subject_next). Defined by fork_check_posix.cpp, or by
// fork_check_windows.cpp, which has no fork.
#ifndef RAND_LAB_FORK_CHECK_H
#define RAND_LAB_FORK_CHECK_H

#include "run.h"

// Why --fork cannot run here, or nullptr where it can.
const char *fork_refusal();

// Forks, makes the parent's next request while the child makes its calls,
// and takes the child's samples into run.child and run.childSection,
// comparing its threads' first bytes with the parent's next. Returns false,
// having said why, when the child did not finish or the parent's request
// failed; repeats says whether any first bytes were the parent's.
bool fork_child(Run &run, bool &repeats);

#endif
