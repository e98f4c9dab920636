// One generator that rand_lab measures, behind plain functions. Each source
// file (bench/sources/NAME.cpp) defines all of them, and one executable links
// exactly one source: libraries that define the same symbols (OpenSSL's and
// BoringSSL's RAND_bytes) never share a process, and the measured call is a
// direct call to source_fill, not one through a pointer.
//
// Order of use: source_open once, before any thread starts; then in each
// thread source_thread_open, any number of source_fill calls, and
// source_thread_close; source_counters after every thread has finished.
// source_name may be called at any time, source_version after source_open.
//
// No source makes a warm-up call in source_open: whatever a library seeds
// lazily is seeded in the first measured call, as OpenSSL's RAND_bytes is in
// the program's own run.
#ifndef RNG_SOURCE_H
#define RNG_SOURCE_H

#include <cstddef>
#include <string>

// Process-wide set-up (library initialisation, seeding). Returns false, with
// a one-line reason in `error`, when the source cannot run here, e.g. when
// CPUID does not report its instruction.
bool source_open(std::string &error);

// The source's name as records label it, the NAME of its file and of its
// executable: "getrandom", "rdrand", "openssl".
const char *source_name();

// The version the library reports about itself at run time where it can;
// "instruction" for the processor's generators, the kernel's release for
// getrandom.
std::string source_version();

// A thread's own generator state, for libraries whose generator object is the
// caller's (one WC_RNG, one mbedtls_ctr_drbg_context); each source defines
// it. Stateless sources leave it undefined and hand out nullptr.
struct SourceThread;

// Makes the calling thread's state, before its measured loop; `state` is
// set to it (nullptr for a stateless source, which is why success is the
// returned value). Returns false, with a one-line reason in `error`, on
// failure; `state` is then nullptr.
bool source_thread_open(SourceThread *&state, std::string &error);

// Releases what source_thread_open made; nullptr is accepted.
void source_thread_close(SourceThread *state);

// Fills all n bytes of buf in one call as the caller sees it, with whatever
// chunking or retrying the library needs done inside; returns 1 on success
// and 0 on failure, as RAND_bytes does. The measured interval is put around
// exactly this call.
int source_fill(SourceThread *state, unsigned char *buf, size_t n);

// What the source counted that a user should see after the run, such as the
// processor generator's retries ("rdrand retries 0"); "" when it counts
// nothing.
std::string source_counters();

#endif
