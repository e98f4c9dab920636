// The probe's handler on Windows, for MinGW-w64 and MSVC alike (GCC has no
// __try): the registers are captured just before the instruction, and a
// vectored exception handler that sees the instruction fault (illegal, or
// privileged where the system forbids it) puts them back, so that execution
// comes out of the capture a second time, as from setjmp, knowing that it
// faulted.
#include "counter_probe.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

// Global, so that what the handler writes is what the probe reads once it
// is back: its own frame holds nothing that changes after the capture.
CONTEXT beforeInstruction;
volatile LONG probing = 0;
volatile LONG faulted = 0;

LONG CALLBACK on_fault(EXCEPTION_POINTERS *info)
{
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (probing == 0 ||
        (code != EXCEPTION_ILLEGAL_INSTRUCTION && code != EXCEPTION_PRIV_INSTRUCTION)) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    probing = 0;
    faulted = 1;
    *info->ContextRecord = beforeInstruction;
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

bool instruction_runs(Instruction instruction)
{
    void *handler = AddVectoredExceptionHandler(1, on_fault);
    if (handler == nullptr) {
        // Nothing to catch a fault with: the instruction is taken to run,
        // and the counter finds out, as before there was a probe.
        return true;
    }
    faulted = 0;
    RtlCaptureContext(&beforeInstruction);
    if (faulted == 0) {
        probing = 1;
        execute_instruction(instruction);
        probing = 0;
    }
    RemoveVectoredExceptionHandler(handler);
    return faulted == 0;
}
