// The benchmark runs: each makes 1024 cycle-timed calls of one OpenSSL
// generator on the same 16384-byte block pbdata and appends one record to
// timeFile. A run returns 0, or non-zero when it could not do all of that.
// Appends are whole or nothing, and safe against other processes appending
// to the same files: a record that cannot be appended whole leaves the file
// as it was and timeFile's error indicator set, for close_results to report
// (results_file.h, which also holds the appends themselves).
#ifndef OPENSSL_RNG_OPENSSL_RNG_H
#define OPENSSL_RNG_OPENSSL_RNG_H

#include "platform.h"

#include <cstdio>

// Times RAND_bytes; creates "RAND_bytes.bin" but never writes it. When that
// file cannot be opened, nothing is measured and nothing appended.
int rand_bytes_API(FILE *timeFile, BYTE *pbdata);

// Times RAND_priv_bytes, and after each call appends the block, failed calls'
// included, to "RAND_priv_bytes.bin" (outside the measured interval, inside
// the loop's seconds). When that file cannot be opened, nothing is measured
// and nothing appended. When a block cannot be appended whole, it is
// reported and none of it stays, no more are appended, the record is still
// appended, and the run returns non-zero.
int rand_priv_bytes_API(FILE *timeFile, BYTE *pbdata);

// Appends the 16384 bytes at pbBuffer to fp in one write.
void store_Data(FILE *fp, void *pbBuffer);

#endif
