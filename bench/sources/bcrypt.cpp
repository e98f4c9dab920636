// Windows' system-preferred generator through BCryptGenRandom (bcrypt.dll).
#include "source.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <climits>

bool source_open(std::string & /*error*/)
{
    return true;
}

const char *source_name()
{
    return "bcrypt";
}

// bcrypt.dll reports no version of its own, and GetVersionEx answers with
// what the executable's manifest allows; RtlGetVersion tells the truth.
std::string source_version()
{
    using RtlGetVersionFunction = LONG(WINAPI *)(OSVERSIONINFOW *);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const FARPROC found = ntdll == nullptr ? nullptr : GetProcAddress(ntdll, "RtlGetVersion");
    if (found == nullptr) {
        return "Windows";
    }
    // Through a function type without parameters, so that the compiler
    // accepts the cast between incompatible function types.
    const auto rtlGetVersion =
        reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(found));
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (rtlGetVersion(&info) != 0) {
        return "Windows";
    }
    return "Windows " + std::to_string(info.dwMajorVersion) + "." +
           std::to_string(info.dwMinorVersion) + "." + std::to_string(info.dwBuildNumber);
}

bool source_thread_open(SourceThread *&state, std::string & /*error*/)
{
    state = nullptr;
    return true;
}

void source_thread_close(SourceThread * /*state*/) {}

// The count is a ULONG; a request beyond it takes more than one call.
int source_fill(SourceThread * /*state*/, unsigned char *buf, size_t n)
{
    constexpr size_t most = ULONG_MAX;
    while (n > 0) {
        const size_t chunk = std::min(n, most);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, buf, static_cast<ULONG>(chunk),
                                            BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            return 0;
        }
        buf += chunk;
        n -= chunk;
    }
    return 1;
}

std::string source_counters()
{
    return "";
}
