// Fenced reads of the x86-64 time-stamp counter around a measured interval.
#ifndef OPENSSL_RNG_CPUCYCLES_H
#define OPENSSL_RNG_CPUCYCLES_H

#include <cstdint>

// Start reading: every earlier instruction has completed before the counter
// is read.
uint64_t cpucyclesS();

// End reading: the counter is read only after every earlier instruction has
// executed, and no later instruction starts before the read.
uint64_t cpucyclesE();

#endif
