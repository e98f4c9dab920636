// The benchmark runs: each makes 1024 cycle-timed calls of one OpenSSL
// generator on the same 16384-byte block and appends one record to timeFile.
#ifndef OPENSSL_RNG_OPENSSL_RNG_H
#define OPENSSL_RNG_OPENSSL_RNG_H

#include "platform.h"

#include <cstdio>

// Times RAND_bytes; creates "RAND_bytes.bin" but never writes it. Returns 0,
// or non-zero when that file cannot be opened, in which case nothing was
// measured and nothing was appended.
int rand_bytes_API(FILE *timeFile, BYTE *pbdata);

#endif
