// Preloaded (LD_PRELOAD) into rand_lab, it stands between the vdso source
// and the kernel's vDSO as HIDE_VDSO_GETRANDOM says, so that each refusal of
// that source is tried on every machine, whatever its kernel:
//
//   unset or "absent"  dlvsym finds no __vdso_getrandom, as before Linux 6.11
//   "unmapped"         dlopen finds no vDSO in the process
//   "refuses"          the function refuses the query for its state's size
//   "large"            the state it asks for is larger than a page
//
// Every other lookup goes to the C library's own dlopen and dlvsym.
#include <dlfcn.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool mode_is(const char *mode)
{
    const char *asked = std::getenv("HIDE_VDSO_GETRANDOM"); // NOLINT(concurrency-mt-unsafe)
    return std::strcmp(asked == nullptr || *asked == '\0' ? "absent" : asked, mode) == 0;
}

// A state larger than any page, which the source must refuse.
constexpr uint32_t kLargeState = 1U << 20;

ssize_t refuses(void * /*buffer*/, size_t /*length*/, unsigned int /*flags*/, void * /*state*/,
                size_t /*stateLength*/)
{
    return -ENOSYS;
}

// Answers the query (an all-ones state length) with a state's size in the
// first field of the parameters, as the kernel's function does.
ssize_t large(void * /*buffer*/, size_t /*length*/, unsigned int /*flags*/, void *state,
              size_t stateLength)
{
    if (stateLength != ~size_t{0}) {
        return -EINVAL;
    }
    std::memcpy(state, &kLargeState, sizeof kLargeState);
    return 0;
}

template <typename Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" void *dlopen(const char *file, int mode)
{
    if (file != nullptr && std::strcmp(file, "linux-vdso.so.1") == 0 && mode_is("unmapped")) {
        return nullptr;
    }
    static const auto real = next<void *(*)(const char *, int)>("dlopen");
    return real(file, mode);
}

extern "C" void *dlvsym(void *handle, const char *name, const char *version)
{
    if (std::strcmp(name, "__vdso_getrandom") == 0) {
        if (mode_is("refuses")) {
            return reinterpret_cast<void *>(refuses);
        }
        if (mode_is("large")) {
            return reinterpret_cast<void *>(large);
        }
        return nullptr;
    }
    static const auto real = next<void *(*)(void *, const char *, const char *)>("dlvsym");
    return real(handle, name, version);
}
