// The kernel's generator through its vDSO (Linux 6.11 and later):
// __vdso_getrandom runs ChaCha20 over a state in the caller's memory, one
// per thread, and re-keys it with one getrandom syscall when the kernel's
// generation changes (a reseed, a fork, a resumed snapshot). The C library
// of the build machine does not route getrandom() through it (glibc does
// from 2.41), so it is called here directly, through the pointer the
// dynamic linker hands out for the vDSO's symbol.
//
// The function falls back to the syscall by itself where it cannot use the
// state (a wrong size, the kernel's pool not yet ready); this file never
// does: a kernel without the symbol, or whose query fails, refuses the
// source instead of measuring the syscall under this name.
#include "kernel_release.h"
#include "source.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

namespace {

// include/uapi/linux/random.h: what the query call fills in.
struct VgetrandomOpaqueParams {
    uint32_t size_of_opaque_state;
    uint32_t mmap_prot;
    uint32_t mmap_flags;
    uint32_t reserved[13];
};

// ssize_t __vdso_getrandom(void *buffer, size_t len, unsigned int flags,
//                          void *opaque_state, size_t opaque_len)
using VdsoGetrandom = ssize_t (*)(void *, size_t, unsigned int, void *, size_t);

// The symbol's version on x86-64, where CMake builds this source.
constexpr const char *vdso_symbol = "__vdso_getrandom";
constexpr const char *vdso_symbol_version = "LINUX_2.6";
// An opaque_len of all ones, with no buffer, length or flags, asks for the
// parameters instead of bytes.
constexpr size_t query_length = ~size_t{0};

VdsoGetrandom vdso_getrandom = nullptr;
VgetrandomOpaqueParams params{};
// Each thread maps whole pages, so its state starts a page and, being no
// larger than one (checked in source_open), never straddles two: the kernel
// refuses a state that does, since it may drop any page of the mapping.
size_t mapping_length = 0;

} // namespace

struct SourceThread {
    void *opaque_state;
};

bool source_open(std::string &error)
{
    // The dynamic linker maps the vDSO into every process; RTLD_NOLOAD only
    // finds it, never loads a file of that name.
    void *vdso = dlopen("linux-vdso.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (vdso == nullptr) {
        error = "the kernel's vDSO is not mapped into this process";
        return false;
    }
    vdso_getrandom =
        reinterpret_cast<VdsoGetrandom>(dlvsym(vdso, vdso_symbol, vdso_symbol_version));
    if (vdso_getrandom == nullptr) {
        error = std::string("this kernel's vDSO has no ") + vdso_symbol +
                " (Linux 6.11 and later have it)";
        return false;
    }
    const ssize_t answer = vdso_getrandom(nullptr, 0, 0, &params, query_length);
    if (answer != 0 || params.size_of_opaque_state == 0) {
        error = "the vDSO's getrandom refused the query for its state's size (returned " +
                std::to_string(answer) + ")";
        return false;
    }
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || params.size_of_opaque_state > static_cast<unsigned long>(page)) {
        error = "the vDSO's getrandom state of " + std::to_string(params.size_of_opaque_state) +
                " bytes does not fit in one page";
        return false;
    }
    mapping_length = static_cast<size_t>(page);
    return true;
}

const char *source_name()
{
    return "vdso";
}

std::string source_version()
{
    return kernel_release() + " vDSO";
}

// Mapped with the protection and flags the kernel asked for: they include
// MAP_DROPPABLE, which also wipes the page in a forked child, so a child's
// first call re-keys rather than repeating its parent's stream.
bool source_thread_open(SourceThread *&state, std::string &error)
{
    state = nullptr;
    void *mapping = mmap(nullptr, mapping_length, static_cast<int>(params.mmap_prot),
                         static_cast<int>(params.mmap_flags), -1, 0);
    if (mapping == MAP_FAILED) {
        // Threads open their states at once: no strerror, whose buffer is shared.
        error = "cannot map the vDSO's getrandom state: " + std::generic_category().message(errno);
        return false;
    }
    state = new SourceThread{mapping};
    return true;
}

void source_thread_close(SourceThread *state)
{
    if (state == nullptr) {
        return;
    }
    munmap(state->opaque_state, mapping_length);
    delete state;
}

// The function answers as the syscall does, with bytes written or -errno,
// and may write fewer than asked for; the further calls are part of what
// the request costs, as for getrandom.
int source_fill(SourceThread *state, unsigned char *buf, size_t n)
{
    size_t done = 0;
    while (done < n) {
        const ssize_t got = vdso_getrandom(buf + done, n - done, 0, state->opaque_state,
                                           params.size_of_opaque_state);
        if (got == -EINTR) {
            continue;
        }
        if (got <= 0) {
            return 0;
        }
        done += static_cast<size_t>(got);
    }
    return 1;
}

std::string source_counters()
{
    return "";
}
